#include "tools/zefmail/Options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/Unicode.h"
#include "tools/zefmail/Accounts.h"
#include "tools/zefmail/BodyStreams.h"
#include "tools/zefmail/JisRepertoire.h"
#include "tools/zefmail/MimePlan.h"
#include "tools/zefmail/ToolError.h"

namespace zef::zefmail {

namespace {

const char* const kSendExamples = R"(
Examples:
  Send a Japanese text with two attachments, logging in with LOGIN:
    export ZEFMAIL_PASSWORD='secret'
    zefmail send --server mail.example.jp --port 587 --auth login --user taro \
      --from 'Taro <taro@example.jp>' --to hanako@example.jp --cc jiro@example.jp \
      --subject '会議の資料' --body-file body.txt --attach slides.pdf --attach 表.xlsx

  Text and HTML as alternatives, body from standard input, a hidden copy:
    echo 'Hello' | zefmail send --server localhost --from me@example.org \
      --to you@example.org --bcc archive@example.org --subject Hi \
      --body-file - --html-file hello.html

  A header written by hand (UTF-8, one field per line):
    zefmail send --server localhost --header-file header.txt --body-file body.txt

  Over TLS: STARTTLS on the submission port, or implicit TLS (port 465 unless --port):
    zefmail send --server mail.example.jp --port 587 --tls starttls --auth plain --user taro \
      --from taro@example.jp --to hanako@example.jp --subject Hi --body-file body.txt
    zefmail send --server mail.example.jp --tls implicit --auth plain --user taro \
      --from taro@example.jp --to hanako@example.jp --subject Hi --body-file body.txt

  With an OAuth 2.0 access token printed by a helper program (or SCRAM-SHA-256 with a
  password; --auth auto picks what the server offers):
    zefmail send --server smtp.example.com --port 587 --tls starttls --auth xoauth2 \
      --user taro@example.com --password-command 'oauth-helper token taro' \
      --from taro@example.com --to hanako@example.jp --subject Hi --body-file body.txt

  A server whose certificate comes from a CA of your own:
    zefmail send --server mail.internal --tls starttls --ca-file company-ca.pem \
      --from me@internal --to you@internal --subject Hi --body-file body.txt

The text body is sent as ISO-2022-JP or, where --charset chooses it, as UTF-8 in base64; HTML
as UTF-8 quoted-printable; attachments in base64.
The password is read from the environment variable named by --password-env, never from the
command line. With --tls nothing but EHLO and STARTTLS is sent before the TLS handshake, and
the server's certificate must come from a trusted CA (the system's or --ca-file) and name
--server; --insecure skips that check, which leaves the connection open to anyone in between.
With --auth xoauth2 or oauthbearer the secret (from --password-command or the environment) is
an OAuth 2.0 access token; --auth auto treats a secret that looks like one (a JWT, or 64 or more
token characters) as both token and password. A refused token's error detail is shown.
Each recipient the server refuses is named on standard error; the message still goes to the
others.
Exit status: 0 when the server accepted the message for every recipient; 1 when the send
failed for good; 2 for a command line that cannot be used; 3 when the message went to some
recipients but not all; 4 when the failure is temporary and a later try may succeed (a 4xx
reply, a time-out, a server that cannot be reached).)";

