#include "tools/zefmail/cli/Commands.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <streambuf>

#include "common/Error.h"
#include "common/Unicode.h"
#include "tools/zefmail/cli/AccountFile.h"
#include "tools/zefmail/cli/StopRequest.h"
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

// Writes to another stream buffer with a mark at the start of every line, so that the lines
// of several accounts' turns say whose they are.
class MarkedLines : public std::streambuf {
  public:
    MarkedLines(std::ostream& to, std::string mark) : to_(*to.rdbuf()), mark_(std::move(mark)) {}

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        if (lineStart_ && to_.sputn(mark_.data(), static_cast<std::streamsize>(mark_.size())) !=
                              static_cast<std::streamsize>(mark_.size())) {
            return traits_type::eof();
        }
        lineStart_ = traits_type::to_char_type(c) == '\n';
        return to_.sputc(traits_type::to_char_type(c));
    }
    int sync() override { return to_.pubsync(); }

  private:
    std::streambuf& to_;
    std::string mark_;
    bool lineStart_ = true;
};

// Of two exit statuses, the one that asks more of the user: 0 done, then 4 (try again later),
// then 1 (a failure trying again will not mend), then the usage status (the command line or
// the account must be changed).
int Worse(int a, int b, int usageExit) {
    const std::array<int, 4> kOrder = {0, 4, 1, usageExit};
    const auto rank = [&](int status) { return std::find(kOrder.begin(), kOrder.end(), status); };
    return rank(a) < rank(b) ? b : a;
}

// One account's turn of a run over several, its lines on standard error marked with its name.
// Once Ctrl-C has stopped the run, the account is named and not read.
int AccountTurn(const Command& one, const AccountRun& turn, const Console& console) {
    MarkedLines marked(console.err, "[" + turn.account + "] ");
    std::ostream err(&marked);
    int status = 1;
    if (StopRequested()) {
        err << "zefmail " << one.name << ": not read: stopped on request\n";
    } else {
        status = one.run(turn.args, {console.in, console.out, err, console.env});
    }
    err.flush();
    return status;
}

// The command once per account when the words ask for several (SeveralAccounts), each turn
// reading that account's settings and the rest of the command line; one account's failure
// does not stop the others, and the exit status is the worst of them.
template <typename Options>
Command ForEachAccount(const CommandRules<Options>& rules,
                       int (*run)(const Options&, const Console&)) {
    return {rules.name, rules.summary,
            [&rules, one = Entry(rules, run)](const auto& args, const Console& console) {
                std::vector<AccountRun> turns;
                try {
                    turns = SeveralAccounts(args, ConfigFilePath(console.env));
                } catch (const ToolError& e) {
                    console.err << "zefmail " << rules.name << ": " << e.what() << "\n";
                    return rules.usageExit;
                }
                if (turns.empty()) {
                    return one.run(args, console);
                }
                int worst = 0;
                for (const AccountRun& turn : turns) {
                    worst = Worse(worst, AccountTurn(one, turn, console), rules.usageExit);
                }
                return worst;
            }};
}

// Built on first use, when the rules of every command are there.
const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        Entry(kSendRules, RunSend),
        ForEachAccount(kFetchRules, RunFetch),
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
