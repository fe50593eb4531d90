#include "tools/zefmail/SendmailCommand.h"

#include <algorithm>
#include <asio/io_context.hpp>
#include <cctype>
#include <set>

#include "common/Error.h"
#include "common/Unicode.h"
#include "common/Variant.h"
#include "smtp/Outcomes.h"
#include "smtp/smtpZef.h"
#include "tools/zefmail/Accounts.h"
#include "tools/zefmail/HeaderBuilder.h"
#include "tools/zefmail/SendCommand.h"
#include "tools/zefmail/SendmailInput.h"

namespace zef::zefmail {

namespace {

const char* const kHelp = R"help(NAME
  zefmail sendmail - send the message on standard input, as sendmail does

SYNOPSIS
  zefmail sendmail [options] [--] [recipient ...]
  sendmail [options] [--] [recipient ...]      (zefmail run through a link named sendmail)

DESCRIPTION
  Reads one complete message (header, empty line, body) from standard input and hands it to
  the SMTP server as it stands: every header as written, 8-bit and long lines kept; only the
  Bcc fields are left out, and every line end goes out as CR LF. The header block may be up to
  1 MiB; the body is streamed.

OPTIONS
  -t              Recipients from the To, Cc and Bcc fields too (after them, the arguments).
  -f ADDR, -fADDR, -r ADDR
                  Envelope sender (MAIL FROM). Default: the address of the From field.
  -i, -oi         A line holding only "." does not end the input (it does by default).
  -F NAME         Accepted and ignored: the header is sent as written.
  -B TYPE         8BITMIME: the body holds 8-bit bytes (a server without 8BITMIME is not
                  sent the message); 7BIT: it does not. Without -B the body is declared
                  BODY=8BITMIME when the server offers it, as it may hold 8-bit bytes; a
                  header with UTF-8 is sent with SMTPUTF8 when offered. A server that cannot
                  take an 8-bit message or a UTF-8 address gets none (exit status 69).
  -odi -odb -oem -oep -om -v -bm --
                  Accepted and ignored ("--" ends the options).
  --server HOST   SMTP server (env ZEFMAIL_SERVER; default localhost).
  --port N        Port (env ZEFMAIL_PORT; default 25, 465 with --tls implicit).
  --tls MODE      implicit or starttls (env ZEFMAIL_TLS; default none).
  --ca-file FILE  PEM file of further trusted CAs (env ZEFMAIL_CA_FILE).
  --insecure      With --tls: accept any server certificate.
  --auth MECH     none, plain, login or cram-md5 (env ZEFMAIL_AUTH; default none).
  --user NAME     Login name (env ZEFMAIL_USER).
  --password-env VAR
                  Environment variable holding the password (default ZEFMAIL_PASSWORD).
  --password-command CMD
                  Command whose first line of output is the password.
  --account NAME  The settings of an account of ~/.config/zefmail/config.toml (its "send"
                  table included); without it, the file's default account. The ZEFMAIL_*
                  variables and the options above win over the account.
  --connect-timeout S, --trans-timeout S
                  Seconds for connecting (30) and of silence during the dialogue (120).
  --trace         Show the dialogue on standard error (passwords as ***).
  Any other option is refused (exit status 64).

EXIT STATUS (sysexits.h)
  0   the server accepted the message
  64  EX_USAGE: a command line that cannot be used, no sender, no recipient
  65  EX_DATAERR: a header block over 1 MiB, an address that cannot be sent
  66  EX_NOINPUT: nothing on standard input
  69  EX_UNAVAILABLE: the server refused for good (a 5xx reply, a refused certificate)
  70  EX_SOFTWARE: an error inside zefmail
  74  EX_IOERR: standard input could not be read
  75  EX_TEMPFAIL: a 4xx reply, a time-out, no connection: try again later

EXAMPLES
  ln -s "$(command -v zefmail)" ~/bin/sendmail
  printf 'To: you@example.org\nSubject: hi\n\nhello\n' | ZEFMAIL_SERVER=mail.example.org sendmail -t
  git config sendemail.sendmailcmd "zefmail sendmail --server mail.example.org"
)help";

const std::set<std::string> kIgnored = {"-odi", "-odb", "-oem", "-oep", "-om", "-v", "-bm"};
const std::set<std::string> kValued = {"--server",
                                       "--port",
                                       "--tls",
                                       "--ca-file",
                                       "--auth",
                                       "--user",
                                       "--password-env",
                                       "--connect-timeout",
                                       "--trans-timeout",
                                       "--account",
                                       "--password-command"};

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A whole number from `low` to `high`, or nullopt.
std::optional<long> Number(const std::string& text, long low, long high) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    long value = std::stol(text);
    return value >= low && value <= high ? std::optional<long>(value) : std::nullopt;
}

