#include "tools/zefmail/send/SendOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>

#include "common/Unicode.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/send/BodyStreams.h"
#include "tools/zefmail/send/JisRepertoire.h"
#include "tools/zefmail/send/MimePlan.h"

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

void DefineSend(CLI::App& send, SendOptions& options) {
    AddSmtpOptions(send, options);
    send.add_option("--from", options.from, "Sender (UTF-8, e.g. 'Name <addr>')");
    send.add_option("--to", options.to, "Recipient, in the To field (repeatable)");
    send.add_option("--cc", options.cc, "Recipient, in the Cc field (repeatable)");
    send.add_option("--bcc", options.bcc, "Recipient in no header field (repeatable)");
    CLI::Option* subject = send.add_option("--subject", options.subject, "Subject (UTF-8)");
    send.add_option("--header-file", options.headerFile,
                    "Header lines as they are (UTF-8) instead of --from/--to/--cc/--subject")
        ->excludes(subject);
    send.add_option("--body-file", options.bodyFile,
                    "The text of the message (UTF-8; - for stdin)");
    send.add_option("--attach", options.attach, "A file to attach (repeatable)");
    send.add_option("--html-file", options.htmlFile, "An HTML version of the text (UTF-8)");
    send.add_option("--charset", options.charset,
                    "Charset of the subject, names and text: auto (ISO-2022-JP when all of it "
                    "fits, else UTF-8), utf-8 or iso-2022-jp (refuses what does not fit)")
        ->transform(CLI::IsMember({"auto", "utf-8", "iso-2022-jp"}, CLI::ignore_case))
        ->capture_default_str();
    send.footer(kSendExamples);
}

std::optional<std::string> CheckSend(SendOptions& options, const EnvLookup& env) {
    if (auto error = CheckCommon(options)) {
        return error;
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
    if (auto error = CheckSmtpOptions(options, env)) {
        return error;
    }
    return CheckSendableText(options);
}

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

const CommandRules<SendOptions> kSendRules = {
    {"send", "Send one message through an SMTP server", "send", 2}, DefineSend, CheckSend};

void AddSmtpOptions(CLI::App& command, SendOptions& options) {
    AddCommonOptions(command, options, "Port of the server (default 25; 465 with --tls implicit)");
    command
        .add_option("--auth", options.auth,
                    "Authentication: none, cram-md5, login, plain, scram-sha-256, xoauth2 or "
                    "oauthbearer (the secret is an OAuth 2.0 access token), or auto (the "
                    "strongest the server offers)")
        ->transform(CLI::IsMember({"none", "cram-md5", "login", "plain", "scram-sha-256", "xoauth2",
                                   "oauthbearer", "auto"},
                                  CLI::ignore_case))
        ->capture_default_str();
    command.add_option("--user", options.user, "User name for --auth");
    command.add_option("--hostname", options.hostname,
                       "Name given in HELO/EHLO (default: this host)");
}

std::optional<std::string> CheckSmtpOptions(const SendOptions& options, const EnvLookup& env) {
    if (!options.LogsIn()) {
        return std::nullopt;
    }
    if (options.user.empty()) {
        return "--auth " + options.auth + " needs --user";
    }
    return CheckPassword(
        options, env,
        (options.OAuth() ? "the token for --auth " : "the password for --auth ") + options.auth);
}

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

}  // namespace zef::zefmail
