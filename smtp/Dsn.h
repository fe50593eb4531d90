// Delivery status notifications (RFC 3461): the checks of the DsnNotify, DsnReturn and
// DsnEnvelopeId properties and the MAIL FROM and RCPT TO parameters they become. No I/O.
#pragma once

#include "common/Types.h"

namespace zef::smtp {

// Error 380 unless the value is "" or NEVER, or SUCCESS, FAILURE and DELAY joined by commas
// (any case).
void CheckDsnNotify(const Text& notify);
// Error 380 unless the value is "", FULL or HDRS (any case).
void CheckDsnReturn(const Text& ret);
// Error 380 unless the value is printable ASCII (spaces allowed) of at most 100 characters.
void CheckDsnEnvelopeId(const Text& envelopeId);

// " RET=... ENVID=..." for MAIL FROM, each only when set; ENVID as xtext.
Text DsnMailParameters(const Text& ret, const Text& envelopeId);
// " NOTIFY=..." for each RCPT TO, or "" when not set.
Text DsnRcptParameters(const Text& notify);

// RFC 3461 xtext: "+", "=" and characters outside "!" to "~" as "+" and two hex digits.
Text XText(const Text& text);

}  // namespace zef::smtp
