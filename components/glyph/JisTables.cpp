#include "components/glyph/JisTables.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace zef::glyph {

namespace {

constexpr int kNecSpecialRow = 13;
constexpr int kNecIbmFirstRow = 89;
constexpr int kNecIbmLastRow = 92;

// One iconv descriptor from a Japanese charset to UTF-16LE, used only while tables are built.
class IconvToUtf16 {
  public:
    explicit IconvToUtf16(const char* from) : cd_(iconv_open("UTF-16LE", from)) {}
    ~IconvToUtf16() {
        if (IsOpen()) {
            iconv_close(cd_);
        }
    }
    IconvToUtf16(const IconvToUtf16&) = delete;
    IconvToUtf16& operator=(const IconvToUtf16&) = delete;

    // The one BMP character the bytes encode, or 0 when they encode none or several.
    char16_t One(const std::array<char, 3>& bytes, size_t length) {
        if (!IsOpen()) {
            return 0;
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        char in[3] = {bytes[0], bytes[1], bytes[2]};
        char out[8] = {};
        char* inPtr = in;
        char* outPtr = out;
        size_t inLeft = length;
        size_t outLeft = sizeof out;
        if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) ||
            inLeft != 0 || sizeof out - outLeft != 2) {
            return 0;
        }
        return static_cast<char16_t>(static_cast<uint8_t>(out[0]) |
                                     (static_cast<uint8_t>(out[1]) << 8));
    }

  private:
    // iconv_open reports failure as the descriptor (iconv_t)-1.
    bool IsOpen() const { return reinterpret_cast<intptr_t>(cd_) != -1; }

    iconv_t cd_;
};

constexpr size_t Index(int row, int cell) {
    return static_cast<size_t>(row - 1) * kCells + static_cast<size_t>(cell - 1);
}

char16_t DecodeEucPair(IconvToUtf16& euc, int row, int cell) {
    return euc.One({static_cast<char>(0xA0 + row), static_cast<char>(0xA0 + cell), 0}, 2);
}

char16_t DecodeSjisPair(IconvToUtf16& cp932, int row, int cell) {
    uint8_t lead = 0;
    uint8_t trail = 0;
    RowCellToSjis(row, cell, lead, trail);
    return cp932.One({static_cast<char>(lead), static_cast<char>(trail), 0}, 2);
}

bool IsNecRow(int row) {
    return row == kNecSpecialRow || (row >= kNecIbmFirstRow && row <= kNecIbmLastRow);
}

bool IsPrivateUse(char16_t unit) {
    return unit >= 0xE000 && unit <= 0xF8FF;
}

// A 94x94 set read through the EUC form of a charset: each row/cell pair as its two bytes
// plus 0xA0, after `prefix` (SS3 for JIS X 0212). A code the first charset leaves unassigned
// is read by the second, if one is given. Codes of the user-defined area (read as private
// use) stay unassigned, as they do in the two-byte plane. Built on first use: most mail needs
// none.
struct EucSetTable {
    char16_t units[kJisRows * kCells] = {};
    EucSetTable(std::string_view prefix, const char* charset, const char* gaps = nullptr) {
        Fill(prefix, charset);
        if (gaps != nullptr) {
            Fill(prefix, gaps);
        }
    }

    void Fill(std::string_view prefix, const char* charset) {
        IconvToUtf16 euc(charset);
        for (int row = 1; row <= kJisRows; ++row) {
            for (int cell = 1; cell <= kCells; ++cell) {
                char16_t& unit = units[Index(row, cell)];
                if (unit != 0) {
                    continue;
                }
                std::array<char, 3> bytes = {};
                std::copy(prefix.begin(), prefix.end(), bytes.begin());
                bytes[prefix.size()] = static_cast<char>(0xA0 + row);
                bytes[prefix.size() + 1] = static_cast<char>(0xA0 + cell);
                const char16_t read = euc.One(bytes, prefix.size() + 2);
                unit = IsPrivateUse(read) ? 0 : read;
            }
        }
    }

