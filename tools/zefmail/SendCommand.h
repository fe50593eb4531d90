// `zefmail send`: one message through smtpZef.
#pragma once

#include <ostream>
#include <string>

#include "smtp/smtpZef.h"
#include "tools/zefmail/Options.h"

namespace zef::zefmail {

// The connection settings of `options` given to the control: port (25 or 465 unless --port),
// time-outs, TLS and its certificate check, and the login with its password (ReadPassword).
void ConfigureConnection(smtpZef& smtp, const SendOptions& options, const EnvLookup& env);

// The exit status of a send that ended with Done(doneCode, doneMessage): 0 sent, 4 a failure
// that may pass (a 4xx reply, a time-out, an unreachable server), 1 any other failure.
int SendExitStatus(long doneCode, const std::string& doneMessage, bool reachedServer);

// Sends the message; returns the exit status (0 when Done carried 0 and no recipient was
// refused, 3 when some were). Errors and each refused recipient go to `err`.
int RunSend(const SendOptions& options, const EnvLookup& env, std::ostream& err);

}  // namespace zef::zefmail
