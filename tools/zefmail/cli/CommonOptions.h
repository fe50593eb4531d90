// The options every command shares: the server, the password's source, time-outs, TLS.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/zefmail/cli/Console.h"

namespace CLI {
class App;
}

namespace zef::zefmail {

struct CommonOptions {
    std::string account;  // its settings come before the command line's (see AccountFile)
    std::string server;
    int port = 0;  // 0: the protocol's port (25 or 110)
    std::string passwordEnv = "ZEFMAIL_PASSWORD";
    std::string passwordCommand;  // chosen before the file and the variable when set
    std::string passwordFile;     // chosen before the variable when set
    long connectTimeout = 30;     // seconds; 0 means no limit
    long transTimeout = 120;
    bool trace = false;
    bool quiet = false;
    std::string tls;     // "" or "none", "implicit" or "starttls" (STLS for fetch)
    std::string caFile;  // further trusted CAs for the certificate check
    bool insecure = false;

    // The controls' Security value: 0 none, 1 implicit TLS, 2 STARTTLS/STLS.
    long Security() const;
    // The port used: --port, or the protocol's port for the TLS mode (`plainPort` without TLS
    // or with STARTTLS, `implicitTlsPort` with implicit TLS).
    int PortOr(int plainPort, int implicitTlsPort) const;
};

// Defines the shared options on `command`.
void AddCommonOptions(CLI::App& command, CommonOptions& options, const std::string& portHelp);

// Of --password-env, --password-command and --password-file, the one named last wins: an
// account may name one source and the command line another.
void KeepLastPasswordSource(CommonOptions& options, const std::vector<std::string>& args);

// The checks every command makes before connecting: a server, a readable --ca-file, TLS for
// --ca-file and --insecure. The error message, or std::nullopt.
std::optional<std::string> CheckCommon(const CommonOptions& options);

// The password's source is usable: a command or file (read when needed), or a variable that
// is set. `purpose` says in the message what the password is for.
std::optional<std::string> CheckPassword(const CommonOptions& options, const EnvLookup& env,
                                         const std::string& purpose);

// "OPTION PATH: reason" for a path that is not a readable regular file.
std::optional<std::string> CheckReadableFile(const std::string& option, const std::string& path);

}  // namespace zef::zefmail
