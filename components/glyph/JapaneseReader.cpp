#include "components/glyph/JapaneseReader.h"

#include <cstring>
#include <optional>

#include "components/glyph/ByteDecoders.h"

namespace zef::glyph {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kShiftOut = 0x0E;
constexpr uint8_t kShiftIn = 0x0F;

uint8_t At(std::string_view bytes, size_t i) {
    return static_cast<uint8_t>(bytes[i]);
}

bool IsSpecial(uint8_t byte) {
    return byte == kEsc || byte == kShiftOut || byte == kShiftIn;
}

bool IsLineEnd(uint8_t byte) {
    return byte == '\r' || byte == '\n';
}

// What an escape sequence at the start of the bytes does.
struct Escape {
    enum Kind : uint8_t { kUnknown, kIncomplete, kDesignate, kSkip } kind;
    size_t length;
    uint8_t final;  // the designation's final byte, for kDesignate
    bool twoByte;
};

Escape ParseEscape(std::string_view bytes) {
    if (bytes.size() < 2)
        return {Escape::kIncomplete, 0, 0, false};
    const uint8_t first = At(bytes, 1);
    if (first == '(' || first == '&') {
        if (bytes.size() < 3)
            return {Escape::kIncomplete, 0, 0, false};
        if (first == '&') {
            return At(bytes, 2) == '@' ? Escape{Escape::kSkip, 3, 0, false}
                                       : Escape{Escape::kUnknown, 0, 0, false};
        }
        return {Escape::kDesignate, 3, At(bytes, 2), false};
    }
    if (first != '$')
        return {Escape::kUnknown, 0, 0, false};
    if (bytes.size() < 3)
        return {Escape::kIncomplete, 0, 0, false};
    if (At(bytes, 2) != '(')
        return {Escape::kDesignate, 3, At(bytes, 2), true};
    if (bytes.size() < 4)
        return {Escape::kIncomplete, 0, 0, false};
    return {Escape::kDesignate, 4, At(bytes, 3), true};
}

}  // namespace

bool JapaneseReader::IsPlainAscii(std::string_view bytes) {
    // Eight bytes at a time: nearly every line of mail is plain, and this runs on each of them.
    // A word is plain when no byte has its top bit set and none equals ESC, or SO or SI (the
    // two differ in their lowest bit only); "some byte is zero" is the usual bit trick.
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kTops = 0x8080808080808080ULL;
    auto hasZeroByte = [](uint64_t v) { return ((v - kOnes) & ~v & kTops) != 0; };
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes.data() + i, sizeof word);
        if ((word & kTops) != 0 || hasZeroByte(word ^ (kOnes * kEsc)) ||
            hasZeroByte((word | kOnes) ^ (kOnes * kShiftIn))) {
            return false;
        }
    }
    for (; i < bytes.size(); ++i) {
        const uint8_t byte = At(bytes, i);
        if (byte >= 0x80 || IsSpecial(byte)) {
            return false;
        }
    }
    return true;
}

size_t JapaneseReader::Read(std::string_view bytes, bool atEnd, Text& out) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const uint8_t byte = At(bytes, i);
        size_t used = 0;
        if (byte == kEsc) {
            used = ReadEscape(bytes.substr(i), atEnd, out);
        } else if (byte == kShiftOut || byte == kShiftIn) {
            shiftedOut_ = byte == kShiftOut;
            used = 1;
        } else if (byte >= 0x80) {
            // A stretch outside the escape runs, or 8-bit bytes inside one: up to the next
            // escape, or to the next ASCII byte inside a two-byte run.
            size_t end = i;
            const bool plain = set_ == Set::kAscii && !shiftedOut_;
            while (end < n && !IsSpecial(At(bytes, end)) && (plain || At(bytes, end) >= 0x80)) {
                ++end;
            }
            used = ReadEightBit(bytes.substr(i, end - i), atEnd || end < n, out);
            if (used < end - i) {
                return i + used;  // an incomplete sequence at the end, kept for the next call
            }
        } else if (set_ == Set::kAscii && !shiftedOut_) {
            size_t end = i;
            while (end < n && At(bytes, end) < 0x80 && !IsSpecial(At(bytes, end))) {
                ++end;
            }
            AppendAscii(bytes.substr(i, end - i), out);
            used = end - i;
        } else {
            used = ReadTwoByteRun(bytes.substr(i), out);
            if (used == 0) {
                used = ReadShifted(bytes.substr(i), atEnd, out);
            }
        }
        if (used == 0) {
            break;  // an incomplete sequence at the end, kept for the next call
        }
        i += used;
    }
    return i;
}

