#include "components/glyph/ByteDecoders.h"

#include <cstdint>

namespace zef::glyph {

namespace {

uint8_t At(std::string_view bytes, size_t i) {
    return static_cast<uint8_t>(bytes[i]);
}

bool IsContinuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// Appends units to a text through a pointer: the text grows once by the most units the bytes
// can give (one per byte at most, in each of the encodings read here) and is cut back to what
// was written when the writer goes, so no character pays for a capacity check.
class UnitWriter {
  public:
    UnitWriter(Text& out, size_t maxUnits) : out_(out) {
        const size_t start = out.size();
        out.resize(start + maxUnits);
        next_ = out.data() + start;
    }
    ~UnitWriter() { out_.resize(static_cast<size_t>(next_ - out_.data())); }
    UnitWriter(const UnitWriter&) = delete;
    UnitWriter& operator=(const UnitWriter&) = delete;

    void Put(char16_t unit) { *next_++ = unit; }

    void PutCodePoint(char32_t cp) {
        if (cp < 0x10000) {
            Put(static_cast<char16_t>(cp));
        } else {
            cp -= 0x10000;
            Put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            Put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        }
    }

    // The bytes below 0x80 at the start of `bytes`; returns how many there were.
    size_t PutAscii(std::string_view bytes) {
        size_t i = 0;
        while (i < bytes.size() && At(bytes, i) < 0x80) {
            *next_++ = At(bytes, i++);
        }
        return i;
    }

  private:
    Text& out_;
    char16_t* next_;
};

// The sequence length a UTF-8 lead byte announces and the lowest value of its second byte
// and highest, which rule out overlong forms, surrogates and values past U+10FFFF; 0 when
// the byte cannot start a sequence.
struct Utf8Lead {
    int length;
    uint8_t secondLow;
    uint8_t secondHigh;
};

Utf8Lead ClassifyUtf8Lead(uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF)
        return {2, 0x80, 0xBF};
    if (byte == 0xE0)
        return {3, 0xA0, 0xBF};
    if (byte == 0xED)
        return {3, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF)
        return {3, 0x80, 0xBF};
    if (byte == 0xF0)
        return {4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3)
        return {4, 0x80, 0xBF};
    if (byte == 0xF4)
        return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

size_t AsciiPrefix(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size() && At(bytes, i) < 0x80) {
        ++i;
    }
    return i;
}

void AppendAscii(std::string_view bytes, Text& out) {
    UnitWriter writer(out, bytes.size());
    writer.PutAscii(bytes);
}

size_t DecodeUtf8(std::string_view bytes, bool atEnd, Text& out) {
    UnitWriter writer(out, bytes.size());
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        i += writer.PutAscii(bytes.substr(i));
        if (i == n) {
            break;
        }
        const Utf8Lead lead = ClassifyUtf8Lead(At(bytes, i));
        if (lead.length == 0) {
            writer.Put(kReplacement);
            ++i;
            continue;
        }
        // Take the longest valid prefix of the announced sequence (one U+FFFD per maximal
        // invalid subpart, as the Unicode standard recommends).
        char32_t cp = At(bytes, i) & (0xFF >> (lead.length + 1));
        size_t taken = 1;
        bool valid = true;
        while (taken < static_cast<size_t>(lead.length) && i + taken < n) {
            const uint8_t byte = At(bytes, i + taken);
            const bool ok = taken == 1 ? byte >= lead.secondLow && byte <= lead.secondHigh
                                       : IsContinuation(byte);
            if (!ok) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (byte & 0x3F);
            ++taken;
        }
        if (valid && taken < static_cast<size_t>(lead.length)) {  // cut off by the end
            if (!atEnd) {
                return i;
            }
            valid = false;
        }
        if (valid) {
            writer.PutCodePoint(cp);
        } else {
            writer.Put(kReplacement);
        }
        i += taken;
    }
    return n;
}

size_t DecodeCp932(std::string_view bytes, bool atEnd, Text& out) {
    const JisTables& tables = JisTables::Get();
    UnitWriter writer(out, bytes.size());
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const uint8_t lead = At(bytes, i);
        if (lead < 0x80) {
            writer.Put(lead);
            ++i;
            continue;
        }
        if (lead >= 0xA1 && lead <= 0xDF) {
            writer.Put(tables.HalfWidthKana(static_cast<uint8_t>(lead - 0x80)));
            ++i;
            continue;
        }
        const bool isLead = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
        if (isLead && i + 1 == n && !atEnd) {
            return i;
        }
        int row = 0;
        int cell = 0;
        if (isLead && i + 1 < n && SjisToRowCell(lead, At(bytes, i + 1), row, cell)) {
            const char16_t unit = tables.Cp932(row, cell);
            writer.Put(unit != 0 ? unit : kReplacement);
            i += 2;
            continue;
        }
        // Not a lead byte, or a lead byte without a valid trail byte: the trail byte, which
        // may be ASCII, is read again on its own.
        writer.Put(kReplacement);
        ++i;
    }
    return n;
}

size_t DecodeEucJp(std::string_view bytes, bool atEnd, Flavour flavour, Text& out) {
    const JisTables& tables = JisTables::Get();
    auto isGr = [](uint8_t byte) { return byte >= 0xA1 && byte <= 0xFE; };
    UnitWriter writer(out, bytes.size());
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const uint8_t lead = At(bytes, i);
        if (lead < 0x80) {
            writer.Put(lead);
            ++i;
            continue;
        }
        const size_t need = lead == 0x8F ? 3 : (lead == 0x8E || isGr(lead)) ? 2 : 1;
        if (need > 1 && i + need > n && !atEnd) {
            bool prefixValid = true;  // keep only what could still become a character
            for (size_t k = i + 1; k < n; ++k) {
                prefixValid = prefixValid && isGr(At(bytes, k));
            }
            if (prefixValid) {
                return i;
            }
        }
        char16_t unit = 0;
        size_t used = 1;
        if (lead == 0x8E && i + 1 < n && At(bytes, i + 1) >= 0xA1 && At(bytes, i + 1) <= 0xDF) {
            unit = tables.HalfWidthKana(static_cast<uint8_t>(At(bytes, i + 1) - 0x80));
            used = 2;
        } else if (lead == 0x8F && i + 2 < n && isGr(At(bytes, i + 1)) && isGr(At(bytes, i + 2))) {
            unit = JisTables::Jis0212(At(bytes, i + 1) - 0xA0, At(bytes, i + 2) - 0xA0, flavour);
            used = 3;
        } else if (isGr(lead) && i + 1 < n && isGr(At(bytes, i + 1))) {
            unit = tables.Jis0208(lead - 0xA0, At(bytes, i + 1) - 0xA0, flavour);
            used = 2;
        }
        writer.Put(unit != 0 ? unit : kReplacement);
        i += used;
    }
    return n;
}

}  // namespace zef::glyph
