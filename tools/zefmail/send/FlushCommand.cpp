#include "tools/zefmail/send/FlushCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

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

// The queue's messages in order for SendmailSession::SendAll: each file opened when it is its
// turn, and left, removed or failed once its outcome is known. A file that is no message gets
// its outcome at once, in its turn.
class QueueSource final : public SendmailSession::Source {
  public:
    QueueSource(const MailQueue& queue, const FlushOptions& options, const Console& console)
        : queue_(queue), options_(options), console_(console), names_(queue.Messages()) {
        progress_.Totals(0, static_cast<long>(names_.size()));
    }

    std::unique_ptr<SendmailSession::Outgoing> Next(bool ahead) override {
        if (readAhead_) {
            ++opened_;
            return std::move(readAhead_);
        }
        while (opened_ < names_.size()) {
            try {
                auto message = Open(names_[opened_]);
                ++opened_;
                return message;
            } catch (const SendmailError& e) {
                if (ahead) {
                    return nullptr;  // reported in its turn, after the message before
                }
                console_.err << "zefmail flush: " << names_[opened_] << ": " << e.what() << "\n";
                ++opened_;
                // No message: a bad file, whatever the reading said of the command line.
                Report(e.ExitCode() == kExUsage ? kExDataErr : e.ExitCode(), e.what());
            } catch (const std::exception&) {
                if (ahead) {
                    return nullptr;  // not inside the send of the message before
                }
                throw;
            }
        }
        return nullptr;
    }

    void Finished(int status, const std::string& reason) override { Report(status, reason); }

    // A file that is no message is left for Next to report in its turn.
    void ReadAhead() override {
        if (!readAhead_ && opened_ < names_.size()) {
            try {
                readAhead_ = Open(names_[opened_]);
            } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): see above
            }
        }
    }

    int Worst() const { return worst_; }
    void Finish() { progress_.Finish(); }

  private:
    std::unique_ptr<SendmailSession::Outgoing> Open(const std::string& name) const {
        auto message = std::make_unique<SendmailSession::Outgoing>();
        auto file = std::make_unique<std::ifstream>(queue_.Path(name), std::ios::binary);
        if (!*file) {
            throw SendmailError(kExNoInput, queue_.Path(name) + ": cannot be read");
        }
        message->input = std::make_unique<MessageInput>(*file, false);
        message->stream = std::move(file);
        const std::string header = message->input->ReadHeader();
        std::optional<SendmailEnvelope> envelope = queue_.Envelope(name, header);
        if (!envelope) {
            SendmailOptions asTyped = static_cast<const SendmailOptions&>(options_);  // as -t
            asTyped.recipientsFromHeader = true;
            envelope = ReadEnvelope(header, asTyped, SystemSender(options_, console_.env));
        }
        message->envelope = std::move(*envelope);
        return message;
    }

    // The outcome of the oldest file not yet reported.
    void Report(int status, const std::string& reason) {
        const std::string& name = names_[reported_++];
        const char* outcome = status == kExOk         ? "sent"
                              : status == kExTempFail ? "queued"
                                                      : "failed";
        if (status == kExOk) {
            queue_.Remove(name);
        } else if (status != kExTempFail) {
            queue_.Fail(name, reason);
        }
        if (options_.events) {
            console_.out << nlohmann::json{{"file", name},
                                           {"outcome", outcome},
                                           {"status", status},
                                           {"reason", reason}}
                                .dump()
                         << "\n";
        }
        worst_ = Worse(worst_, status);
        progress_.Update(0, static_cast<long>(reported_));
    }

    const MailQueue& queue_;
    const FlushOptions& options_;
    const Console& console_;
    const std::vector<std::string> names_;
    size_t opened_ = 0;  // files handed over (or reported as no message)
    std::unique_ptr<SendmailSession::Outgoing> readAhead_;  // names_[opened_], opened
    size_t reported_ = 0;                                   // files whose outcome is known
    int worst_ = kExOk;
    Progress progress_{console_.err, !options_.quiet && ::isatty(STDERR_FILENO) != 0};
};

}  // namespace

const CommandRules<FlushOptions> kFlushRules = {
    {"flush", "Send every message of a queue folder over one session", "send", kExUsage,
     ServerVariables()},
    DefineFlush,
    CheckFlush,
    WithLocalServer<FlushOptions>()};

int RunFlush(const FlushOptions& options, const Console& console) {
    const MailQueue queue(options.queue);
    std::optional<QueueSource> source;
    try {
        const MailQueue::Lock lock = queue.Take();
        source.emplace(queue, options, console);
        SendmailSession session(options, console.env, console.err, true);
        session.SendAll(*source);
        session.Close();
        source->Finish();
    } catch (const SendmailError& e) {
        console.err << "zefmail flush: " << e.what() << "\n";
        return Worse(source ? source->Worst() : kExOk, e.ExitCode());
    }
    return source->Worst();
}

}  // namespace zef::zefmail