size_t JapaneseReader::ReadEightBit(std::string_view bytes, bool complete, Text& out) {
    switch (detector_.Detect(bytes, complete)) {
        case EightBit::kCp932:
            return DecodeCp932(bytes, complete, out);
        case EightBit::kEucJp:
            return DecodeEucJp(bytes, complete, flavour_, out);
        case EightBit::kUtf8:
        case EightBit::kUnknown:
            break;
    }
    return DecodeUtf8(bytes, complete, out);
}

size_t JapaneseReader::ReadEscape(std::string_view bytes, bool atEnd, Text& out) {
    Escape escape = ParseEscape(bytes);
    if (escape.kind == Escape::kIncomplete) {
        if (!atEnd) {
            return 0;
        }
        escape.kind = Escape::kUnknown;
    }
    if (escape.kind == Escape::kDesignate) {
        std::optional<Set> set;
        if (!escape.twoByte) {
            switch (escape.final) {
                case 'B':
                case 'J':
                case 'H':
                    set = Set::kAscii;
                    break;
                case 'I':
                    set = Set::kKana;
                    break;
                default:
                    break;
            }
        } else {
            switch (escape.final) {
                case '@':
                case 'B':
                case 'Q':
                case 'O':
                    set = Set::kJis0208;
                    break;
                case 'D':
                    if (escape.length == 4)
                        set = Set::kJis0212;
                    break;
                case 'A':
                    set = Set::kGb2312;
                    break;
                case 'C':
                    if (escape.length == 4)
                        set = Set::kKsc5601;
                    break;
                default:
                    break;
            }
        }
        if (set) {
            set_ = *set;
            return escape.length;
        }
        escape.kind = Escape::kUnknown;
    }
    if (escape.kind == Escape::kSkip) {
        return escape.length;
    }
    out.push_back(kEsc);
    return 1;
}

// The whole pairs of printable bytes at the start of a two-byte run, in one pass: what
// ReadShifted would do pair by pair, without a call and a capacity check per character.
// Returns the bytes used; 0 when the run does not begin with such a pair (or the set is not a
// two-byte one), and ReadShifted takes the next step.
size_t JapaneseReader::ReadTwoByteRun(std::string_view bytes, Text& out) {
    if (shiftedOut_ || set_ == Set::kAscii || set_ == Set::kKana) {
        return 0;
    }
    auto printable = [](uint8_t byte) { return byte >= 0x21 && byte <= 0x7E; };
    size_t pairs = 0;
    while (2 * pairs + 1 < bytes.size() && printable(At(bytes, 2 * pairs)) &&
           printable(At(bytes, 2 * pairs + 1))) {
        ++pairs;
    }
    if (pairs == 0) {
        return 0;
    }
    const JisTables& tables = JisTables::Get();
    const size_t start = out.size();
    out.resize(start + pairs);
    char16_t* next = out.data() + start;
    for (size_t k = 0; k < pairs; ++k) {
        const int row = At(bytes, 2 * k) - 0x20;
        const int cell = At(bytes, 2 * k + 1) - 0x20;
        const char16_t unit =
            set_ == Set::kJis0208 ? tables.Jis0208(row, cell, flavour_) : TwoByteUnit(row, cell);
        *next++ = unit != 0 ? unit : kReplacement;
    }
    return 2 * pairs;
}

// One character in a two-byte or katakana run (or a control byte inside it).
size_t JapaneseReader::ReadShifted(std::string_view bytes, bool atEnd, Text& out) {
    const uint8_t byte = At(bytes, 0);
    if (byte < 0x21 || byte == 0x7F) {
        out.push_back(byte);
        if (IsLineEnd(byte)) {
            ResetShift();
        }
        return 1;
    }
    if (shiftedOut_ || set_ == Set::kKana) {
        const char16_t kana = JisTables::Get().HalfWidthKana(byte);
        out.push_back(kana != 0 ? kana : kReplacement);
        return 1;
    }
    if (bytes.size() < 2) {
        if (!atEnd) {
            return 0;
        }
        out.push_back(kReplacement);
        return 1;
    }
    const uint8_t second = At(bytes, 1);
    if (second < 0x21 || second > 0x7E) {
        out.push_back(kReplacement);  // the second byte is read again on its own
        return 1;
    }
    const int row = byte - 0x20;
    const int cell = second - 0x20;
    const char16_t unit = TwoByteUnit(row, cell);
    out.push_back(unit != 0 ? unit : kReplacement);
    return 2;
}

char16_t JapaneseReader::TwoByteUnit(int row, int cell) const {
    switch (set_) {
        case Set::kJis0212:
            return JisTables::Jis0212(row, cell, flavour_);
        case Set::kGb2312:
            return JisTables::Gb2312(row, cell);
        case Set::kKsc5601:
            return JisTables::Ksc5601(row, cell);
        default:
            return JisTables::Get().Jis0208(row, cell, flavour_);
    }
}

}  // namespace zef::glyph
