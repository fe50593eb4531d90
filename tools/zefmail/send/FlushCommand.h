// `zefmail flush DIR`: every message of a queue that `zefmail sendmail --queue DIR` filled (or
// that was put there by hand) sent over one session, pipelined where the server offers it.
#pragma once

#include "tools/zefmail/send/SendmailCommand.h"

namespace zef::zefmail {

struct FlushOptions : SendmailOptions {  // the queue's folder in `queue`
    bool events = false;                 // one JSON line per message on standard output
};

extern const CommandRules<FlushOptions> kFlushRules;

// Sends the queue. A message the server took leaves it; one refused for good, or a file that
// is no message, moves to failed/ with its reason; one that failed for now stays. The exit
// status is the worst outcome (sysexits.h): a permanent one before EX_TEMPFAIL before 0.
int RunFlush(const FlushOptions& options, const Console& console);

}  // namespace zef::zefmail
