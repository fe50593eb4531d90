// Named accounts from zefmail's configuration file, so that cron lines and mail readers'
// settings need no more than `--account NAME`:
//
//     default = "work"
//     [accounts.work]
//     server = "mail.example.jp"
//     tls = "starttls"
//     user = "taro"
//     password_command = "secret-tool lookup zefmail work"
//     [accounts.work.send]          # what differs for sending
//     port = 587
//     auth = "login"
//     from = "Taro <taro@example.jp>"
//
// The file is $XDG_CONFIG_HOME/zefmail/config.toml ($HOME/.config/... without it). An account
// does not set options itself: it yields arguments (`port = 587` is `--port 587`, `apop = true`
// is `--apop=true`) that go before the command line's and are read by the same rules, so the
// command line's own options win.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/zefmail/cli/Console.h"

namespace zef::zefmail {

// Arguments that come from somewhere other than the command line, with a label for errors.
struct ArgumentSource {
    std::string label;  // "FILE, account NAME", or an environment variable's name
    std::vector<std::string> args;
};

// The configuration file's path from the environment; "" when neither variable is set.
std::string ConfigFilePath(const EnvLookup& env);

// The value of `--account NAME` or `--account=NAME` among the words; "" without one.
std::string AccountArgument(const std::vector<std::string>& args);

// The arguments of the account named `wanted` (the file's default when empty) for the table
// `command` ("send" or "fetch"): the account's own keys, then those of its command table.
// `takes(option, value)` says whether the command has a use for a setting; one it has none for
// is left out (`from` for fetch). Nothing when `wanted` is empty and the file does not exist or
// names no default. Throws ToolError naming the file and the key for a file that cannot be read, a
// key no command knows, a value that is no string, number or Boolean, or an account that is
// missing.
using AccountFilter = std::function<bool(const std::string& option, const std::string& value)>;
std::optional<ArgumentSource> AccountArguments(const std::string& path, const std::string& wanted,
                                               const std::string& command,
                                               const AccountFilter& takes);

// The accounts of the file in the order it names them. Throws ToolError for a file that is
// missing, cannot be read or names no account.
std::vector<std::string> AccountNames(const std::string& path);

// One account's turn of a command run for several: its name, and the words to read for it.
struct AccountRun {
    std::string account;
    std::vector<std::string> args;  // --account NAME, then the command line's other words
};

// The turns a command line asks for: every account of the file for --all-accounts, or each
// `--account NAME` when it is given more than once, in the order given. Empty for at most one
// --account (and for --help): the command line then runs as it is. Throws ToolError for
// --all-accounts with a value or with --account, and as AccountNames does.
std::vector<AccountRun> SeveralAccounts(const std::vector<std::string>& args,
                                        const std::string& path);

}  // namespace zef::zefmail