const char* const kFetchExamples = R"(
Examples:
  Save every message under ./mail and delete each one once it is safely on disk:
    export ZEFMAIL_PASSWORD='secret'
    zefmail fetch --server pop.example.jp --user taro --out mail

  Save and keep everything on the server, with the text parts also as UTF-8 .txt files;
  run again, it saves only what has come since:
    zefmail fetch --server pop.example.jp --user taro --out mail --keep --text

  From cron: save new mail, and delete it on the server a week after it was saved:
    zefmail fetch --server pop.example.jp --user taro --out mail --keep-days 7 --quiet

  The settings of an account of ~/.config/zefmail/config.toml, the password from a keyring:
    zefmail fetch --account work --password-command 'secret-tool lookup zefmail work'

  Deliver into a Maildir and an mbox file for mail readers:
    zefmail fetch --server pop.example.jp --user taro --maildir ~/Maildir --mbox ~/mbox

  Every event of the mailbox as JSON lines, nothing deleted:
    zefmail fetch --server pop.example.jp --user taro --events | jq .

  An account that takes only OAuth 2.0 tokens, the token from a helper program:
    zefmail fetch --server pop.example.jp --user taro@example.jp --tls implicit \
      --auth xoauth2 --password-command 'oauth-helper token taro' --out mail

  Over TLS: implicit TLS (port 995 unless --port), or STLS on port 110 with a CA of your own:
    zefmail fetch --server pop.example.jp --user taro --tls implicit --out mail
    zefmail fetch --server pop.internal --user taro --tls starttls --ca-file company-ca.pem \
      --out mail

Each message goes to DIR/<n>/: message.json (id, uidl, size, headers, parts) and one file
per part with its decoded bytes; n counts on from the highest folder number in DIR, so a later
run never meets an earlier folder.
--maildir DIR puts each message, as received, into DIR/new/ (through DIR/tmp/) under a unique
name; --mbox FILE appends it to FILE in mboxrd form, under an fcntl lock and FILE.lock. Lines
end in LF unless --crlf. --out, --maildir and --mbox can be given together; a message is then
deleted on the server only once it is on disk in every one of them. Without any of them (or
with --keep) nothing is deleted on the server. What was saved is remembered beside the first
of them (.zefmail-state), so a later run fetches only new mail and --keep-days N can delete
messages N days after they were saved.
With --tls the login waits for the TLS handshake, and the server's certificate is checked as
for send (--ca-file, --insecure).
--auth logs in with AUTH after asking the server's capabilities (CAPA): xoauth2 sends the token
after the server's go-ahead, as large providers require; a refused token is reported with what
the server said about it (status, scope). auto picks OAUTHBEARER or XOAUTH2 when the secret
looks like a token (as for send), else SCRAM-SHA-256, then PLAIN, then USER/PASS (or APOP with
--apop), whichever the server offers first. The password or token is never shown.
When the server announces PIPELINING (CAPA), the next message's commands go out while a
message is still being read, so the server prepares it meanwhile;
--no-pipelining sends one command at a time.
Exit status: 0 when the mailbox was read and every message written, 1 otherwise, 2 for a
command line that cannot be used, 4 for a failure worth trying again later: the server could
not be reached or stopped answering, or refused with [IN-USE], [LOGIN-DELAY] or [SYS/TEMP].)";

