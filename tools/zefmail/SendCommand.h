// `zefmail send`: one message through smtpZef.
#pragma once

#include <ostream>

#include "tools/zefmail/Options.h"

namespace zef::zefmail {

// Sends the message; returns the exit status (0 when Done carried 0). Errors go to `err`.
int RunSend(const SendOptions& options, const EnvLookup& env, std::ostream& err);

}  // namespace zef::zefmail
