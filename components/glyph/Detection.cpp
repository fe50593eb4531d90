#include "components/glyph/Detection.h"

#include "components/glyph/JisTables.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace zef::glyph {

namespace {

uint8_t At(std::string_view bytes, size_t i) {
    return static_cast<uint8_t>(bytes[i]);
}

struct Utf8Scan {
    size_t errors = 0;
    size_t longSequences = 0;       // three or four bytes: CJK, kana, full-width forms
    bool adjacentNonAscii = false;  // two sequences in a row, as in Japanese words
};

struct JapaneseScan {
    size_t errors = 0;
    size_t halfWidthKana = 0;
};

bool InRange(uint8_t byte, uint8_t low, uint8_t high) {
    return byte >= low && byte <= high;
}

// Length of the valid UTF-8 sequence at i (0 if invalid, SIZE_MAX if cut off by the end).
size_t Utf8SequenceLength(std::string_view bytes, size_t i) {
    const uint8_t lead = At(bytes, i);
    size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (InRange(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (InRange(lead, 0xE0, 0xEF)) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (InRange(lead, 0xF0, 0xF4)) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if (i + k >= bytes.size()) {
            return SIZE_MAX;
        }
        const uint8_t byte = At(bytes, i + k);
        if (k == 1 ? !InRange(byte, low, high) : !InRange(byte, 0x80, 0xBF)) {
            return 0;
        }
    }
    return length;
}

// Each scan counts every error, or with `firstErrorOnly` stops at the first one: most
// decisions need only to know whether a stretch is valid, and a stretch in one encoding is
// usually invalid in the others within its first characters.
Utf8Scan ScanUtf8(std::string_view bytes, bool atEnd, bool firstErrorOnly) {
    Utf8Scan scan;
    bool previousWasSequence = false;
    for (size_t i = 0; i < bytes.size();) {
        if (At(bytes, i) < 0x80) {
            previousWasSequence = false;
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(bytes, i);
        if (length == SIZE_MAX) {
            scan.errors += atEnd ? 1 : 0;
            break;
        }
        if (length == 0) {
            if (++scan.errors == 1 && firstErrorOnly) {
                break;
            }
            previousWasSequence = false;
            ++i;
            continue;
        }
        scan.longSequences += length > 2 ? 1 : 0;
        scan.adjacentNonAscii = scan.adjacentNonAscii || previousWasSequence;
        previousWasSequence = true;
        i += length;
    }
    return scan;
}

// Codes that CP932 leaves unassigned or gives to the user-defined area (rows 95-114) count as
// errors: mail practically never holds them, and EUC-JP text read as Shift_JIS often does.
JapaneseScan ScanCp932(std::string_view bytes, bool atEnd, bool firstErrorOnly) {
    constexpr int kUserDefinedFirstRow = 95;
    constexpr int kUserDefinedLastRow = 114;
    const JisTables& tables = JisTables::Get();
    JapaneseScan scan;
    for (size_t i = 0; i < bytes.size();) {
        const uint8_t lead = At(bytes, i);
        if (lead < 0x80) {
            ++i;
        } else if (InRange(lead, 0xA1, 0xDF)) {
            ++scan.halfWidthKana;
            ++i;
        } else if (InRange(lead, 0x81, 0x9F) || InRange(lead, 0xE0, 0xFC)) {
            if (i + 1 == bytes.size()) {
                scan.errors += atEnd ? 1 : 0;
                break;
            }
            int row = 0;
            int cell = 0;
            const bool valid = SjisToRowCell(lead, At(bytes, i + 1), row, cell) &&
                               tables.Cp932(row, cell) != 0 &&
                               (row < kUserDefinedFirstRow || row > kUserDefinedLastRow);
            scan.errors += valid ? 0 : 1;
            i += valid ? 2 : 1;
        } else {
            ++scan.errors;
            ++i;
        }
        if (firstErrorOnly && scan.errors > 0) {
            break;
        }
    }
    return scan;
}

// Unassigned codes count as errors.
JapaneseScan ScanEucJp(std::string_view bytes, bool atEnd, bool firstErrorOnly) {
    const JisTables& tables = JisTables::Get();
    JapaneseScan scan;
    for (size_t i = 0; i < bytes.size();) {
        const uint8_t lead = At(bytes, i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const size_t length = lead == 0x8F ? 3 : 2;
        const bool isLead = lead == 0x8E || lead == 0x8F || InRange(lead, 0xA1, 0xFE);
        if (isLead && i + length > bytes.size()) {
            scan.errors += atEnd ? 1 : 0;
            break;
        }
        bool valid = isLead;
        for (size_t k = 1; valid && k < length; ++k) {
            valid = InRange(At(bytes, i + k), 0xA1, 0xFE);
        }
        if (valid && lead == 0x8E) {
            valid = At(bytes, i + 1) <= 0xDF;
            scan.halfWidthKana += valid ? 1 : 0;
        } else if (valid && lead == 0x8F) {
            valid = JisTables::Jis0212(At(bytes, i + 1) - 0xA0, At(bytes, i + 2) - 0xA0,
                                       Flavour::kJis) != 0;
        } else if (valid) {
            valid = tables.Jis0208(lead - 0xA0, At(bytes, i + 1) - 0xA0, Flavour::kJis) != 0;
        }
        scan.errors += valid ? 0 : 1;
        i += valid ? length : 1;
        if (firstErrorOnly && scan.errors > 0) {
            break;
        }
    }
    return scan;
}

// Valid as Shift_JIS and as EUC-JP (and maybe as two-byte UTF-8).
EightBit ChooseJapanese(const JapaneseScan& sjis, const JapaneseScan& euc, EightBit sticky) {
    const bool sjisValid = sjis.errors == 0;
    const bool eucValid = euc.errors == 0;
    if (sticky == EightBit::kCp932 && sjisValid)
        return EightBit::kCp932;
    if (sticky == EightBit::kEucJp && eucValid)
        return EightBit::kEucJp;
    if (eucValid && (!sjisValid || sjis.halfWidthKana > 0))
        return EightBit::kEucJp;
    return sjisValid ? EightBit::kCp932 : EightBit::kEucJp;
}

EightBit FewestErrors(const Utf8Scan& utf8, const JapaneseScan& sjis, const JapaneseScan& euc,
                      EightBit sticky) {
    const size_t least = std::min({utf8.errors, sjis.errors, euc.errors});
    auto errorsOf = [&](EightBit encoding) {
        switch (encoding) {
            case EightBit::kUtf8:
                return utf8.errors;
            case EightBit::kCp932:
                return sjis.errors;
            case EightBit::kEucJp:
                return euc.errors;
            case EightBit::kUnknown:
                break;
        }
        return SIZE_MAX;
    };
    if (sticky != EightBit::kUnknown && errorsOf(sticky) == least)
        return sticky;
    for (EightBit encoding : {EightBit::kUtf8, EightBit::kCp932, EightBit::kEucJp}) {
        if (errorsOf(encoding) == least)
            return encoding;
    }
    return EightBit::kUtf8;
}

}  // namespace

Detection DetectEightBit(std::string_view bytes, bool atEnd, EightBit sticky) {
    // The scans stop at their first error; only a stretch valid in none of the encodings
    // needs the full error counts, and is scanned again for them.
    const Utf8Scan utf8 = ScanUtf8(bytes, atEnd, true);
    if (utf8.errors == 0 && utf8.longSequences > 0) {
        return {EightBit::kUtf8, true};
    }
    const JapaneseScan sjis = ScanCp932(bytes, atEnd, true);
    const JapaneseScan euc = ScanEucJp(bytes, atEnd, true);
    const bool sjisValid = sjis.errors == 0;
    const bool eucValid = euc.errors == 0;
    if (utf8.errors == 0) {
        if (!sjisValid && !eucValid)
            return {EightBit::kUtf8, true};
        const bool stickyJapanese =
            (sticky == EightBit::kCp932 && sjisValid) || (sticky == EightBit::kEucJp && eucValid);
        if (!stickyJapanese && (sticky == EightBit::kUtf8 || !utf8.adjacentNonAscii)) {
            return {EightBit::kUtf8, false};
        }
        return {ChooseJapanese(sjis, euc, sticky), false};
    }
    if (sjisValid && !eucValid)
        return {EightBit::kCp932, true};
    if (eucValid && !sjisValid)
        return {EightBit::kEucJp, true};
    if (sjisValid && eucValid)
        return {ChooseJapanese(sjis, euc, sticky), false};
    return {FewestErrors(ScanUtf8(bytes, atEnd, false), ScanCp932(bytes, atEnd, false),
                         ScanEucJp(bytes, atEnd, false), sticky),
            false};
}

}  // namespace zef::glyph