void AddCommon(CLI::App& command, CommonOptions& options, const std::string& portHelp) {
    command.add_option("--account", options.account,
                       "A named account of ~/.config/zefmail/config.toml (its settings are the "
                       "defaults)");
    // An account may have given the server already.
    command.add_option("--server", options.server, "Host name or address of the server")
        ->required(options.server.empty());
    command.add_option("--port", options.port, portHelp)->check(CLI::Range(1, 65535));
    command
        .add_option("--password-env", options.passwordEnv,
                    "Environment variable that holds the password")
        ->capture_default_str();
    command.add_option("--password-command", options.passwordCommand,
                       "Command that prints the password (its first line is taken)");
    command
        .add_option("--connect-timeout", options.connectTimeout,
                    "Seconds allowed for connecting (0: no limit)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    command
        .add_option("--trans-timeout", options.transTimeout,
                    "Seconds of silence allowed during the dialogue (0: no limit)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    command.add_flag("--trace", options.trace,
                     "Show the dialogue on standard error (passwords as ***)");
    command.add_flag("--quiet", options.quiet, "No progress bar");
    CLI::Option* tls =
        command
            .add_option("--tls", options.tls,
                        "TLS, required: implicit (from the first byte) or starttls (an upgrade "
                        "after the greeting; STLS for POP3)")
            ->transform(CLI::IsMember({"implicit", "starttls"}, CLI::ignore_case));
    command
        .add_option("--ca-file", options.caFile,
                    "PEM file of CAs to trust besides the system's, for --tls")
        ->needs(tls);
    command
        .add_flag("--insecure", options.insecure,
                  "With --tls: accept any server certificate (no check of issuer, dates or name)")
        ->needs(tls);
}

void AddSend(CLI::App& app, SendOptions& options) {
    CLI::App* send = app.add_subcommand("send", "Send one message through an SMTP server");
    AddCommon(*send, options, "Port of the server (default 25; 465 with --tls implicit)");
    send->add_option("--from", options.from, "Sender (UTF-8, e.g. 'Name <addr>')");
    send->add_option("--to", options.to, "Recipient, in the To field (repeatable)");
    send->add_option("--cc", options.cc, "Recipient, in the Cc field (repeatable)");
    send->add_option("--bcc", options.bcc, "Recipient in no header field (repeatable)");
    CLI::Option* subject = send->add_option("--subject", options.subject, "Subject (UTF-8)");
    CLI::Option* headerFile =
        send->add_option("--header-file", options.headerFile,
                         "Header lines as they are (UTF-8) instead of --from/--to/--cc/--subject");
    headerFile->excludes(subject);
    send->add_option("--body-file", options.bodyFile,
                     "The text of the message (UTF-8; - for stdin)");
    send->add_option("--attach", options.attach, "A file to attach (repeatable)");
    send->add_option("--html-file", options.htmlFile, "An HTML version of the text (UTF-8)");
    send->add_option("--auth", options.auth,
                     "Authentication: none, cram-md5, login, plain, scram-sha-256, xoauth2 or "
                     "oauthbearer (the secret is an OAuth 2.0 access token), or auto (the "
                     "strongest the server offers)")
        ->transform(CLI::IsMember({"none", "cram-md5", "login", "plain", "scram-sha-256", "xoauth2",
                                   "oauthbearer", "auto"},
                                  CLI::ignore_case))
        ->capture_default_str();
    send->add_option("--user", options.user, "User name for --auth");
    send->add_option("--hostname", options.hostname,
                     "Name given in HELO/EHLO (default: this host)");
    send->add_option("--charset", options.charset,
                     "Charset of the subject, names and text: auto (ISO-2022-JP when all of it "
                     "fits, else UTF-8), utf-8 or iso-2022-jp (refuses what does not fit)")
        ->transform(CLI::IsMember({"auto", "utf-8", "iso-2022-jp"}, CLI::ignore_case))
        ->capture_default_str();
    send->footer(kSendExamples);
}

void AddFetch(CLI::App& app, FetchOptions& options) {
    CLI::App* fetch = app.add_subcommand("fetch", "Read a POP3 mailbox");
    AddCommon(*fetch, options, "Port of the server (default 110; 995 with --tls implicit)");
    fetch->add_option("--user", options.user, "Mailbox user name")->required(options.user.empty());
    fetch->add_flag("--apop", options.apop, "Log in with APOP instead of USER/PASS");
    fetch
        ->add_option("--auth", options.auth,
                     "Log in with AUTH: plain, scram-sha-256, xoauth2 or oauthbearer (the "
                     "password is then an OAuth token), or auto (the strongest the server "
                     "offers for a password)")
        ->transform(CLI::IsMember({"plain", "scram-sha-256", "xoauth2", "oauthbearer", "auto"},
                                  CLI::ignore_case));
    fetch->add_option("--top-lines", options.topLines, "Also ask for the first N lines (TOP)")
        ->check(CLI::NonNegativeNumber);
    fetch->add_flag("--keep", options.keep,
                    "Delete nothing on the server; with --out, later runs fetch only new mail");
    fetch->add_flag("--delete-on-error", options.deleteOnError,
                    "Commit the deletions made so far even when the dialogue fails");
    fetch->add_flag("--no-pipelining", options.noPipelining,
                    "One command at a time, even when the server announces PIPELINING");
    fetch->add_option("--out", options.out, "Folder for the messages (created when missing)");
    fetch
        ->add_option("--keep-days", options.keepDays,
                     "Keep saved messages on the server for N days, then delete them")
        ->check(CLI::Range(0L, 100L * 365));
    fetch->add_option("--maildir", options.maildir,
                      "Maildir for the messages as received (tmp/ new/ cur/ made when missing)");
    fetch->add_option("--mbox", options.mbox, "mbox file the messages are appended to (mboxrd)");
    fetch->add_flag("--crlf", options.crlf, "Lines in --maildir and --mbox end in CR LF, not LF");
    fetch->add_flag("--events", options.events, "Every event as a JSON line on standard output");
    fetch->add_flag("--text", options.text, "Text parts also as UTF-8 .txt files");
    fetch->footer(kFetchExamples);
}

// "cannot read FILE: reason" for a path that is not a readable regular file.
std::optional<std::string> CheckReadableFile(const std::string& option, const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return option + " " + path + ": " + std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return option + " " + path + ": is a folder, not a file";
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return option + " " + path + ": " + std::strerror(errno);
    }
    return std::nullopt;
}

