#include "tools/zefmail/send/SendmailCommand.h"

#include <netdb.h>
#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <ctime>

#include "common/Error.h"
#include "common/Unicode.h"
#include "smtp/Dsn.h"
#include "smtp/Outcomes.h"
#include "tools/zefmail/cli/LocalHost.h"
#include "tools/zefmail/send/HeaderBuilder.h"
#include "tools/zefmail/send/MailQueue.h"
#include "tools/zefmail/send/SendCommand.h"
#include "tools/zefmail/send/SendmailInput.h"
#include "tools/zefmail/send/SendmailSession.h"

namespace zef::zefmail {

namespace {

// The options are listed by the command line's own help; this is what follows them.
const char* const kAbout =
    R"help(Reads one complete message (header, empty line, body) from standard input and hands it to the
SMTP server as it stands: every header as written, 8-bit and long lines kept; only the Bcc
fields are left out, and every line end goes out as CR LF. The header block may be up to 1 MiB;
the body is streamed. Also what zefmail does when run through a link named sendmail.

The settings of an account of ~/.config/zefmail/config.toml (its "send" table included; the
file's default account without --account) come first, then the variables ZEFMAIL_SERVER,
ZEFMAIL_PORT, ZEFMAIL_TLS, ZEFMAIL_CA_FILE, ZEFMAIL_AUTH and ZEFMAIL_USER, then the options.
The server is localhost unless one of them names another.

Without -B the body is declared BODY=8BITMIME when the server offers it, as it may hold 8-bit
bytes; a header with UTF-8 is sent with SMTPUTF8 when offered. A server that cannot take an
8-bit message or a UTF-8 address gets none (exit status 69).

Exit status (sysexits.h):
  0   the server accepted the message
  64  EX_USAGE: a command line that cannot be used, no sender, no recipient
  65  EX_DATAERR: a header block over 1 MiB, an address that cannot be sent
  66  EX_NOINPUT: nothing on standard input
  69  EX_UNAVAILABLE: the server refused for good (a 5xx reply, a refused certificate)
  70  EX_SOFTWARE: an error inside zefmail
  74  EX_IOERR: standard input could not be read
  75  EX_TEMPFAIL: a 4xx reply, a time-out, no connection: try again later

Examples:
  ln -s "$(command -v zefmail)" ~/bin/sendmail
  printf 'To: you@example.org\nSubject: hi\n\nhello\n' | ZEFMAIL_SERVER=mail.example.org sendmail -t
  git config sendemail.sendmailcmd "zefmail sendmail --server mail.example.org")help";

// Where fields added to a header block go: before the empty line that ends it, or at its end.
size_t EndOfFields(const std::string& header) {
    if (header.starts_with("\r\n")) {
        return 0;
    }
    const size_t end = header.find("\r\n\r\n");
    return end == std::string::npos ? header.size() : end + 2;
}

// The user's login name, from the password database, else LOGNAME.
std::string LoginName(const EnvLookup& env) {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name) {
        return entry->pw_name;
    }
    return env("LOGNAME").value_or("");
}

// This host's fully qualified name, as the resolver gives it; the bare host name without one.
std::string HostFullName() {
    const std::string name = LocalHostName();
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    std::string full = name;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0) {
        if (found->ai_canonname != nullptr && std::strchr(found->ai_canonname, '.') != nullptr) {
            full = found->ai_canonname;
        }
        ::freeaddrinfo(found);
    }
    return full;
}

// A DSN value the control would refuse is refused on the command line, naming the rule.
CLI::Validator ControlCheck(void (*check)(const Text&), const char* rule) {
    return {[check, rule](std::string& value) -> std::string {
                try {
                    check(Utf8ToText(value));
                    return {};
                } catch (const Error&) {
                    return std::string(rule) + ", not " + value;
                }
            },
            "VALUE"};
}

// -b: only -bm (read a message) is offered; say what each other mode would have done.
std::string OnlyMessageMode(std::string& value) {
    if (value == "m") {
        return {};
    }
    if (value == "s") {
        return "-bs (an SMTP dialogue on standard input) is not offered: give the message "
               "itself on standard input";
    }
    return "-b" + value +
           " is not offered: zefmail has no queue, aliases or daemon; -bm is "
           "the only mode";
}