    char16_t At(int row, int cell) const {
        if (row < 1 || row > kJisRows || cell < 1 || cell > kCells) {
            return 0;
        }
        return units[Index(row, cell)];
    }
};

}  // namespace

void RowCellToSjis(int row, int cell, uint8_t& lead, uint8_t& trail) {
    lead = static_cast<uint8_t>((row + 1) / 2 + (row <= 62 ? 0x80 : 0xC0));
    if (row % 2 == 1) {
        trail = static_cast<uint8_t>(cell + 0x3F + (cell >= 64 ? 1 : 0));
    } else {
        trail = static_cast<uint8_t>(cell + 0x9E);
    }
}

JisTables::JisTables() {
    IconvToUtf16 euc("EUC-JP");
    IconvToUtf16 cp932("CP932");
    for (int row = 1; row <= kSjisRows; ++row) {
        for (int cell = 1; cell <= kCells; ++cell) {
            cp932_[Index(row, cell)] = DecodeSjisPair(cp932, row, cell);
        }
    }
    // The standard rows as the JIS mapping reads them; the NEC rows, which the EUC-JP
    // converter does not know, as CP932 reads them.
    for (int row = 1; row <= kJisRows; ++row) {
        for (int cell = 1; cell <= kCells; ++cell) {
            char16_t unit = DecodeEucPair(euc, row, cell);
            if (unit == 0 && IsNecRow(row)) {
                unit = cp932_[Index(row, cell)];
            }
            jis0208_[Index(row, cell)] = unit;
        }
    }
    for (uint8_t byte = 0x21; byte <= 0x5F; ++byte) {
        kana_[byte - 0x21] = cp932.One({static_cast<char>(byte + 0x80), 0, 0}, 1);
    }
    BuildReverse();
}

void JisTables::BuildReverse() {
    auto claim = [this](char16_t unit, int row, int cell) {
        if (unit != 0 && toJis_[unit] == 0) {
            toJis_[unit] = static_cast<uint16_t>(((0x20 + row) << 8) | (0x20 + cell));
        }
    };
    // First claim wins: standard rows, then row 13, then the NEC-selected IBM rows, then the
    // CP932 readings of all of them (U+FF5E, U+2225, U+FF0D, U+FFE0, U+FFE1, U+FFE2).
    const int passes[][2] = {{1, 12}, {14, 88}, {93, 94}, {13, 13}, {89, 92}};
    for (const auto& pass : passes) {
        for (int row = pass[0]; row <= pass[1]; ++row) {
            for (int cell = 1; cell <= kCells; ++cell) {
                claim(jis0208_[Index(row, cell)], row, cell);
            }
        }
    }
    for (int row = 1; row <= kJisRows; ++row) {
        for (int cell = 1; cell <= kCells; ++cell) {
            claim(cp932_[Index(row, cell)], row, cell);
        }
    }
}

// Japanese Unix mail writes the IBM extensions that JIS X 0212 lacks in its rows 83-84, as
// eucJP-ms places them; the EUC-JP converter knows only JIS X 0212 itself, EUC-JP-MS both.
// The two differ in one code besides: 0x2243 is U+00A6 BROKEN BAR in JIS X 0212, U+FFE4
// (as CP932 reads the IBM extension) in eucJP-ms.
char16_t JisTables::Jis0212(int row, int cell, Flavour flavour) {
    static const EucSetTable jis("\x8F", "EUC-JP", "EUC-JP-MS");
    static const EucSetTable microsoft("\x8F", "EUC-JP-MS", "EUC-JP");
    return flavour == Flavour::kMicrosoft ? microsoft.At(row, cell) : jis.At(row, cell);
}

char16_t JisTables::Gb2312(int row, int cell) {
    static const EucSetTable table("", "EUC-CN");
    return table.At(row, cell);
}

char16_t JisTables::Ksc5601(int row, int cell) {
    static const EucSetTable table("", "EUC-KR");
    return table.At(row, cell);
}

}  // namespace zef::glyph