std::optional<std::string> CheckPassword(const CommonOptions& options, const EnvLookup& env,
                                         const std::string& purpose) {
    if (!options.passwordCommand.empty() || !options.passwordFile.empty()) {
        return std::nullopt;  // read when it is needed, so that a fresh one is used
    }
    if (options.passwordEnv.empty()) {
        return "--password-env must name an environment variable";
    }
    if (!env(options.passwordEnv)) {
        return "the environment variable " + options.passwordEnv + " is not set (" + purpose +
               "; zefmail never takes a password on the command line)";
    }
    return std::nullopt;
}

}  // namespace

long SendOptions::AuthMechanism() const {
    if (auth == "cram-md5") {
        return 1;
    }
    if (auth == "login") {
        return 2;
    }
    if (auth == "plain") {
        return 3;
    }
    return 0;
}

std::string SendOptions::SaslMechanism() const {
    if (auth == "xoauth2" || auth == "oauthbearer" || auth == "scram-sha-256") {
        std::string upper = auth;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return upper;
    }
    return {};
}

long CommonOptions::Security() const {
    if (tls == "implicit") {
        return 1;
    }
    return tls == "starttls" ? 2 : 0;
}

int CommonOptions::PortOr(int plainPort, int implicitTlsPort) const {
    if (port != 0) {
        return port;
    }
    return Security() == 1 ? implicitTlsPort : plainPort;
}

EnvLookup ProcessEnvironment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    };
}

std::optional<std::string> CheckSend(const SendOptions& options, const EnvLookup& env) {
    if (options.server.empty()) {
        return "--server must not be empty";
    }
    if (options.headerFile.empty()) {
        if (options.from.empty()) {
            return "--from is required (or give the whole header with --header-file)";
        }
        if (options.to.empty() && options.cc.empty() && options.bcc.empty()) {
            return "no recipient: give at least one --to, --cc or --bcc";
        }
    } else if (auto error = CheckReadableFile("--header-file", options.headerFile)) {
        return error;
    }
    if (!options.bodyFile.empty() && options.bodyFile != "-") {
        if (auto error = CheckReadableFile("--body-file", options.bodyFile)) {
            return error;
        }
    }
    if (!options.htmlFile.empty()) {
        if (auto error = CheckReadableFile("--html-file", options.htmlFile)) {
            return error;
        }
    }
    for (const auto& path : options.attach) {
        if (auto error = CheckReadableFile("--attach", path)) {
            return error;
        }
    }
    if (!options.caFile.empty()) {
        if (auto error = CheckReadableFile("--ca-file", options.caFile)) {
            return error;
        }
    }
    if (options.LogsIn()) {
        if (options.user.empty()) {
            return "--auth " + options.auth + " needs --user";
        }
        return CheckPassword(
            options, env,
            (options.OAuth() ? "the token for --auth " : "the password for --auth ") +
                options.auth);
    }
    return std::nullopt;
}