// The account and the options give the connection; sendmail's own options the envelope.
void DefineSendmail(CLI::App& app, SendmailOptions& o) {
    AddSmtpOptions(app, o);
    app.add_option("-f,-r", o.from,
                   "Envelope sender (MAIL FROM); '' or '<>' for none (a bounce, an auto-reply). "
                   "Default: the From field's, else the login name at --domain")
        ->each([&o](const std::string&) { o.senderGiven = true; });
    app.add_option("--from", o.from)->group("");  // an account's from
    app.add_flag("-t", o.recipientsFromHeader,
                 "Recipients from the To, Cc and Bcc fields too (before the arguments)");
    app.add_flag("-i", o.ignoreDots, "A line holding only \".\" does not end the input (-oi too)");
    // -oi is -i; the other -o modes and -bm are sendmail's defaults anyway.
    app.add_option("--queue", o.queue,
                   "Store the message in this folder instead of sending it (env ZEFMAIL_QUEUE); "
                   "zefmail flush sends what it holds");
    app.add_option("--domain", o.domain,
                   "Domain of a sender without one, and of Message-ID (env ZEFMAIL_DOMAIN; "
                   "default: this host's full name)");
    app.add_option("-N,--dsn-notify", o.dsnNotify,
                   "Delivery status notices wanted: never, or success, failure, delay joined by "
                   "commas (sent where the server offers DSN)")
        ->check(ControlCheck(smtp::CheckDsnNotify,
                             "never, or success, failure and delay joined by commas"));
    app.add_option("-R,--dsn-return", o.dsnReturn, "What a notice returns: full or hdrs")
        ->check(ControlCheck(smtp::CheckDsnReturn, "full or hdrs"));
    app.add_option("-V,--dsn-envid", o.dsnEnvelopeId, "Envelope id echoed in notices")
        ->check(ControlCheck(smtp::CheckDsnEnvelopeId, "up to 100 printable ASCII characters"));
    // Delivery, error and submission modes that name what zefmail does anyway.
    app.add_option("-o", o.modes, "-oi; -odi -odb -odq -om -oee -oem -oep -oeq -oew are taken")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(CLI::IsMember({"i", "di", "db", "dq", "m", "ee", "em", "ep", "eq", "ew"}));
    app.add_option("-e", o.modes, "-ee -em -ep -eq -ew: errors go to standard error anyway")
        ->check(CLI::IsMember({"e", "m", "p", "q", "w"}));
    app.add_option("-b", o.mode, "-bm (the only mode: a message on standard input)")
        ->check(CLI::Validator(OnlyMessageMode, "MODE"));
    app.add_option("-F", o.fullName, "Accepted and ignored: the header is sent as written");
    for (const char* flag : {"-v", "-U", "-G", "-n"}) {
        app.add_flag(flag, o.verbose, "Accepted and ignored");
    }
    app.add_option("-B", o.bodyType,
                   "8BITMIME: the body holds 8-bit bytes (a server without 8BITMIME is not sent "
                   "the message); 7BIT: it does not")
        ->transform(CLI::IsMember({"7BIT", "8BITMIME"}, CLI::ignore_case));
    app.add_option("recipients", o.to, "Recipients (after \"--\" even when they begin with -)");
    app.footer(kAbout);
}

std::optional<std::string> CheckSendmail(SendmailOptions& o, const EnvLookup& env) {
    if (auto error = CheckCommon(o)) {
        return error;
    }
    if (auto error = CheckSmtpOptions(o, env)) {
        return error;
    }
    o.ignoreDots = o.ignoreDots || std::count(o.modes.begin(), o.modes.end(), "i") > 0;
    if (!o.recipientsFromHeader && o.to.empty()) {
        return "no recipient: name them as arguments, or give -t to read To, Cc and Bcc";
    }
    return std::nullopt;
}

}  // namespace

const CommandRules<SendmailOptions> kSendmailRules = {
    {"sendmail", "Send the message on standard input, as sendmail does", "send", kExUsage,
     ServerVariables({{"ZEFMAIL_QUEUE", "--queue"}})},
    DefineSendmail,
    CheckSendmail,
    WithLocalServer<SendmailOptions>()};

std::vector<std::pair<std::string, std::string>> ServerVariables(
    std::vector<std::pair<std::string, std::string>> more) {
    more.insert(more.begin(), {{"ZEFMAIL_SERVER", "--server"},
                               {"ZEFMAIL_PORT", "--port"},
                               {"ZEFMAIL_TLS", "--tls"},
                               {"ZEFMAIL_CA_FILE", "--ca-file"},
                               {"ZEFMAIL_AUTH", "--auth"},
                               {"ZEFMAIL_USER", "--user"},
                               {"ZEFMAIL_DOMAIN", "--domain"}});
    return more;
}

