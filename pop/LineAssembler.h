// Cuts the bytes received from the socket into lines.
//
// A line ends at LF; a CR directly before the LF is not part of it, a CR anywhere else is. The
// received bytes are scanned once: each byte is looked at by the LF search one time, and the
// consumed prefix of the buffer is erased once per arrival, so the cost stays linear in the
// number of bytes however they are split into arrivals. A line longer than the limit stops
// the assembly instead of growing the buffer further.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/Types.h"

namespace zef::pop {

class LineAssembler {
  public:
    enum class Result {
        Line,      // `line` holds the next complete line
        NeedMore,  // no complete line is left; the bytes wait for the next arrival
        TooLong,   // a line (complete or still open) exceeds the limit
    };

    explicit LineAssembler(size_t maxLineLength) : maxLineLength_(maxLineLength) {}

    void MaxLineLength(size_t bytes) { maxLineLength_ = bytes; }
    size_t MaxLineLength() const { return maxLineLength_; }

    // Adds received bytes. Views handed out by NextLine before this call become invalid.
    void Append(std::string_view bytes);

    // Takes the next complete line out. The view stays valid until the next Append or Clear.
    Result NextLine(std::string_view& line);

    // Drops everything buffered.
    void Clear();

    // Bytes received but not yet taken out as lines.
    size_t Pending() const { return buffer_.size() - start_; }

  private:
    Bytes buffer_;
    size_t start_ = 0;    // first byte not yet taken out
    size_t scanned_ = 0;  // bytes before this offset are known to hold no LF after start_
    size_t maxLineLength_;
};

}  // namespace zef::pop