void SetValued(SendOptions& s, const std::string& name, const std::string& value, std::string& port,
               std::string& connect, std::string& trans) {
    if (name == "--server") {
        s.server = value;
    } else if (name == "--port") {
        port = value;
    } else if (name == "--tls") {
        s.tls = Lower(value);
    } else if (name == "--ca-file") {
        s.caFile = value;
    } else if (name == "--auth") {
        s.auth = Lower(value);
    } else if (name == "--user") {
        s.user = value;
    } else if (name == "--password-env") {
        s.passwordEnv = value;
        s.passwordCommand.clear();
        s.passwordFile.clear();
    } else if (name == "--password-command") {
        s.passwordCommand = value;
        s.passwordFile.clear();
    } else if (name == "--account") {
        // applied before the other options, whose defaults it sets
    } else if (name == "--connect-timeout") {
        connect = value;
    } else {
        trans = value;
    }
}

// The settings beyond the syntax; the error message, or nullopt.
std::optional<std::string> Check(SendmailOptions& o, const std::string& port,
                                 const std::string& connect, const std::string& trans,
                                 const EnvLookup& env) {
    SendOptions& s = o.smtp;
    if (s.server.empty()) {
        return "--server (or ZEFMAIL_SERVER) must not be empty";
    }
    if (!port.empty()) {
        std::optional<long> value = Number(port, 1, 65535);
        if (!value) {
            return "--port (or ZEFMAIL_PORT) must be a number from 1 to 65535, not " + port;
        }
        s.port = static_cast<int>(*value);
    }
    for (auto [text, target] :
         {std::pair{&connect, &s.connectTimeout}, {&trans, &s.transTimeout}}) {
        if (!text->empty()) {
            std::optional<long> value = Number(*text, 0, 86400L * 365);
            if (!value) {
                return "a time-out must be a number of seconds, not " + *text;
            }
            *target = *value;
        }
    }
    if (!s.tls.empty() && s.tls != "implicit" && s.tls != "starttls") {
        return "--tls (or ZEFMAIL_TLS) must be implicit or starttls, not " + s.tls;
    }
    if (s.insecure && s.tls.empty()) {
        return "--insecure requires --tls";
    }
    if (s.auth != "none" && s.AuthMechanism() == 0) {
        return "--auth (or ZEFMAIL_AUTH) must be none, plain, login or cram-md5, not " + s.auth;
    }
    if (s.AuthMechanism() != 0 && s.user.empty()) {
        return "--auth " + s.auth + " needs --user (or ZEFMAIL_USER)";
    }
    if (s.AuthMechanism() != 0 && s.passwordCommand.empty() && s.passwordFile.empty() &&
        !env(s.passwordEnv)) {
        return "the environment variable " + s.passwordEnv +
               " is not set (the password for --auth " + s.auth + ")";
    }
    if (!o.recipientsFromHeader && s.to.empty()) {
        return "no recipient: name them as arguments, or give -t to read To, Cc and Bcc";
    }
    return std::nullopt;
}

