// Quoted-printable of RFC 2045, as body pieces are sent and as received lines are read.
#pragma once

#include <string_view>

#include "common/Types.h"

namespace zef::codec {

// Encodes one piece of body data into text that can go on the wire as it stands:
// - CR LF in the data is a hard line break; a lone CR or LF is encoded (=0D, =0A);
// - "=", control characters and bytes above 126 are encoded; so is a space or tab that
//   would end a line, and a "." that would begin one (=2E), so no line needs dot-stuffing;
// - lines are at most 76 characters, broken by soft line breaks ("=" CR LF);
// - a piece that does not end with CR LF ends with a soft line break, so the next piece
//   starts on a new line and the decoded bytes are exactly the pieces one after another.
// An empty piece gives empty text.
Bytes EncodeQuotedPrintable(std::string_view data);

// Decodes quoted-printable text, normally one received line followed by CR LF:
// - white space at the end of a line is removed (it may have been added in transit);
// - a line that then ends in "=" is a soft line break and gives no CR LF; any other line
//   ended by CR LF keeps it; text after the last CR LF gets no line break;
// - "=" with two hexadecimal digits (either case) gives that byte;
// - an "=" that is not followed by two hexadecimal digits stays as it is, literally, and so
//   does every other character (a bare CR or LF included), so no input is an error.
Bytes DecodeQuotedPrintable(std::string_view text);

// The same, into `out` (its content replaced, its capacity reused).
void DecodeQuotedPrintable(std::string_view text, Bytes& out);

}  // namespace zef::codec
