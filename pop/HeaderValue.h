// Routines that cut header field values: parameter lists of the form name=value separated by
// semicolons, values possibly in double quotes with backslash escapes.
#pragma once

#include <string_view>
#include <vector>

#include "common/Types.h"

namespace zef::pop {

// The text from its first character whose code is above 32 and not 127; "" when there is none.
// Only the start is trimmed.
Text TrimLeadingControls(std::u16string_view text);

// Spaces (and only spaces) removed at both ends.
Text TrimSpaces(std::u16string_view text);

// Cuts `text` (leading controls trimmed first) at each `delimiter` outside double quotes; inside
// quotes a backslash makes the next character ordinary. Pieces keep their quotes and spaces.
// `fields` receives the pieces in order (fields[0] is the first); the result is their count,
// at least 1. `limit` caps the number of pieces: 0 means no cap, 1 keeps the whole text as one
// piece, a cap of n drops everything from the n-th delimiter on. A negative `limit` is set to 0.
// A delimiter that is not exactly one character never matches.
long SplitQuoted(std::u16string_view text, std::u16string_view delimiter, std::vector<Text>& fields,
                 long& limit);

// Drops the double quotes and, inside them, each backslash (keeping the character after it).
Text Unquote(std::u16string_view text);

// One Content-Type parameter cut at the first "=" outside quotes: the name with spaces trimmed,
// the value with spaces trimmed and unquoted, and the number of pieces found (1 or 2).
struct Parameter {
    Text name;
    Text value;
    long pieces = 0;
};
Parameter SplitParameter(std::u16string_view parameter);

// ASCII-only case mapping: header names and MIME tokens are ASCII, and a full Unicode mapping
// would let non-ASCII letters (such as U+017F) pass for ASCII ones.
Text AsciiUpper(std::u16string_view text);
Text AsciiLower(std::u16string_view text);

}  // namespace zef::pop
