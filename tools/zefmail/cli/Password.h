// Where the password of a login comes from: a command that prints it (a keyring lookup, a
// token helper), a file only its owner can read, or an environment variable.
#pragma once

#include <string>

#include "tools/zefmail/cli/CommonOptions.h"

namespace zef::zefmail {

// The password: the first line printed by `passwordCommand` (run with /bin/sh -c) when set,
// else the first line of `passwordFile` when set, else the variable `passwordEnv`. Throws
// ToolError for a command that fails or prints nothing, a file that others can read, or a
// variable that is not set; the message never holds what the command printed.
std::string ReadPassword(const CommonOptions& options, const EnvLookup& env);

// An OAuth 2.0 access token rather than a password, for --auth auto: a JWT (three base64url
// parts) or a long run of the characters tokens are made of.
bool LooksLikeAccessToken(const std::string& secret);

}  // namespace zef::zefmail