SendmailParse Refuse(std::ostream& err, const std::string& message) {
    err << "zefmail sendmail: " << message << " (see zefmail sendmail --help)\n";
    return {std::nullopt, kExUsage};
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    return begin == std::string::npos
               ? std::string()
               : text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The address alone, as MAIL FROM and RCPT TO need it: the text in angle brackets, or else
// the text outside comments ("root (Cron Daemon)" is root), trimmed.
std::string BareAddress(const std::string& entry) {
    std::string outside;
    bool quoted = false;
    int comment = 0;
    for (size_t i = 0; i < entry.size(); ++i) {
        const char c = entry[i];
        if (comment > 0) {
            comment += c == '(' ? 1 : c == ')' ? -1 : 0;
            i += c == '\\' ? 1 : 0;
            continue;
        }
        if (!quoted && c == '(') {
            ++comment;
            continue;
        }
        if (!quoted && c == '<') {
            size_t close = entry.find('>', i);
            return Trimmed(entry.substr(
                i + 1, close == std::string::npos ? std::string::npos : close - i - 1));
        }
        if (quoted && c == '\\' && i + 1 < entry.size()) {
            outside += entry[i++];
        }
        quoted = c == '"' ? !quoted : quoted;
        outside += entry[i];
    }
    return Trimmed(outside);
}

// One send through smtpZef with RawMessage: the header as the first MoreData piece, then the
// body pieces as standard input gives them.
int Send(const SendmailOptions& o, const SendmailEnvelope& envelope, MessageInput& input,
         const EnvLookup& env, std::ostream& err) {
    const SendOptions& s = o.smtp;
    asio::io_context io;
    smtpZef smtp(io);
    ConfigureConnection(smtp, s, env);
    smtp.RawMessage(true);
    // The body streams by, so its bytes are not known before MAIL FROM: unless -B says, it is
    // declared 8-bit wherever the server takes that.
    smtp.Body8Bit(o.bodyType == "8BITMIME");
    smtp.CapabilitiesReceived = [&smtp, &o] {
        const Text keywords = u"\r\n" + smtp.Capabilities() + u"\r\n";
        if (o.bodyType.empty() && (keywords.find(u"\r\n8BITMIME\r\n") != Text::npos ||
                                   keywords.find(u"\r\n8BITMIME ") != Text::npos)) {
            smtp.Body8Bit(true);
        }
    };
    smtp.FromAddr(Utf8ToText(envelope.sender));
    std::vector<Text> recipients;
    for (const auto& address : envelope.recipients) {
        recipients.push_back(Utf8ToText(address));
    }
    smtp.ToAddr(Variant(StringArray::OneBased(std::move(recipients))));

    bool headerGiven = false;
    bool done = false;
    TransferEnd end;
    std::optional<SendmailError> failure;
    smtp.MoreData = [&](long /*id*/, Bytes& data) {
        if (!headerGiven) {
            headerGiven = true;
            data = envelope.header;
            return;
        }
        try {
            data = input.NextPiece();
        } catch (const SendmailError& e) {
            failure = e;
            throw;  // ends the send before the final dot: the server drops the message
        }
    };
    smtp.Trace = [&](const Text& text) {
        end.Trace(text);
        if (s.trace) {
            err << TextToUtf8(text) << "\n";
        }
    };
    smtp.Done = [&](long doneCode, const Text& doneMessage) {
        done = true;
        end.code = doneCode;
        end.message = TextToUtf8(doneMessage);
        io.stop();
    };
    smtp.Smtp(Utf8ToText(s.server), Text());
    if (!done) {
        io.run();
    }
    if (failure) {
        err << "zefmail sendmail: " << failure->what() << "; the message was not sent\n";
        return failure->ExitCode();
    }
    if (end.code != 0) {
        err << "zefmail sendmail: " << Describe(end, s.server, s.PortOr(25, 465)) << "\n";
    }
    return SendmailExitCode(end);
}

}  // namespace

