// `zefmail fetch`: one POP3 mailbox through popZef.
#pragma once

#include <ostream>

#include "tools/zefmail/fetch/FetchOptions.h"

namespace zef::zefmail {

// Reads the mailbox; returns the exit status (0 when Done carried 0 and every message that was
// to be written was written). Events go to `out`, errors and the summary to `err`.
int RunFetch(const FetchOptions& options, const Console& console);

}  // namespace zef::zefmail
