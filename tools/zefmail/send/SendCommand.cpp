#include "tools/zefmail/send/SendCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <ctime>
#include <memory>

#include "common/Error.h"
#include "common/Unicode.h"
#include "common/Variant.h"
#include "smtp/smtpZef.h"
#include "tools/zefmail/cli/LocalHost.h"
#include "tools/zefmail/cli/Password.h"
#include "tools/zefmail/cli/Progress.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/cli/Verdict.h"
#include "tools/zefmail/send/BodyStreams.h"
#include "tools/zefmail/send/HeaderBuilder.h"
#include "tools/zefmail/send/JisRepertoire.h"
#include "tools/zefmail/send/MimePlan.h"

namespace zef::zefmail {

namespace {

constexpr int kSmtpPort = 25;
constexpr int kSmtpsPort = 465;
constexpr int kExitPartial = 3;

uint64_t FileSize(const std::string& path) {
    struct stat info {};
    if (path.empty() || path == "-" || ::stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(info.st_size);
}

bool SendsUtf8(const SendOptions& options) {
    return options.charset == "utf-8";
}

BodyKind BodyKindOf(const SendOptions& options) {
    if (options.Multipart()) {
        return BodyKind::kMultipart;
    }
    return SendsUtf8(options) ? BodyKind::kPlainUtf8 : BodyKind::kPlain;
}

std::string BuiltHeader(const SendOptions& options) {
    std::time_t now = std::time(nullptr);
    HeaderFields fields;
    fields.from = options.from;
    fields.to = options.to;
    fields.cc = options.cc;
    fields.subject = options.subject;
    fields.date = Rfc5322Date(now);
    fields.messageId =
        NewMessageId(now, options.hostname.empty() ? LocalHostName() : options.hostname);
    return BuildHeader(fields, BodyKindOf(options));
}

bool HasRecipientOptions(const SendOptions& options) {
    return !options.to.empty() || !options.cc.empty() || !options.bcc.empty();
}

StringArray OneBasedAddresses(const std::vector<std::string>& addresses) {
    std::vector<Text> items;
    for (const auto& address : addresses) {
        // The control takes each element as it stands: no space may reach RCPT TO.
        size_t begin = address.find_first_not_of(" \t");
        size_t end = address.find_last_not_of(" \t");
        if (begin != std::string::npos) {
            items.push_back(Utf8ToText(address.substr(begin, end - begin + 1)));
        }
    }
    return StringArray::OneBased(std::move(items));  // ToAddr reads from index 1
}

StringArray Recipients(const SendOptions& options) {
    std::vector<std::string> all;
    for (const auto* list : {&options.to, &options.cc, &options.bcc}) {
        for (const auto& address : *list) {
            all.push_back(address);
        }
    }
    return OneBasedAddresses(UniqueAddresses(all));
}

// One send: the control, its handlers and what they read from.
class SendSession {
  public:
    SendSession(const SendOptions& options, const EnvLookup& env, std::ostream& err)
        : options_(options),
          err_(err),
          progress_(err, !options.quiet && ::isatty(STDERR_FILENO) != 0),
          smtp_(io_),
          signals_(io_, SIGINT, SIGTERM) {
        Configure(env);
        InstallHandlers();
        // Ctrl-C drops the connection: before the final "." line the server discards the
        // message, so nothing half-sent is delivered.
        signals_.async_wait([this](const std::error_code& error, int /*signal*/) {
            if (!error) {
                failure_ = bodyComplete_ ? "interrupted after the whole message was handed over "
                                           "(the server may still have accepted it)"
                                         : "interrupted";
                io_.stop();
            }
        });
    }

    int Run() {
        std::string header = options_.headerFile.empty() ? BuiltHeader(options_) : HeaderFromFile();
        progress_.Totals(TotalBytes(), -1);
        int port = options_.PortOr(kSmtpPort, kSmtpsPort);
        smtp_.Smtp(Utf8ToText(options_.server), Utf8ToText(header));
        if (!done_ && !failure_) {
            io_.run();
        }
        progress_.Finish();
        if (failure_) {
            err_ << "zefmail send: " << *failure_
                 << (bodyComplete_ ? "\n" : "; the message was not sent\n");
            return 1;
        }
        if (end_.code != 0) {  // a failure, or a warning when the message was taken
            err_ << "zefmail send: " << Describe(end_, options_.server, port) << "\n";
            if (Classify(end_) != Verdict::kDone) {
                return ExitStatus(Classify(end_));
            }
        } else if (!end_.refusals.empty()) {
            err_ << "zefmail send: sent, but " << end_.message << "\n";
        }
        if (!end_.refusals.empty()) {
            return kExitPartial;
        }
        if (!options_.quiet) {
            err_ << "zefmail send: sent\n";
        }
        return 0;
    }

  private:
    // The header file as it stands, less its Bcc fields; the sender and the recipients it
    // names go to FromAddr and ToAddr unless options give them.
    std::string HeaderFromFile() {
        BodyKind kind = BodyKindOf(options_);
        HeaderEnvelope envelope;
        std::string header = TakeEnvelope(LoadHeaderFile(options_.headerFile, kind), envelope);
        if (options_.from.empty()) {
            if (envelope.from.empty()) {
                throw ToolError("--header-file " + options_.headerFile +
                                " has no From field; add one or give --from");
            }
            smtp_.FromAddr(Utf8ToText(envelope.from));
        }
        if (!HasRecipientOptions(options_)) {
            if (envelope.recipients.empty()) {
                throw ToolError("--header-file " + options_.headerFile +
                                " names no recipient in To, Cc or Bcc; add one or give --to");
            }
            smtp_.ToAddr(Variant(OneBasedAddresses(envelope.recipients)));
        }
        return header;
    }

    void Configure(const EnvLookup& env) {
        ConfigureConnection(smtp_, options_, env);
        smtp_.AcceptPartialRecipients(true);
        smtp_.TextCharset(Utf8ToText(SendsUtf8(options_) ? "utf-8" : "iso-2022-jp"));
        if (!options_.hostname.empty()) {
            smtp_.Hostname(Utf8ToText(options_.hostname));
        }
        if (!options_.from.empty()) {
            smtp_.FromAddr(Utf8ToText(options_.from));
        }
        StringArray recipients = Recipients(options_);
        if (!recipients.items.empty()) {
            smtp_.ToAddr(Variant(std::move(recipients)));
        }
        if (options_.Multipart()) {
            smtp_.MimeMultipart(u"mixed");
            plan_ = std::make_unique<MimePlan>(PlanParts(options_.bodyFile, options_.htmlFile,
                                                         options_.attach, StdinCheck(),
                                                         options_.charset));
        }
    }

    void InstallHandlers() {
        smtp_.Done = [this](long code, const Text& msg) {
            done_ = true;
            end_.code = code;
            end_.message = TextToUtf8(msg);
            io_.stop();
        };
        // Each refused recipient is named; the message still goes to the others.
        smtp_.RecipientRefused = [this](const Text& address, const Text& reply) {
            end_.refusals.push_back(TextToUtf8(reply));
            progress_.Print("zefmail send: recipient refused: " + TextToUtf8(address) + " (" +
                            TextToUtf8(reply) + ")");
        };
        smtp_.Trace = [this](const Text& msg) {
            end_.Trace(msg);
            if (options_.trace) {
                progress_.Print(TextToUtf8(msg));
            }
        };
        smtp_.MoreData = [this](long /*id*/, Bytes& data) {
            Guarded([&] {
                if (!body_) {
                    body_ = MakeBody();
                }
                data = body_->Next();
                bodyComplete_ = data.empty();
                progress_.Update(body_->Consumed(), -1);
            });
        };
        smtp_.MimeHead = [this](long depth, long part, Text& format, Text& type, Text& name,
                                Text& charset, Text& encoding, Text& additional) {
            Guarded([&] {
                HeadAnswer answer;
                answer.originalDataFormat = format;
                plan_->Head(depth, part, answer);
                format = answer.originalDataFormat;
                type = answer.contentType;
                name = answer.contentName;
                charset = answer.contentCharset;
                encoding = answer.transferEncoding;
                additional = answer.additionalHeader;
                bodyComplete_ = depth == 1 && type.empty();  // the message's multipart closes
            });
        };
        smtp_.MimeBody = [this](long /*depth*/, long /*part*/, Bytes& data) {
            Guarded([&] {
                data = plan_->Body();
                progress_.Update(plan_->Consumed(), -1);
            });
        };
    }

    // The plain body: ISO-2022-JP text the control converts, or UTF-8 in base64.
    // Standard input is checked for UTF-8 as it is read (a file was checked before).
    std::unique_ptr<PieceSource> MakeBody() {
        if (options_.bodyFile.empty()) {
            return MakeEmptySource();
        }
        auto input = RequireUtf8(
            OpenFileInput(options_.bodyFile),
            options_.bodyFile == "-" ? "standard input" : "--body-file " + options_.bodyFile);
        return SendsUtf8(options_) ? MakeBase64TextSource(std::move(input))
                                   : MakeTextSource(std::move(input), true, StdinCheck());
    }

    // A body file was checked before connecting; standard input can only be checked as it is
    // read, and a character ISO-2022-JP cannot carry then ends the send unsent.
    TextInspector StdinCheck() {
        if (options_.bodyFile != "-" || SendsUtf8(options_)) {
            return {};
        }
        auto check = std::make_shared<JisRepertoireCheck>();
        return [check](const Text& piece) { check->Require(piece, "standard input"); };
    }

    // A body that cannot be read (a file error, a character ISO-2022-JP cannot carry) must not
    // end with the final "." line: handing back no data would tell the control that the body
    // is complete and deliver it cut short. The exception ends the send instead: smtpZef closes
    // the connection without the "." and reports Done, and the server drops the message.
    template <class Step>
    void Guarded(Step step) {
        try {
            step();
        } catch (const ToolError& e) {
            failure_ = e.what();
            throw;
        }
    }

    uint64_t TotalBytes() const {
        uint64_t total = FileSize(options_.bodyFile) + FileSize(options_.htmlFile);
        for (const auto& path : options_.attach) {
            total += FileSize(path);
        }
        return total;
    }

    const SendOptions& options_;
    std::ostream& err_;
    Progress progress_;
    asio::io_context io_;
    smtpZef smtp_;
    asio::signal_set signals_;
    std::unique_ptr<PieceSource> body_;
    std::unique_ptr<MimePlan> plan_;
    bool done_ = false;
    bool bodyComplete_ = false;
    TransferEnd end_;
    std::optional<std::string> failure_;
};

}  // namespace

void ConfigureConnection(smtpZef& smtp, const SendOptions& options, const EnvLookup& env) {
    smtp.Port(AsciiToText(std::to_string(options.PortOr(kSmtpPort, kSmtpsPort))));
    smtp.ConnectTimeout(options.connectTimeout);
    smtp.TransTimeout(options.transTimeout);
    smtp.Auth(options.AuthMechanism());
    smtp.SaslMechanism(Utf8ToText(options.SaslMechanism()));
    smtp.AutoAuth(options.AutoAuth());
    smtp.Security(options.Security());
    smtp.VerifyCert(!options.insecure);
    smtp.CAFile(Utf8ToText(options.caFile));
    if (options.LogsIn()) {
        smtp.User(Utf8ToText(options.user));
        const std::string secret = ReadPassword(options, env);
        if (options.OAuth() || (options.AutoAuth() && LooksLikeAccessToken(secret))) {
            smtp.OAuthToken(Utf8ToText(secret));
        }
        if (!options.OAuth()) {
            smtp.Pass(Utf8ToText(secret));
        }
    }
}

int RunSend(const SendOptions& options, const Console& console) {
    SendSession session(options, console.env, console.err);
    return session.Run();
}

}  // namespace zef::zefmail
