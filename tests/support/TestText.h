// Text helpers shared by every test: UTF-8 literals to Text and back, UTF-16LE byte arrays,
// bytes spelled out readably, and wire text cut into lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/Types.h"
#include "common/Unicode.h"

namespace zef::test {

inline Text T(std::string_view utf8) {
    return Utf8ToText(utf8);
}
inline std::string U(std::u16string_view text) {
    return TextToUtf8(text);
}
// The byte-array form of a text (UTF-16LE), as MoreData, MimeBody and MimeDataNext carry it.
inline Bytes Utf16(std::string_view utf8) {
    return TextToUtf16Le(T(utf8));
}

// CR, LF, tab, backslash and bytes outside printable ASCII spelled out (\r, \n, \t, \\, \xNN).
std::string Escaped(std::string_view bytes);

// The lines of wire text, split at CR LF; text after the last CR LF counts as a line too.
std::vector<Bytes> Lines(std::string_view text);

}  // namespace zef::test
