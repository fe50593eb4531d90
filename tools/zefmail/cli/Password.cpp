#include "tools/zefmail/cli/Password.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "tools/zefmail/cli/ToolError.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): posix_spawn wants it

namespace zef::zefmail {

namespace {

// More than any password or token; what a command prints beyond it is not read.
constexpr size_t kMaxSecretBytes = size_t{64} * 1024;

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::string RunPasswordCommand(const std::string& command) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw ToolError(SystemErrorText("cannot run the password command"));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, "/bin/sh", &actions, nullptr,
                                      const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        errno = spawned;
        throw ToolError(SystemErrorText("cannot run the password command"));
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        if (output.size() < kMaxSecretBytes) {
            output.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw ToolError("the password command failed (" +
                        (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                           : std::string("killed by a signal")) +
                        ")");
    }
    std::string password = FirstLine(output);
    if (password.empty()) {
        throw ToolError("the password command printed no password");
    }
    return password;
}

std::string ReadPasswordFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw ToolError(SystemErrorText("cannot read the password file " + path));
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        throw ToolError("the password file " + path +
                        " can be read or changed by others; make it its owner's alone "
                        "(chmod 600)");
    }
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxSecretBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        throw ToolError(SystemErrorText("cannot read the password file " + path));
    }
    text.resize(static_cast<size_t>(in.gcount()));
    return FirstLine(text);
}

}  // namespace

std::string ReadPassword(const CommonOptions& options, const EnvLookup& env) {
    if (!options.passwordCommand.empty()) {
        return RunPasswordCommand(options.passwordCommand);
    }
    if (!options.passwordFile.empty()) {
        return ReadPasswordFile(options.passwordFile);
    }
    if (const std::optional<std::string> value = env(options.passwordEnv)) {
        return *value;
    }
    throw ToolError("the environment variable " + options.passwordEnv + " is not set");
}

bool LooksLikeAccessToken(const std::string& secret) {
    constexpr size_t kTokenLength = 64;
    const bool tokenCharacters =
        !secret.empty() && secret.find_first_not_of(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnop"
                               "qrstuvwxyz0123456789-._~+/=") == std::string::npos;
    const bool jwt =
        secret.starts_with("eyJ") && std::count(secret.begin(), secret.end(), '.') == 2;
    return tokenCharacters && (jwt || secret.size() >= kTokenLength);
}

}  // namespace zef::zefmail
