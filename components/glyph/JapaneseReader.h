// The generous reader of received Japanese text: ISO-2022-JP read as the superset Japanese
// mailers write (the CP50220 family), with whatever stands outside the escape runs read as
// UTF-8, Shift_JIS/CP932 or EUC-JP as its bytes show.
//
// Escape sequences understood: ESC ( B and ESC ( J (both read as ASCII, so that ASCII bytes
// always stand for themselves), ESC ( H (an old form of the same), ESC ( I (JIS X 0201
// half-width katakana), ESC $ @, ESC $ B, ESC $ ( @, ESC $ ( B, ESC $ ( Q, ESC $ ( O (all read
// as JIS X 0208 with the NEC rows 13 and 89-92), ESC $ ( D (JIS X 0212), from ISO-2022-JP-2
// ESC $ A and ESC $ ( A (GB 2312) and ESC $ ( C (KS C 5601), and the prefix ESC & @, which is
// skipped. SO and SI switch half-width katakana on and off. Any other ESC
// is kept as the character U+001B. CR and LF end a two-byte or katakana run, as they do in
// mail where every line returns to ASCII. Bytes of 0x80 and above, inside or outside the
// escape runs, go to the 8-bit detection. Codes that are not assigned become U+FFFD.
#pragma once

#include <string_view>

#include "common/Types.h"
#include "components/glyph/Detection.h"
#include "components/glyph/JisTables.h"

namespace zef::glyph {

class JapaneseReader {
  public:
    explicit JapaneseReader(Flavour flavour = Flavour::kJis) : flavour_(flavour) {}

    // Appends the text of `bytes` to `out` and returns how many bytes it used: all of them when
    // `atEnd`, otherwise all but an incomplete escape sequence, two-byte code or multibyte
    // sequence at the very end. The shift state carries over to the next call.
    size_t Read(std::string_view bytes, bool atEnd, Text& out);

    // Back to ASCII, as at the start of a line.
    void ResetShift() { set_ = Set::kAscii, shiftedOut_ = false; }

    // True when the reader is in ASCII, as at the start of a line.
    bool InAscii() const { return set_ == Set::kAscii && !shiftedOut_; }

    void UseFlavour(Flavour flavour) { flavour_ = flavour; }
    const StickyDetector& Detector() const { return detector_; }

    // True when the bytes hold nothing this reader would change: no byte of 0x80 or above and
    // none of ESC, SO and SI.
    static bool IsPlainAscii(std::string_view bytes);

  private:
    enum class Set : uint8_t { kAscii, kJis0208, kJis0212, kGb2312, kKsc5601, kKana };

    // The character of a pair in the two-byte set in force; 0 where unassigned.
    char16_t TwoByteUnit(int row, int cell) const;

    size_t ReadEightBit(std::string_view bytes, bool complete, Text& out);
    size_t ReadEscape(std::string_view bytes, bool atEnd, Text& out);
    size_t ReadTwoByteRun(std::string_view bytes, Text& out);
    size_t ReadShifted(std::string_view bytes, bool atEnd, Text& out);

    Flavour flavour_;
    Set set_ = Set::kAscii;
    bool shiftedOut_ = false;
    StickyDetector detector_;
};

}  // namespace zef::glyph