SendmailEnvelope ReadEnvelope(const std::string& headerBlock, const SendmailOptions& options,
                              const LocalSender& local) {
    HeaderEnvelope found;
    SendmailEnvelope envelope;
    envelope.header = TakeEnvelope(WithCrLf(headerBlock), found);
    std::vector<std::string> named =
        options.recipientsFromHeader ? found.recipients : std::vector<std::string>();
    named.insert(named.end(), options.to.begin(), options.to.end());
    for (const auto& address : UniqueAddresses(named)) {
        if (std::string bare = BareAddress(address); !bare.empty()) {
            envelope.recipients.push_back(std::move(bare));
        }
    }
    if (envelope.recipients.empty()) {
        throw SendmailError(kExUsage, "no recipient: To, Cc and Bcc name none");
    }
    // The sender: -f (nobody for '' or <>), else From, else the user; a domain for a local name.
    const std::string given = BareAddress(options.senderGiven ? options.from : found.from);
    std::string sender = options.senderGiven || !given.empty() ? given : local.login();
    if (sender.empty() && !options.senderGiven) {
        throw SendmailError(kExUsage, "no sender: give -f ADDR, or a From field in the header");
    }
    if (!sender.empty() && sender.find('@') == std::string::npos) {
        sender += "@" + local.domain();
    }
    envelope.nullSender = sender.empty();
    envelope.bodyType = options.bodyType;
    envelope.dsnNotify = options.dsnNotify;
    envelope.dsnReturn = options.dsnReturn;
    envelope.dsnEnvelopeId = options.dsnEnvelopeId;
    envelope.sender = sender;
    // What a submitted message must have and its author left to the mail system (RFC 6409 8).
    std::string added;
    const std::string author = sender.empty() ? local.login() + "@" + local.domain() : sender;
    if (!found.hasFrom) {
        added += "From: " + author + "\r\n";
    }
    if (!found.hasDate) {
        added += "Date: " + Rfc5322Date(local.now) + "\r\n";
    }
    if (!found.hasMessageId) {
        added +=
            "Message-ID: " + NewMessageId(local.now, author.substr(author.rfind('@') + 1)) + "\r\n";
    }
    envelope.header.insert(EndOfFields(envelope.header), added);
    return envelope;
}

LocalSender SystemSender(const SendmailOptions& options, const EnvLookup& env) {
    return {[env] { return LoginName(env); },
            [domain = options.domain] { return domain.empty() ? HostFullName() : domain; },
            std::time(nullptr)};
}

int SendmailExitCode(const TransferEnd& end) {
    switch (Classify(end)) {
        case Verdict::kDone:
            return kExOk;
        case Verdict::kRefused:
            return kExUnavailable;
        case Verdict::kTemporary:
            return kExTempFail;
        case Verdict::kLocal:
            break;
    }
    const auto says = [&end](const Text& refusal) {
        return end.message.starts_with(TextToUtf8(refusal));
    };
    if (says(outcome::smtp::kNoFromAddress.message) ||
        says(outcome::smtp::kNoRecipientAddress.message)) {
        return kExUsage;
    }
    // A line break in an address of the header.
    return says(outcome::smtp::InvalidCharacterIn(Text())) ? kExDataErr : kExSoftware;
}

int RunSendmail(const SendmailOptions& options, const Console& console) {
    std::ostream& err = console.err;
    try {
        MessageInput input(console.in, !options.ignoreDots);
        std::string header = input.ReadHeader();
        if (header.empty()) {
            throw SendmailError(kExNoInput, "no message on standard input");
        }
        const SendmailEnvelope envelope =
            ReadEnvelope(header, options, SystemSender(options, console.env));
        if (!options.queue.empty()) {
            MailQueue(options.queue).Store(envelope, input);
            return kExOk;
        }
        SendmailSession session(options, console.env, err, false);
        return session.Send(envelope, input);
    } catch (const SendmailError& e) {
        err << "zefmail sendmail: " << e.what() << "\n";
        return e.ExitCode();
    } catch (const Error& e) {
        err << "zefmail sendmail: error " << e.number() << " (" << e.source()
            << "): " << TextToUtf8(e.description()) << "\n";
    } catch (const std::exception& e) {
        err << "zefmail sendmail: " << e.what() << "\n";
    }
    return kExTempFail;
}

}  // namespace zef::zefmail
