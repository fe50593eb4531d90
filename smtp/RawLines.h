// The RawMessage path: the message bytes as the application hands them over, made safe for the
// DATA phase and nothing more. Pure, no I/O.
#pragma once

#include <string_view>

#include "common/Types.h"

namespace zef::smtp {

// Passes a byte stream, piece by piece, with every line end as CR LF (a lone CR or LF becomes
// CR LF) and a "." at the start of a line doubled. Every other byte, 8-bit ones included, goes
// out as it came. A CR at the end of a piece waits for the next one, which says whether it was
// half of a CR LF.
class RawLines {
  public:
    Bytes Pass(std::string_view piece);
    // What ends the DATA phase: a CR LF when the bytes did not end with a line end, then
    // "." CR LF. A message that ends with CR LF therefore arrives with no line added.
    Bytes Finish();
    void Reset();

  private:
    bool atLineStart_ = true;
    bool pendingCr_ = false;
};

}  // namespace zef::smtp
