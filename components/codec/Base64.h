// Base64 with the standard alphabet and "=" padding.
#pragma once

#include <string_view>

#include "common/Types.h"

namespace zef::codec {

// The whole input as one line: no line break, whatever its length.
Bytes EncodeBase64(std::string_view data);

// The same, appended to `out`.
void AppendBase64(std::string_view data, Bytes& out);

// Decodes one line (or any run of lines) of base64 text. Tolerant, because it reads what
// other mailers wrote:
// - white space and every character outside the alphabet are skipped;
// - the first "=" ends the data; whatever follows it is ignored;
// - an unfinished last group gives the whole bytes it holds (two characters give one byte,
//   three give two) and a lone character gives nothing.
// So a line of whole four-character groups decodes by itself, and no input is an error.
Bytes DecodeBase64(std::string_view text);

// The same, into `out` (its content replaced, its capacity reused).
void DecodeBase64(std::string_view text, Bytes& out);

}  // namespace zef::codec
