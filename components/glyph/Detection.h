// Recognises which 8-bit encoding a stretch of Japanese text uses, from its bytes alone.
//
// Each candidate (UTF-8, Shift_JIS/CP932, EUC-JP) is checked for validity; for the two
// Japanese encodings a code must also be assigned (and not in CP932's user-defined area),
// which EUC-JP text read as Shift_JIS seldom manages. A stretch that is valid in exactly one
// of them, or valid UTF-8 with a three- or four-byte sequence, is a certain signal. Short
// stretches are often valid in several (EUC-JP hiragana are valid Shift_JIS half-width
// katakana; a lone EUC-JP kanji can be a valid two-byte UTF-8 letter): then the last certain
// decision of the same reader wins, and without one the likelier reading for Japanese mail
// (EUC-JP over Shift_JIS half-width katakana; Latin letters in UTF-8 only when they stand
// alone between ASCII bytes). A stretch valid in none is read in the encoding with the
// fewest errors.
#pragma once

#include <cstdint>
#include <string_view>

namespace zef::glyph {

enum class EightBit : uint8_t { kUnknown, kUtf8, kCp932, kEucJp };

struct Detection {
    EightBit encoding;
    bool certain;
};

// `atEnd` false means more bytes may follow, so an incomplete sequence at the end is no error.
Detection DetectEightBit(std::string_view bytes, bool atEnd, EightBit sticky);

// Remembers the last certain decision of one reader.
class StickyDetector {
  public:
    EightBit Detect(std::string_view bytes, bool atEnd) {
        const Detection detection = DetectEightBit(bytes, atEnd, sticky_);
        if (detection.certain) {
            sticky_ = detection.encoding;
        }
        return detection.encoding;
    }
    EightBit Sticky() const { return sticky_; }
    void Reset() { sticky_ = EightBit::kUnknown; }

  private:
    EightBit sticky_ = EightBit::kUnknown;
};

}  // namespace zef::glyph
