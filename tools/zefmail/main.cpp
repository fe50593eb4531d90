// zefmail: the command-line face of the zef mail library.
#include <iostream>
#include <string>
#include <vector>

#include "common/Error.h"
#include "common/Unicode.h"
#include "tools/zefmail/FetchCommand.h"
#include "tools/zefmail/Options.h"
#include "tools/zefmail/SendCommand.h"
#include "tools/zefmail/ToolError.h"

int main(int argc, char** argv) {
    using namespace zef::zefmail;
    std::vector<std::string> args(argv + 1, argv + argc);
    EnvLookup env = ProcessEnvironment();
    ParseOutcome outcome = ParseCommandLine(args, std::cout, std::cerr, env);
    if (!outcome.command) {
        return outcome.exitCode;
    }
    const Command& command = *outcome.command;
    const char* name = command.kind == Command::Kind::kSend ? "zefmail send" : "zefmail fetch";
    try {
        if (command.kind == Command::Kind::kSend) {
            return RunSend(command.send, env, std::cerr);
        }
        return RunFetch(command.fetch, env, std::cout, std::cerr);
    } catch (const ToolError& e) {
        std::cerr << name << ": " << e.what() << "\n";
    } catch (const zef::Error& e) {
        std::cerr << name << ": error " << e.number() << " (" << e.source()
                  << "): " << zef::TextToUtf8(e.description()) << "\n";
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << "\n";
    }
    return 1;
}
