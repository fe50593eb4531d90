// The command line of zefmail: `zefmail send ...` and `zefmail fetch ...`.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zef::zefmail {

struct CommonOptions {
    std::string account;  // read before the other options, whose defaults it sets
    std::string server;
    int port = 0;  // 0: the protocol's port (25 or 110)
    std::string passwordEnv = "ZEFMAIL_PASSWORD";
    std::string passwordCommand;  // chosen before the file and the variable when set
    std::string passwordFile;     // from an account only
    long connectTimeout = 30;     // seconds; 0 means no limit
    long transTimeout = 120;
    bool trace = false;
    bool quiet = false;
    std::string tls;     // "" none, "implicit" or "starttls" (STLS for fetch)
    std::string caFile;  // further trusted CAs for the certificate check
    bool insecure = false;

    // The controls' Security value: 0 none, 1 implicit TLS, 2 STARTTLS/STLS.
    long Security() const;
    // The port used: --port, or the protocol's port for the TLS mode (`plainPort` without TLS
    // or with STARTTLS, `implicitTlsPort` with implicit TLS).
    int PortOr(int plainPort, int implicitTlsPort) const;
};

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

struct FetchOptions : CommonOptions {
    std::string user;
    bool apop = false;
    // "" (USER/PASS or --apop), plain, scram-sha-256, xoauth2, oauthbearer (the secret is a
    // token) or auto (the strongest the server offers for a password).
    std::string auth;
    long topLines = -1;  // -1: no TOP
    bool keep = false;
    long keepDays = -1;  // -1: kept for good with --keep; N: deleted N days after being saved
    bool deleteOnError = false;
    bool noPipelining = false;
    std::string out;
    std::string maildir;  // --maildir: raw messages into a Maildir
    std::string mbox;     // --mbox: raw messages appended to an mbox file
    bool crlf = false;    // lines of --maildir and --mbox end in CR LF instead of LF
    bool events = false;
    bool text = false;
};

struct Command {
    enum class Kind { kSend, kFetch } kind = Kind::kSend;
    SendOptions send;
    FetchOptions fetch;
};

// Looks up an environment variable; std::nullopt when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const std::string&)>;
EnvLookup ProcessEnvironment();

// Outcome of reading the command line.
struct ParseOutcome {
    std::optional<Command> command;  // set when the command should run
    int exitCode = 0;                // otherwise: 0 after --help, 2 after an error
};

// Parses and checks the arguments. Help goes to `out`; an error is one line on `err`.
ParseOutcome ParseCommandLine(const std::vector<std::string>& args, std::ostream& out,
                              std::ostream& err, const EnvLookup& env);

// Checks that go beyond the syntax: files that exist, a sender and recipients, a password in
// the environment. Returns the error message, or std::nullopt.
std::optional<std::string> CheckSend(const SendOptions& options, const EnvLookup& env);
std::optional<std::string> CheckFetch(const FetchOptions& options, const EnvLookup& env);

// Every option value and the body and HTML files must be UTF-8. Then the charset: "auto"
// becomes iso-2022-jp when every character of the header values, file names and text body
// fits it, else utf-8 (a body on standard input, unknown before it is sent, makes it utf-8).
// With an explicit iso-2022-jp, text that would arrive as "?" is refused; a body read from
// standard input is checked while it is sent (see SendCommand).
std::optional<std::string> CheckSendableText(SendOptions& options);

}  // namespace zef::zefmail
