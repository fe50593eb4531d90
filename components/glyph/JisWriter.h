// Text to ISO-2022-JP, as sent mail carries it.
//
// ASCII characters (CR and LF included) are written as the same single bytes; every other
// character that JIS X 0208 or the NEC rows 13 and 89-92 hold is written as its two-byte code
// after ESC and the kanji-in designation, and before the next ASCII character and at the end
// of the text the kanji-out designation returns to the one-byte set, so every line ends in it.
// U+FF5E FULLWIDTH TILDE, U+2225, U+FF0D, U+FFE0, U+FFE1 and U+FFE2 are written as the codes
// CP932 reads them from (0x2141 for U+FF5E, the code of U+301C WAVE DASH); IBM extension
// kanji such as U+9AD9 as their NEC-selected codes in rows 89-92.
//
// A run of characters outside that repertoire is replaced by its compatibility form (Unicode
// NFKC), which turns half-width katakana into full-width katakana (with the voiced marks
// joined: "ｶﾞ" becomes "ガ"), and ligatures, full-width and styled letters into their plain
// forms. What is still outside the repertoire after that becomes "?", one per code point;
// a stray combining voiced mark becomes the spacing mark (゛ or ゜).
#pragma once

#include <string>
#include <string_view>

#include "common/Types.h"

namespace zef::glyph {

class JisWriter {
  public:
    JisWriter();

    // The characters after ESC that designate the two-byte set and the one-byte set.
    void KanjiIn(std::string_view designation) { kanjiIn_ = "\x1B" + std::string(designation); }
    void KanjiOut(std::string_view designation) { kanjiOut_ = "\x1B" + std::string(designation); }

    // Appends the ISO-2022-JP form of the text to `out`; starts and ends in the one-byte set.
    void Write(std::u16string_view text, Bytes& out) const;

  private:
    class Run;
    void WriteOutsideRepertoire(std::u16string_view text, Run& run) const;

    std::string kanjiIn_;
    std::string kanjiOut_;
};

}  // namespace zef::glyph