namespace {

// The option values that become header text or envelope addresses, by option name.
std::vector<std::pair<std::string, std::string>> TextOptions(const SendOptions& options) {
    std::vector<std::pair<std::string, std::string>> values = {{"--from", options.from},
                                                               {"--subject", options.subject}};
    for (auto [name, list] : {std::pair{"--to", &options.to},
                              {"--cc", &options.cc},
                              {"--bcc", &options.bcc},
                              {"--attach", &options.attach}}) {
        for (const auto& value : *list) {
            values.emplace_back(name, value);
        }
    }
    return values;
}

// The address of "Name <addr>" or of a bare address holds a non-ASCII character: only an
// SMTPUTF8 message in UTF-8 carries it in its header.
bool HasNonAsciiAddress(const SendOptions& options) {
    const auto values = TextOptions(options);
    return std::any_of(values.begin(), values.end(), [](const auto& entry) {
        const std::string& value = entry.second;
        const size_t open = value.rfind('<');
        const std::string address = open == std::string::npos ? value : value.substr(open);
        return entry.first != "--subject" && entry.first != "--attach" &&
               std::any_of(address.begin(), address.end(),
                           [](char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; });
    });
}

// Throws ToolError for the first text that ISO-2022-JP cannot carry.
void RequireJis(const SendOptions& options) {
    JisRepertoireCheck check;
    for (const auto& [name, value] : TextOptions(options)) {
        if (name == "--attach") {
            check.Require(ContentNameForFile(value), "--attach " + value + ": the file name");
        } else if (name != "--bcc") {
            check.Require(value, name);
        }
    }
    if (!options.headerFile.empty()) {
        check.RequireFile(options.headerFile, "--header-file");
    }
    if (!options.bodyFile.empty() && options.bodyFile != "-") {
        check.RequireFile(options.bodyFile, "--body-file");
    }
}

}  // namespace

