// Lookup tables for the Japanese character sets, filled once per process from the system's
// converter (glibc iconv), so every mapping comes from the converter and none is typed here.
//
// JIS X 0208 codes are addressed by row and cell (1..94 each), the form shared by ISO-2022-JP
// (bytes 0x20 + row, 0x20 + cell), EUC-JP (0xA0 + row, 0xA0 + cell) and, by arithmetic,
// Shift_JIS. Rows 13 and 89-92 are the NEC extensions that CP932 and the mailers writing it
// add; rows 95-120 exist only in Shift_JIS (user-defined area and IBM extensions).
#pragma once

#include <cstdint>

namespace zef::glyph {

// Where mappings of the same JIS code differ between the JIS standard and Microsoft's CP932
// (0x2141 is U+301C WAVE DASH in one, U+FF5E FULLWIDTH TILDE in the other, and five more).
enum class Flavour : uint8_t {
    kJis,        // as the JIS standard and Python's iso2022_jp and euc_jp codecs read them
    kMicrosoft,  // as CP932 and Windows read them
};

inline constexpr int kJisRows = 94;
inline constexpr int kSjisRows = 120;
inline constexpr int kCells = 94;

class JisTables {
  public:
    // The tables of this process, built on first use. The look-ups below are inline: the
    // readers call them for every character.
    static const JisTables& Get() {
        static const JisTables tables;
        return tables;
    }

    // JIS X 0208 row/cell (1..94) to a UTF-16 unit; 0 where the code is unassigned.
    char16_t Jis0208(int row, int cell, Flavour flavour) const {
        if (row < 1 || row > kJisRows || cell < 1 || cell > kCells) {
            return 0;
        }
        const char16_t unit = flavour == Flavour::kMicrosoft ? cp932_[Index(row, cell)] : 0;
        return unit != 0 ? unit : jis0208_[Index(row, cell)];
    }

    // Row/cell in the Shift_JIS layout (rows 1..120) read as CP932; 0 where unassigned.
    char16_t Cp932(int row, int cell) const {
        if (row < 1 || row > kSjisRows || cell < 1 || cell > kCells) {
            return 0;
        }
        return cp932_[Index(row, cell)];
    }

    // JIS X 0212 (with the IBM extensions eucJP-ms adds in rows 83-84), GB 2312 and
    // KS C 5601 row/cell (1..94); 0 where unassigned. These tables are built on first use.
    static char16_t Jis0212(int row, int cell, Flavour flavour);
    static char16_t Gb2312(int row, int cell);
    static char16_t Ksc5601(int row, int cell);

    // JIS X 0201 katakana 0x21..0x5F (the 7-bit form; 0xA1..0xDF in 8-bit) to U+FF61..U+FF9F.
    char16_t HalfWidthKana(uint8_t byte) const {
        return byte >= 0x21 && byte <= 0x5F ? kana_[byte - 0x21] : 0;
    }

    // A UTF-16 unit to the JIS code (0x2121..0x7E7E) that ISO-2022-JP writes for it, or 0.
    // Standard rows come first, then row 13, then rows 89-92 (which carry the IBM extension
    // kanji); characters that only CP932 maps to a code (U+FF5E to 0x2141, ...) map there too.
    uint16_t ToJis(char16_t unit) const { return toJis_[unit]; }

  private:
    JisTables();
    JisTables(const JisTables&) = delete;
    JisTables& operator=(const JisTables&) = delete;
    ~JisTables() = default;

    void BuildReverse();

    static constexpr int Index(int row, int cell) { return (row - 1) * kCells + (cell - 1); }

    char16_t jis0208_[kJisRows * kCells] = {};
    char16_t cp932_[kSjisRows * kCells] = {};
    char16_t kana_[0x3F] = {};
    uint16_t toJis_[0x10000] = {};
};

// Row/cell of the Shift_JIS byte pair (lead, trail), or false when the pair is not one.
inline bool SjisToRowCell(uint8_t lead, uint8_t trail, int& row, int& cell) {
    int base = 0;
    if (lead >= 0x81 && lead <= 0x9F) {
        base = lead - 0x81;
    } else if (lead >= 0xE0 && lead <= 0xFC) {
        base = lead - 0xC1;
    } else {
        return false;
    }
    if (trail >= 0x40 && trail <= 0x7E) {
        row = base * 2 + 1;
        cell = trail - 0x3F;
    } else if (trail >= 0x80 && trail <= 0x9E) {
        row = base * 2 + 1;
        cell = trail - 0x40;
    } else if (trail >= 0x9F && trail <= 0xFC) {
        row = base * 2 + 2;
        cell = trail - 0x9E;
    } else {
        return false;
    }
    return true;
}

// The Shift_JIS byte pair of row/cell (rows 1..120).
void RowCellToSjis(int row, int cell, uint8_t& lead, uint8_t& trail);

}  // namespace zef::glyph
