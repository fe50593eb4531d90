// The options of `zefmail send`.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/zefmail/cli/CommandLine.h"

namespace zef::zefmail {

struct SendOptions : CommonOptions {
    std::string from;
    std::vector<std::string> to;
    std::vector<std::string> cc;
    std::vector<std::string> bcc;
    std::string subject;
    std::string headerFile;
    std::string bodyFile;  // "-": standard input
    std::vector<std::string> attach;
    std::string htmlFile;
    std::string auth = "none";
    std::string user;
    std::string hostname;
    // auto, utf-8 or iso-2022-jp; after CheckSendableText, auto is resolved to one of the
    // other two.
    std::string charset = "auto";

    bool Multipart() const { return !attach.empty() || !htmlFile.empty(); }
    // smtpZef's Auth value: 0 none, 1 CRAM-MD5, 2 LOGIN, 3 PLAIN.
    long AuthMechanism() const;
    // smtpZef's SaslMechanism: "XOAUTH2", "OAUTHBEARER", "SCRAM-SHA-256" or "".
    std::string SaslMechanism() const;
    bool AutoAuth() const { return auth == "auto"; }
    bool OAuth() const { return auth == "xoauth2" || auth == "oauthbearer"; }
    bool LogsIn() const { return auth != "none"; }
};

extern const CommandRules<SendOptions> kSendRules;

// The options that say how to reach and log in to an SMTP server, which sendmail shares:
// the common ones, --auth, --user and --hostname.
void AddSmtpOptions(CLI::App& command, SendOptions& options);

// Checks of those options beyond the syntax: a user and a password source for a login.
std::optional<std::string> CheckSmtpOptions(const SendOptions& options, const EnvLookup& env);

// Every option value and the body and HTML files must be UTF-8. Then the charset: "auto"
// becomes iso-2022-jp when every character of the header values, file names and text body
// fits it, else utf-8 (a body on standard input, unknown before it is sent, makes it utf-8).
// With an explicit iso-2022-jp, text that would arrive as "?" is refused; a body read from
// standard input is checked while it is sent (see SendCommand).
std::optional<std::string> CheckSendableText(SendOptions& options);

}  // namespace zef::zefmail
