#include "tools/zefmail/send/FlushCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tools/zefmail/cli/Progress.h"
#include "tools/zefmail/send/MailQueue.h"
#include "tools/zefmail/send/SendmailSession.h"

namespace zef::zefmail {

namespace {

void DefineFlush(CLI::App& app, FlushOptions& o) {
    AddSmtpOptions(app, o);
    app.add_option("--domain", o.domain,
                   "Domain of a sender without one, in files put into the queue by hand (env "
                   "ZEFMAIL_DOMAIN)");
    app.add_flag("--events", o.events, "One JSON line per message on standard output");
    app.add_option("queue", o.queue, "The queue's folder (as given to sendmail --queue)");
    app.footer(R"(
The server settings come as for zefmail sendmail: an account, then the ZEFMAIL_* variables,
then the options. Exit status: 0 every message sent; 75 some wait for a later try (a 4xx reply,
no connection, another flush holding the queue); 69 a server refusal, 65 a file that is no
message (both moved to failed/), 64 a command line that cannot be used.)");
}

std::optional<std::string> CheckFlush(FlushOptions& o, const EnvLookup& env) {
    if (o.queue.empty()) {
        return "the queue's folder is required: zefmail flush DIR";
    }
    if (auto error = CheckCommon(o)) {
        return error;
    }
    return CheckSmtpOptions(o, env);
}

// A permanent failure is worse than a temporary one, which is worse than none.
int Worse(int a, int b) {
    const auto rank = [](int status) {
        return status == kExOk ? 0 : status == kExTempFail ? 1 : 2;
    };
    return rank(b) > rank(a) ? b : a;
}

// One queued message: read, sent, and left, removed or failed by how that went.
int FlushOne(const MailQueue& queue, const std::string& name, const FlushOptions& options,
             const Console& console, SendmailSession& session, std::string& reason) {
    try {
        std::ifstream file(queue.Path(name), std::ios::binary);
        if (!file) {
            throw SendmailError(kExNoInput, queue.Path(name) + ": cannot be read");
        }
        MessageInput input(file, false);
        const std::string header = input.ReadHeader();
        std::optional<SendmailEnvelope> envelope = queue.Envelope(name, header);
        if (!envelope) {
            SendmailOptions asTyped = static_cast<const SendmailOptions&>(options);  // as -t
            asTyped.recipientsFromHeader = true;
            envelope = ReadEnvelope(header, asTyped, SystemSender(options, console.env));
        }
        const int status = session.Send(*envelope, input);
        reason = session.LastError();
        return status;
    } catch (const SendmailError& e) {
        reason = e.what();
        console.err << "zefmail flush: " << name << ": " << reason << "\n";
        return e.ExitCode() == kExUsage ? kExDataErr : e.ExitCode();  // no message: a bad file
    }
}

}  // namespace

const CommandRules<FlushOptions> kFlushRules = {
    {"flush", "Send every message of a queue folder over one session", "send", kExUsage,
     ServerVariables()},
    DefineFlush,
    CheckFlush,
    WithLocalServer<FlushOptions>()};

int RunFlush(const FlushOptions& options, const Console& console) {
    const MailQueue queue(options.queue);
    int worst = kExOk;
    try {
        const MailQueue::Lock lock = queue.Take();
        const std::vector<std::string> names = queue.Messages();
        Progress progress(console.err, !options.quiet && ::isatty(STDERR_FILENO) != 0);
        progress.Totals(0, static_cast<long>(names.size()));
        SendmailSession session(options, console.env, console.err, true);
        for (size_t i = 0; i < names.size(); ++i) {
            std::string reason;
            const int status = FlushOne(queue, names[i], options, console, session, reason);
            const char* outcome = status == kExOk         ? "sent"
                                  : status == kExTempFail ? "queued"
                                                          : "failed";
            if (status == kExOk) {
                queue.Remove(names[i]);
            } else if (status != kExTempFail) {
                queue.Fail(names[i], reason);
            }
            if (options.events) {
                console.out << nlohmann::json{{"file", names[i]},
                                              {"outcome", outcome},
                                              {"status", status},
                                              {"reason", reason}}
                                   .dump()
                            << "\n";
            }
            worst = Worse(worst, status);
            progress.Update(0, static_cast<long>(i + 1));
        }
        session.Close();
        progress.Finish();
    } catch (const SendmailError& e) {
        console.err << "zefmail flush: " << e.what() << "\n";
        return Worse(worst, e.ExitCode());
    }
    return worst;
}

}  // namespace zef::zefmail
