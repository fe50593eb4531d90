// Decoding of named charsets, for the MIME encoded words of received header text.
#pragma once

#include <memory>
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

// The text of one received part read by its declared charset, piece by piece, as Japanese
// desktop mail reads it: JIS X 0208 codes by the code page 932 mappings (0x2141 is U+FF5E),
// with the NEC and IBM extensions. The declaration decides: "shift_jis" and its aliases are
// read as CP932, "euc-jp" and its aliases as EUC-JP, "utf-8" as UTF-8, any other name ICU
// knows by ICU. Guessing is left for text that declares no charset, an unknown one, or
// "iso-2022-jp" or "us-ascii" (which allow no 8-bit byte): escape sequences are followed, and
// runs of 8-bit bytes read as the UTF-8, Shift_JIS or EUC-JP their bytes show. Invalid bytes
// become U+FFFD. Memory stays flat: only an incomplete character waits between pieces.
class PartTextReader {
  public:
    explicit PartTextReader(std::string_view charset);
    ~PartTextReader();
    PartTextReader(const PartTextReader&) = delete;
    PartTextReader& operator=(const PartTextReader&) = delete;

    // UTF-8 of the bytes given so far; an incomplete character at the end waits for the next
    // piece (or for Finish, which reads whatever is left).
    std::string Feed(std::string_view bytes);
    std::string Finish();

  private:
    struct State;
    std::string Read(std::string_view bytes, bool atEnd);
    std::unique_ptr<State> state_;
};

}  // namespace zef::charsets
