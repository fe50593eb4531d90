// Decoding of named charsets, for the MIME encoded words of received header text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zef::charsets {

// Decodes bytes in the named charset (a MIME charset name, any case) to UTF-8.
// std::nullopt when the charset is unknown to the converter. Invalid bytes become U+FFFD.
//
// The Japanese charsets are read generously, as mailers write them: "iso-2022-jp" and its
// variants as the CP50220 superset (NEC rows, half-width katakana, with 8-bit runs
// recognised as UTF-8, Shift_JIS or EUC-JP); "shift_jis", "sjis", "cp932", "windows-31j"
// and their aliases as CP932; "euc-jp" with the NEC rows. "us-ascii" text that is not
// ASCII is read like "iso-2022-jp". Every other name goes to ICU.
std::optional<std::string> ToUtf8(std::string_view charset, std::string_view bytes);

}  // namespace zef::charsets
