// Decoders for the three 8-bit encodings of Japanese mail. Each appends the text of `bytes`
// to `out` and returns how many bytes it used: all of them when `atEnd`, otherwise all but an
// incomplete multibyte sequence at the very end, which the caller keeps for its next call.
// Invalid bytes become U+FFFD; ASCII bytes always stand for themselves.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/Types.h"
#include "components/glyph/JisTables.h"

namespace zef::glyph {

inline constexpr char16_t kReplacement = 0xFFFD;

size_t DecodeUtf8(std::string_view bytes, bool atEnd, Text& out);

// Shift_JIS as CP932 reads it: single-byte half-width katakana 0xA1-0xDF, double-byte rows
// 1-120 (NEC row 13, NEC-selected IBM rows 89-92, user-defined area, IBM extensions).
size_t DecodeCp932(std::string_view bytes, bool atEnd, Text& out);

// EUC-JP: JIS X 0208 with the NEC rows, half-width katakana after 0x8E, JIS X 0212 with the
// eucJP-ms IBM extensions after 0x8F.
size_t DecodeEucJp(std::string_view bytes, bool atEnd, Flavour flavour, Text& out);

// Appends the bytes below 0x80 as they stand (widening each byte to one unit).
void AppendAscii(std::string_view bytes, Text& out);

// The length of the run of bytes below 0x80 at the start of `bytes`.
size_t AsciiPrefix(std::string_view bytes);

}  // namespace zef::glyph
