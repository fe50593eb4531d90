// Walks ISO-2022-JP bytes unit by unit, following the escape sequences that switch between
// the one-byte Roman sets (ASCII, JIS-Roman) and the other sets (two-byte kanji, katakana).
// Header code needs this so that bytes inside a two-byte run (which are often "<", "=" or
// "?") are never mistaken for delimiters.
#pragma once

#include <cstddef>
#include <string_view>

namespace zef::codec {

inline constexpr char kEscape = '\x1B';
inline constexpr std::string_view kAsciiDesignation = "\x1B(B";

// Length of the escape sequence at text[pos] (ESC, intermediate bytes 0x20 to 0x2F, one final
// byte 0x30 to 0x7E), or 0 when no complete escape sequence starts there.
std::size_t EscapeSequenceLength(std::string_view text, std::size_t pos);

// ESC ( B and ESC ( J: after them bytes read as ASCII.
bool IsRomanDesignation(std::string_view escape);

// The first Roman designation in the text (the one its writer uses to leave a kanji run),
// or ESC ( B when there is none.
std::string_view ReturnDesignationOf(std::string_view text);

class Iso2022Scanner {
  public:
    struct Unit {
        std::string_view bytes;
        bool isEscape;  // an escape sequence rather than a character
    };

    explicit Iso2022Scanner(std::string_view text) : text_(text) {}

    bool AtEnd() const { return pos_ >= text_.size(); }
    std::size_t Position() const { return pos_; }
    char Peek() const { return text_[pos_]; }

    // Whether the next byte is read as ASCII (the initial state, or after ESC ( B / ESC ( J).
    bool InRoman() const { return designation_.empty(); }
    // The escape sequence that designated the set now in force; empty while in Roman.
    std::string_view Designation() const { return designation_; }

    // The next escape sequence or character: two bytes in a two-byte set when both are
    // graphic (0x21 to 0x7E), otherwise one byte.
    Unit Next();

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::string_view designation_;
    bool twoByte_ = false;
};

}  // namespace zef::codec
