// Recognising and unpacking one RFC 2047 encoded word: "=?" charset "?" B or Q "?" text "?=".
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "common/Types.h"

namespace zef::codec {

struct EncodedWord {
    std::size_t begin;         // position of "=?"
    std::size_t end;           // position after "?="
    std::string_view charset;  // as written, without an RFC 2231 language suffix ("*ja")
    Bytes bytes;               // the decoded bytes, still in that charset
};

// The encoded word that starts at text[pos], or nothing when the text there is not one.
// Case is ignored in the encoding letter. The charset and the encoded text may not hold
// white space, control characters or "?", so a stray "=?" never swallows the line.
// B text is decoded as DecodeBase64 does (characters outside the alphabet skipped); in Q
// text "_" is a space and an "=" without two hexadecimal digits stays as it is.
std::optional<EncodedWord> ParseEncodedWord(std::string_view text, std::size_t pos);

}  // namespace zef::codec
