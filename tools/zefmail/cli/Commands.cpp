#include "tools/zefmail/cli/Commands.h"

#include <filesystem>
#include <functional>

#include "common/Error.h"
#include "common/Unicode.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/fetch/FetchCommand.h"
#include "tools/zefmail/send/FlushCommand.h"
#include "tools/zefmail/send/SendCommand.h"
#include "tools/zefmail/send/SendmailCommand.h"

namespace zef::zefmail {

namespace {

struct Command {
    const std::string& name;
    const std::string& summary;
    std::function<int(const std::vector<std::string>& args, const Console& console)> run;
};

// A command reads its words by its rules, then runs. What it throws is one line on standard
// error and exit status 1.
template <typename Options>
Command Entry(const CommandRules<Options>& rules, int (*run)(const Options&, const Console&)) {
    return {rules.name, rules.summary, [&rules, run](const auto& args, const Console& console) {
                Parsed<Options> parsed = ParseCommand(rules, args, console);
                if (!parsed.options) {
                    return parsed.exitCode;
                }
                const std::string title = "zefmail " + rules.name;
                try {
                    return run(*parsed.options, console);
                } catch (const ToolError& e) {
                    console.err << title << ": " << e.what() << "\n";
                } catch (const zef::Error& e) {
                    console.err << title << ": error " << e.number() << " (" << e.source()
                                << "): " << zef::TextToUtf8(e.description()) << "\n";
                } catch (const std::exception& e) {
                    console.err << title << ": " << e.what() << "\n";
                }
                return 1;
            }};
}

// Built on first use, when the rules of every command are there.
const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        Entry(kSendRules, RunSend),
        Entry(kFetchRules, RunFetch),
        Entry(kSendmailRules, RunSendmail),
        Entry(kFlushRules, RunFlush),
    };
    return commands;
}

int Overview(std::ostream& out) {
    out << "zefmail: send mail through SMTP and read POP3 mailboxes\n"
           "Usage: zefmail COMMAND [OPTIONS]\n\nCommands:\n";
    for (const Command& command : Commands()) {
        out << "  " << command.name << std::string(10 - command.name.size(), ' ') << command.summary
            << "\n";
    }
    out << "\nRun 'zefmail COMMAND --help' for a command's options and examples; zefmail run "
           "through a link named sendmail is 'zefmail sendmail'.\n";
    return 0;
}

}  // namespace

int RunZefmail(const std::string& program, const std::vector<std::string>& args,
               const Console& console) {
    std::string name = args.empty() ? "" : args.front();
    std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    if (std::filesystem::path(program).filename() == "sendmail") {
        name = "sendmail";
        rest = args;
    }
    if (name == "--help" || name == "-h") {
        return Overview(console.out);
    }
    for (const Command& command : Commands()) {
        if (command.name == name) {
            return command.run(rest, console);
        }
    }
    console.err << "zefmail: "
                << (name.empty() ? "a command is required" : "unknown command " + name)
                << ": send, fetch, sendmail or flush (see zefmail --help)\n";
    return 2;
}

}  // namespace zef::zefmail
