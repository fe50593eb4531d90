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
// The file is $XDG_CONFIG_HOME/zefmail/config.toml ($HOME/.config/... without it). An
// account's values are defaults: options on the command line win.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/zefmail/Options.h"

namespace zef::zefmail {

// The configuration file's path from the environment; "" when neither variable is set.
std::string ConfigFilePath(const EnvLookup& env);

// The account named `wanted` (or the file's default when `wanted` is empty) applied to the
// options of `command` ("send" or "fetch"). Nothing happens when `wanted` is empty and the file
// does not exist or names no default. Throws ToolError naming the file and the key for a file
// that cannot be read, a key or value it does not know, or an account that is not there.
void ApplyAccount(const std::string& path, const std::string& wanted, const std::string& command,
                  SendOptions& send, FetchOptions& fetch);

// The value of `--account NAME` or `--account=NAME` among the words; "" without one.
std::string AccountArgument(const std::vector<std::string>& args);

}  // namespace zef::zefmail
