// zefmail: the command-line face of the zef mail library.
#include <malloc.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "common/Error.h"
#include "common/Unicode.h"
#include "tools/zefmail/FetchCommand.h"
#include "tools/zefmail/Options.h"
#include "tools/zefmail/SendCommand.h"
#include "tools/zefmail/SendmailCommand.h"
#include "tools/zefmail/ToolError.h"

int main(int argc, char** argv) {
    using namespace zef::zefmail;
#ifdef __GLIBC__
    // Each turn of a send allocates and frees pieces of some 100 KiB. By default glibc hands
    // the top of the heap back to the kernel after each of them and faults the pages in again
    // for the next: hundreds of brk calls and page faults per 20 MiB sent. Keeping up to
    // 4 MiB of freed memory ends that; the peak stays what the pieces need.
    mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    EnvLookup env = ProcessEnvironment();
    // Run as "sendmail" (through a link) or as "zefmail sendmail": sendmail's own command line.
    if (argc > 0 && std::filesystem::path(argv[0]).filename() == "sendmail") {
        return RunSendmail(args, std::cin, std::cout, std::cerr, env);
    }
    if (!args.empty() && args[0] == "sendmail") {
        return RunSendmail({args.begin() + 1, args.end()}, std::cin, std::cout, std::cerr, env);
    }
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
