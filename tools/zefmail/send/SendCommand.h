// `zefmail send`: one message through smtpZef.
#pragma once

#include <ostream>

#include "smtp/smtpZef.h"
#include "tools/zefmail/send/SendOptions.h"

namespace zef::zefmail {

// The connection settings of `options` given to the control: port (25 or 465 unless --port),
// time-outs, TLS and its certificate check, and the login with its password (ReadPassword).
void ConfigureConnection(smtpZef& smtp, const SendOptions& options, const EnvLookup& env);

// Sends the message; returns the exit status (0 sent, 3 sent to some recipients only, else
// that of the transfer's verdict). Errors and each refused recipient go to `err`.
int RunSend(const SendOptions& options, const Console& console);

}  // namespace zef::zefmail