std::optional<std::string> CheckSendableText(SendOptions& options) {
    try {
        for (const auto& [name, value] : TextOptions(options)) {
            if (size_t bad = FirstInvalidUtf8(value); bad != std::string::npos) {
                return NotUtf8(std::string(name).append(" ").append(value), bad);
            }
        }
        for (auto [name, path] :
             {std::pair{"--body-file", &options.bodyFile}, {"--html-file", &options.htmlFile}}) {
            if (!path->empty() && *path != "-") {
                RequireUtf8File(*path, std::string(name) + " " + *path);
            }
        }
        std::transform(options.charset.begin(), options.charset.end(), options.charset.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (options.charset == "iso-2022-jp") {
            RequireJis(options);
        } else if (options.charset == "auto") {
            options.charset = "iso-2022-jp";
            if (options.bodyFile == "-" || HasNonAsciiAddress(options)) {
                options.charset = "utf-8";
            } else {
                try {
                    RequireJis(options);
                } catch (const ToolError&) {
                    options.charset = "utf-8";
                }
            }
        }
    } catch (const ToolError& e) {
        return e.what();
    }
    return std::nullopt;
}

namespace {

// --maildir must be a folder and --mbox a file, where they exist.
std::optional<std::string> CheckMailboxPaths(const FetchOptions& options) {
    struct stat info {};
    if (!options.maildir.empty() && ::stat(options.maildir.c_str(), &info) == 0 &&
        !S_ISDIR(info.st_mode)) {
        return "--maildir " + options.maildir + ": exists and is not a folder";
    }
    if (!options.mbox.empty() && ::stat(options.mbox.c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode)) {
        return "--mbox " + options.mbox + ": is a folder, not a file";
    }
    if (options.crlf && options.maildir.empty() && options.mbox.empty()) {
        return "--crlf requires --maildir or --mbox";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> CheckFetch(const FetchOptions& options, const EnvLookup& env) {
    if (options.server.empty()) {
        return "--server must not be empty";
    }
    if (options.user.empty()) {
        return "--user must not be empty";
    }
    // Checked here rather than by the parser, because an account may give the folder.
    if (options.out.empty() && options.text) {
        return "--text requires --out";
    }
    if (options.out.empty() && options.maildir.empty() && options.mbox.empty() &&
        options.keepDays >= 0) {
        return "--keep-days requires --out, --maildir or --mbox";
    }
    if (!options.out.empty()) {
        struct stat info {};
        if (::stat(options.out.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
            return "--out " + options.out + ": exists and is not a folder";
        }
    }
    if (auto error = CheckMailboxPaths(options)) {
        return error;
    }
    if (options.apop && !options.auth.empty() && options.auth != "auto") {
        return "--apop and --auth " + options.auth + " are two different logins; give one";
    }
    if (!options.caFile.empty()) {
        if (auto error = CheckReadableFile("--ca-file", options.caFile)) {
            return error;
        }
    }
    return CheckPassword(options, env, "the mailbox password");
}

ParseOutcome ParseCommandLine(const std::vector<std::string>& args, std::ostream& out,
                              std::ostream& err, const EnvLookup& env) {
    Command command;
    const std::string commandName = args.empty() ? "" : args.front();
    if (commandName == "send" || commandName == "fetch") {
        try {
            ApplyAccount(ConfigFilePath(env), AccountArgument(args), commandName, command.send,
                         command.fetch);
        } catch (const ToolError& error) {
            err << "zefmail " << commandName << ": " << error.what() << "\n";
            return {std::nullopt, 2};
        }
    }
    CLI::App app("zefmail: send mail through SMTP and read POP3 mailboxes", "zefmail");
    app.require_subcommand(1);
    AddSend(app, command.send);
    AddFetch(app, command.fetch);
    app.footer(
        "Run 'zefmail send --help' or 'zefmail fetch --help' for the options and examples;\n"
        "'zefmail sendmail --help' for the sendmail-compatible mode.");

    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them reversed
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << app.help();  // the selected command's help, titled "zefmail send"
        return {std::nullopt, 0};
    } catch (const CLI::CallForAllHelp&) {
        out << app.help("", CLI::AppFormatMode::All);
        return {std::nullopt, 0};
    } catch (const CLI::ParseError& e) {
        auto selected = app.get_subcommands();
        std::string name = selected.empty() ? "zefmail" : "zefmail " + selected.front()->get_name();
        err << name << ": " << e.what() << " (see " << name << " --help)\n";
        return {std::nullopt, 2};
    }

    // A password source named on the command line wins over the account's.
    for (CLI::App* selected : app.get_subcommands()) {
        CommonOptions& options = selected->get_name() == "send"
                                     ? static_cast<CommonOptions&>(command.send)
                                     : command.fetch;
        if (selected->count("--password-env") > 0) {
            options.passwordCommand.clear();
        }
        if (selected->count("--password-env") + selected->count("--password-command") > 0) {
            options.passwordFile.clear();
        }
    }
    // Keeping for N days is keeping, until the N days are over.
    command.fetch.keep = command.fetch.keep || command.fetch.keepDays >= 0;
    std::optional<std::string> error;
    if (app.got_subcommand("send")) {
        command.kind = Command::Kind::kSend;
        command.send.auth = command.send.auth.empty() ? "none" : command.send.auth;
        error = CheckSend(command.send, env);
        if (!error) {
            error = CheckSendableText(command.send);
        }
    } else {
        command.kind = Command::Kind::kFetch;
        error = CheckFetch(command.fetch, env);
    }
    if (error) {
        err << (command.kind == Command::Kind::kSend ? "zefmail send: " : "zefmail fetch: ")
            << *error << "\n";
        return {std::nullopt, 2};
    }
    return {std::move(command), 0};
}

}  // namespace zef::zefmail
