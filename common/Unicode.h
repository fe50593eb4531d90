// Conversions between UTF-8, UTF-16 text and UTF-16LE byte arrays.
#pragma once

#include <string>
#include <string_view>

#include "common/Types.h"

namespace zef {

// UTF-8 to text; invalid sequences become U+FFFD.
Text Utf8ToText(std::string_view utf8);

// Text to UTF-8; a lone surrogate becomes U+FFFD.
std::string TextToUtf8(std::u16string_view text);

// The byte-array form of text used by the body events: two bytes per code unit, little-endian.
Bytes TextToUtf16Le(std::u16string_view text);

// Valid UTF-8 to UTF-16LE bytes, written straight into `out` (replacing it), with a fast path
// for runs of ASCII. False at the first byte that does not begin a valid sequence (`out` then
// holds nothing of use): the caller converts that input the general way, which substitutes
// U+FFFD.
bool Utf8ToUtf16Le(std::string_view utf8, Bytes& out);

// Appends the UTF-16LE bytes of the text to `out`.
void AppendUtf16Le(std::u16string_view text, Bytes& out);

// The reverse of TextToUtf16Le; an odd trailing byte is ignored.
Text Utf16LeToText(std::string_view bytes);

// Where the first byte that is not part of a valid UTF-8 sequence stands (an overlong form, a
// surrogate, a sequence cut short at the end), or npos when all of the bytes are UTF-8.
size_t FirstInvalidUtf8(std::string_view bytes);

// Shorthand for ASCII literals in code and tests: u"..." works too, this reads better in
// concatenations with std::string values.
inline Text AsciiToText(std::string_view ascii) {
    return Text(ascii.begin(), ascii.end());
}

}  // namespace zef
