#include "tools/zefmail/cli/CommonOptions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>

namespace zef::zefmail {

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

void AddCommonOptions(CLI::App& command, CommonOptions& options, const std::string& portHelp) {
    command.add_option("--account", options.account,
                       "A named account of ~/.config/zefmail/config.toml (its settings are the "
                       "defaults)");
    command.add_option("--server", options.server, "Host name or address of the server");
    command.add_option("--port", options.port, portHelp)->check(CLI::Range(1, 65535));
    command
        .add_option("--password-env", options.passwordEnv,
                    "Environment variable that holds the password")
        ->capture_default_str();
    command.add_option("--password-command", options.passwordCommand,
                       "Command that prints the password (its first line is taken)");
    // An account's password_file; not offered on the command line's help.
    command.add_option("--password-file", options.passwordFile)->group("");
    command
        .add_option("--connect-timeout", options.connectTimeout,
                    "Seconds allowed for connecting (0: no limit)")
        ->check(CLI::Range(0L, 86400L * 365))
        ->capture_default_str();
    command
        .add_option("--trans-timeout", options.transTimeout,
                    "Seconds of silence allowed during the dialogue (0: no limit)")
        ->check(CLI::Range(0L, 86400L * 365))
        ->capture_default_str();
    command.add_flag("--trace", options.trace,
                     "Show the dialogue on standard error (passwords as ***)");
    command.add_flag("--quiet", options.quiet, "No progress bar");
    command
        .add_option("--tls", options.tls,
                    "TLS, required: implicit (from the first byte) or starttls (an upgrade "
                    "after the greeting; STLS for POP3); none (the default) for plain TCP")
        ->transform(CLI::IsMember({"implicit", "starttls", "none"}, CLI::ignore_case));
    command.add_option("--ca-file", options.caFile,
                       "PEM file of CAs to trust besides the system's, for --tls");
    command.add_flag("--insecure", options.insecure,
                     "With --tls: accept any server certificate (no check of issuer, dates or "
                     "name)");
}

void KeepLastPasswordSource(CommonOptions& options, const std::vector<std::string>& args) {
    std::string last;
    for (const std::string& arg : args) {
        const std::string name = arg.substr(0, arg.find('='));
        if (name == "--password-env" || name == "--password-command" || name == "--password-file") {
            last = name;
        }
    }
    if (last == "--password-env" || last == "--password-file") {
        options.passwordCommand.clear();
    }
    if (last == "--password-env" || last == "--password-command") {
        options.passwordFile.clear();
    }
}

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

std::optional<std::string> CheckCommon(const CommonOptions& options) {
    if (options.server.empty()) {
        return "--server is required";
    }
    if (options.Security() == 0 && !options.caFile.empty()) {
        return "--ca-file requires --tls";
    }
    if (options.Security() == 0 && options.insecure) {
        return "--insecure requires --tls";
    }
    if (!options.caFile.empty()) {
        return CheckReadableFile("--ca-file", options.caFile);
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

}  // namespace zef::zefmail