SendmailParse ParseSendmailLine(const std::vector<std::string>& args, std::ostream& out,
                                std::ostream& err, const EnvLookup& env) {
    SendmailOptions o;
    SendOptions& s = o.smtp;
    // An account of the configuration file first, then the environment, then the options.
    try {
        FetchOptions unused;
        ApplyAccount(ConfigFilePath(env), AccountArgument(args), "send", s, unused);
    } catch (const ToolError& error) {
        return Refuse(err, error.what());
    }
    for (auto [name, target] : {std::pair{"ZEFMAIL_SERVER", &s.server},
                                {"ZEFMAIL_TLS", &s.tls},
                                {"ZEFMAIL_CA_FILE", &s.caFile},
                                {"ZEFMAIL_AUTH", &s.auth},
                                {"ZEFMAIL_USER", &s.user}}) {
        if (const std::optional<std::string> value = env(name)) {
            *target = *value;
        }
    }
    s.server = s.server.empty() ? "localhost" : s.server;
    s.tls = Lower(s.tls);
    s.auth = Lower(s.auth);
    std::string port = env("ZEFMAIL_PORT").value_or("");
    std::string connect;
    std::string trans;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            s.to.push_back(arg);
            continue;
        }
        const std::string name = arg.substr(0, arg.find('='));
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help") {
            out << kHelp;
            return {std::nullopt, kExOk};
        } else if (arg == "-t") {
            o.recipientsFromHeader = true;
        } else if (arg == "-i" || arg == "-oi") {
            o.dotEnds = false;
        } else if (arg == "--insecure") {
            s.insecure = true;
        } else if (arg == "--trace") {
            s.trace = true;
        } else if (kIgnored.count(arg) != 0) {
        } else if (kValued.count(name) != 0) {
            if (name == arg && i + 1 == args.size()) {
                return Refuse(err, name + " needs a value");
            }
            SetValued(s, name, name == arg ? args[++i] : arg.substr(name.size() + 1), port, connect,
                      trans);
        } else if (arg.rfind("-f", 0) == 0 || arg.rfind("-r", 0) == 0 || arg.rfind("-F", 0) == 0 ||
                   arg.rfind("-B", 0) == 0) {
            if (arg.size() == 2 && i + 1 == args.size()) {
                return Refuse(err, arg + " needs a value");
            }
            std::string value = arg.size() == 2 ? args[++i] : arg.substr(2);
            if (arg[1] == 'f' || arg[1] == 'r') {
                s.from = value;
            } else if (arg[1] == 'B') {
                o.bodyType = Upper(value);
            }
        } else {
            return Refuse(err, "unknown option " + arg);
        }
    }
    if (std::optional<std::string> error = Check(o, port, connect, trans, env)) {
        return Refuse(err, *error);
    }
    return {o, kExOk};
}

SendmailEnvelope ReadEnvelope(const std::string& headerBlock, const SendmailOptions& options) {
    HeaderEnvelope found;
    SendmailEnvelope envelope;
    envelope.header = TakeEnvelope(WithCrLf(headerBlock), found);
    envelope.sender = BareAddress(options.smtp.from.empty() ? found.from : options.smtp.from);
    std::vector<std::string> named =
        options.recipientsFromHeader ? found.recipients : std::vector<std::string>();
    named.insert(named.end(), options.smtp.to.begin(), options.smtp.to.end());
    for (const auto& address : named) {
        if (std::string bare = BareAddress(address); !bare.empty()) {
            envelope.recipients.push_back(std::move(bare));
        }
    }
    if (envelope.sender.empty()) {
        throw SendmailError(kExUsage, "no sender: give -f ADDR, or a From field in the header");
    }
    if (envelope.recipients.empty()) {
        throw SendmailError(kExUsage, "no recipient: To, Cc and Bcc name none");
    }
    return envelope;
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

int RunSendmail(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, const EnvLookup& env) {
    SendmailParse parsed = ParseSendmailLine(args, out, err, env);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    try {
        MessageInput input(in, parsed.options->dotEnds);
        std::string header = input.ReadHeader();
        if (header.empty()) {
            throw SendmailError(kExNoInput, "no message on standard input");
        }
        return Send(*parsed.options, ReadEnvelope(header, *parsed.options), input, env, err);
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
