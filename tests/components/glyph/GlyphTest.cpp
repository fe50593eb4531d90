// The charset converter and the host code page. Byte forms: python3's text.encode(codec); the
// eucJP-ms ones: iconv -t EUC-JP-MS.
#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <random>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/CodePage.h"
#include "components/Glyph.h"
#include "components/glyph/Charsets.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

using Row = std::pair<Bytes, std::string>;  // input, expected output

// A short business letter in each encoding of Japanese mail.
const std::string kUtf8 =
    "お世話になっております。\r\n来週の会議は第二会議室で行います。\r\nよろしくお願いします。\r\n";
const std::string kJis =
    "\x1B$B$*@$OC$K$J$C$F$*$j$^$9!#\x1B(B\r\n\x1B$BMh=5$N2q5D$OBhFs2q5D<<$G9T$$$^$9!#\x1B(B\r\n"
    "\x1B$B$h$m$7$/$*4j$$$7$^$9!#\x1B(B\r\n";
const std::string kCp932 =
    "\x82\xA8\x90\xA2\x98\x62\x82\xC9\x82\xC8\x82\xC1\x82\xC4\x82\xA8\x82\xE8\x82\xDC\x82\xB7"
    "\x81\x42\x0D\x0A\x97\x88\x8F\x54\x82\xCC\x89\xEF\x8B\x63\x82\xCD\x91\xE6\x93\xF1\x89\xEF"
    "\x8B\x63\x8E\xBA\x82\xC5\x8D\x73\x82\xA2\x82\xDC\x82\xB7\x81\x42\x0D\x0A\x82\xE6\x82\xEB"
    "\x82\xB5\x82\xAD\x82\xA8\x8A\xE8\x82\xA2\x82\xB5\x82\xDC\x82\xB7\x81\x42\x0D\x0A";
const std::string kEuc =
    "\xA4\xAA\xC0\xA4\xCF\xC3\xA4\xCB\xA4\xCA\xA4\xC3\xA4\xC6\xA4\xAA\xA4\xEA\xA4\xDE\xA4\xB9\xA1"
    "\xA3\r\n\xCD\xE8\xBD\xB5\xA4\xCE\xB2\xF1\xB5\xC4\xA4\xCF\xC2\xE8\xC6\xF3\xB2\xF1\xB5\xC4\xBC"
    "\xBC\xA4\xC7\xB9\xD4\xA4\xA4\xA4\xDE\xA4\xB9\xA1\xA3\r\n\xA4\xE8\xA4\xED\xA4\xB7\xA4\xAF\xA4"
    "\xAA\xB4\xEA\xA4\xA4\xA4\xB7\xA4\xDE\xA4\xB9\xA1\xA3\r\n";

// "①㈱髙〜ｶﾀ" as mailers write it: NEC rows 13 and 92, 0x2141, katakana after ESC ( I.
const Bytes kExtendedJis = "\x1B$B-!-j|b!A\x1B(I6@\x1B(B";

class GlyphTest : public ::testing::Test {
  protected:
    void TearDown() override { SetHostCodePage("UTF-8"); }

    // JisToText uses all its bytes; its text as UTF-8 reads better in failure messages.
    std::string Read(Bytes bytes) {
        std::string text = U(glyph->JisToText(bytes));
        EXPECT_TRUE(bytes.empty());
        return text;
    }
    Bytes Write(const std::string& utf8) {
        Text text = T(utf8);
        return glyph->TextToJis(text);
    }
    // AnyToAnsi fed in pieces leaves at most an incomplete character at the end of the buffer;
    // AnyToUtf16Le fed alike gives that output read as text (by a shorter road on UTF-8 hosts).
    Bytes Convert(const Bytes& input, size_t piece) {
        glyph = MakeGlyph();
        auto textForm = MakeGlyph();
        Bytes buffer, textBuffer, ansi;
        for (size_t at = 0; at < input.size(); at += piece) {
            buffer += input.substr(at, piece);
            textBuffer += input.substr(at, piece);
            const Bytes out = glyph->AnyToAnsi(buffer);
            Bytes utf16 = "stale";
            textForm->AnyToUtf16Le(textBuffer, utf16);
            EXPECT_EQ(utf16, TextToUtf16Le(AnsiToText(out))) << HostCodePage() << Escaped(input);
            EXPECT_TRUE(!HostCodePageIsUtf8() || U(T(out)) == out) << Escaped(input);
            EXPECT_TRUE(buffer.size() <= 3 && input.substr(0, at + piece).ends_with(buffer) &&
                        textBuffer == buffer)
                << Escaped(input);
            ansi += out;
        }
        return ansi;
    }

    std::unique_ptr<Glyph> glyph = MakeGlyph();
};

TEST_F(GlyphTest, JisToTextVectors) {
    Bytes ascii;
    for (int c = 0; c < 0x80; ++c) {
        ascii += static_cast<char>(c == 0x1B || c == 0x0E || c == 0x0F ? ' ' : c);  // no shifts
    }
    const Bytes nul("\x1B$B\0$\"", 6);
    // clang-format off
    const Row rows[] = {
        {ascii, ascii}, {kJis, kUtf8},
        // ESC $ @ names the two-byte set too; ESC ( J reads as ASCII (not JIS-Roman's "¥‾");
        // the revision prefix ESC & @ is skipped.
        {"\x1B$@$\"\x1B(J\\~", "あ\\~"},          {"\x1B&@\x1B$B$\"\x1B(B", "あ"},
        // iso2022_jp_2: GB 2312 (ESC $ A, ESC $ ( A) where JIS X 0208 lacks it, KS C 5601.
        {"\x1B$(A<r\x1B$BBNCfJ8\x1B(B \x1B$(CGQ19>n\x1B(B", "简体中文 한국어"},
        {"\x1B$A<r\x1B(B", "简"},                    {"\x1B$(C!!\x7F\x1B(B", "\u3000\x7F"},
        // NEC rows 13 and 92; iso2022_jp_ext katakana (ESC ( I, SO SI); iso2022_jp_1 JIS X 0212.
        {"\x1B$B-!-j|b!A\x1B(B", "①㈱髙\u301C"},     {"\x1B(I6@6E\x1B(B!", "ｶﾀｶﾅ!"},
        {"a\x0E" "6@\x0F" "b", "aｶﾀb"},             {"\x1B$(D0!0\"\x1B(B", "丂丄"},
        // Lines in UTF-8, cp932, euc_jp, and both at once; alone, EUC-JP goes before
        // half-width katakana, and two-byte UTF-8 letters only stand alone.
        {"\xE4\xBB\xB6\xE5\x90\x8D\xEF\xBC\x9A\xE4\xBC\x9A\xE8\xAD\xB0", "件名：会議"},
        {"\x8C\x8F\x96\xBC\x81\x46\x89\xEF\x8B\x63", "件名：会議"},
        {"\xB7\xEF\xCC\xBE\xA1\xA7\xB2\xF1\xB5\xC4", "件名：会議"},
        {"Subject: \x1B$B2q5D\x1B(B / \xE4\xBB\xB6\xE5\x90\x8D", "Subject: 会議 / 件名"},
        {"\xB1\xB2", "渦"},  {"caf\xC3\xA9", "café"},  {"\xC3\xA9\xC3\xA9", "辿辿"},
        {"\x8F\xF4\xFB\xB6\xB6\xA4\xC7\xA4\xB9", "髙橋です"},  // eucJP-ms IBM extension after SS3
        {"\xF0\x9F\x93\xA7 \xF4\x8F\xBF\xBD", "📧 \U0010FFFD"}, {"\xF4\x90\x80\x80", "\uE33F\uFFFD\uFFFD"},
        // A cut-off escape or unknown designation (CNS 11643) stays as it is, half a code or an
        // unassigned one is U+FFFD; a line break ends a two-byte run, other control bytes not.
        {"abc\x1B", "abc\x1B"},   {"abc\x1B$", "abc\x1B$"},  {"\x1B$(G!", "\x1B$(G!"},
        {"\x1B$B$", "\uFFFD"},    {"\x1B$B\"/", "\uFFFD"},   {"\x1B(I~", "\uFFFD"},
        {"a\x80z", "a\uFFFDz"},   {"a\xFF", "a\uFFFD"},      {"\x1B$B~~$3\x1B(B", "\uFFFDこ"},
        {"\x1B$B$\"\n$\"", "あ\n$\""}, {"\x1B$B$3\t$s\x7F$K\x1B(B", "こ\tん\x7Fに"},
        {nul, std::string("\0あ", 4)}};
    // clang-format on
    for (const auto& [bytes, text] : rows) {
        glyph = MakeGlyph();
        EXPECT_EQ(Read(bytes), text) << Escaped(bytes);
    }
}

// A stretch valid in several encodings is read in the reader's last certain one.
TEST_F(GlyphTest, ShortStretchesFollowTheLastCertainEncoding) {
    // clang-format off
    const Row sequence[] = {
        {"\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD", "こんにちは"},  // certainly cp932
        {"\xB1\xB2", "ｱｲ"},  {"caf\xC3\xA9", "cafﾃｩ"},
        {"\xE4\xBC\x9A\xE8\xAD\xB0", "会議"},                      // certainly UTF-8
        {"\xC3\xA9\xC3\xA9", "éé"},  {kEuc, kUtf8},     // certainly EUC-JP
        {"caf\xC3\xA9", "caf辿"},  {"\xE0\xA1", "燹"},  // cp932 would read 爍
        {"\xC2\x80\xC3\xA9", "\u0080é"},  {"\xC3\xA9\xC3\xA9", "éé"},  // certainly UTF-8 again
        {"\xB1\xB2", "渦"}};
    // clang-format on
    for (const auto& [bytes, text] : sequence) {
        EXPECT_EQ(Read(bytes), text) << Escaped(bytes);
    }
    // AnyToAnsi keeps a detection of its own.
    for (const auto& [bytes, text] : {Row{kCp932, kUtf8}, Row{"\xB1\xB2\r\n", "ｱｲ\r\n"}}) {
        Bytes buffer = bytes;
        EXPECT_EQ(glyph->AnyToAnsi(buffer), text);
    }
}

// Plain lines are told apart eight bytes at a time: ESC, SO, SI or an 8-bit byte anywhere
// still takes a line off the plain path.
TEST_F(GlyphTest, PlainLinesAndTwoByteRuns) {
    for (size_t before = 0; before <= 17; ++before) {
        for (size_t after = 0; after <= 9; ++after) {
            auto around = [&](std::string_view middle) {
                return Bytes(before, 'a').append(middle).append(after, 'b');
            };
            EXPECT_EQ(Read(around("\x1B$B$3\x1B(B")), around("こ"));
            EXPECT_EQ(Read(around("\x0E\x31\x0F")), around("ｱ"));
            EXPECT_EQ(Read(around("\xE3\x81\x82")), around("あ"));
        }
    }
    // Two-byte runs read whole (pair by pair in one pass) or byte by byte agree at every edge.
    for (const char* line :
         {"\x1B$B$3$s$K$A$O\x1B(B done", "\x1B$B$3\t$s\x7F$K\x1B(B", "\x1B$B$3\r\n$s$K\r\n",
          "\x1B$B$3\x80$s\x1B(B", "\x1B$B\x7E\x7E$3\x1B(B", "\x1B$(D\x30\x21\x30\x22\x1B(B",
          "\x1B$B$3$\x1B(Bx\r\n", "\x1B$B$3$s$K$\r\n"}) {
        EXPECT_EQ(Convert(line, 1), Read(line)) << Escaped(line);
    }
}

TEST_F(GlyphTest, TextToJisVectors) {
    std::string ascii(0x80, '\0');
    std::iota(ascii.begin(), ascii.end(), '\0');
    // clang-format off
    const Row rows[] = {
        {ascii, ascii},
        {"日本\r\n語\r\nabc語", "\x1B$BF|K\\\x1B(J\r\n\x1B$B8l\x1B(J\r\nabc\x1B$B8l\x1B(J"},
        {"カタカナ漢字", "\x1B$B%+%?%+%J4A;z\x1B(J"},
        {"\u301C\uFF5E", "\x1B$B!A!A\x1B(J"},  // WAVE DASH, and the FULLWIDTH TILDE CP932 reads
        {"①㈱髙", "\x1B$B-!-j|b\x1B(J"},        // NEC row 13 and row 92, as cp932 writes them
        {"ｶﾞｷﾞﾞｰ", "\x1B$B%,%.!+!<\x1B(J"},    // half-width katakana as "ガギ゛ー"
        // Outside the repertoire: the compatibility form, else "?" for each code point.
        {"café😀!ﬁne", "caf?\?!fine"},  {"あé", "\x1B$B$\"\x1B(J?"}};
    // clang-format on
    for (const auto& [text, bytes] : rows) {
        EXPECT_EQ(Write(text), bytes) << text;
    }
    Text lone{u'a', char16_t{0xDC00}, u'b'};
    EXPECT_EQ(glyph->TextToJis(lone), "a?b");
    // Designations are one to three printable characters; others are refused and change nothing.
    for (const char* bad : {"", "\x1B$B", "$ B", "(JJJ"}) {
        EXPECT_THROW(glyph->KanjiInEscape(bad), Error) << bad;
        EXPECT_THROW(glyph->KanjiOutEscape(bad), Error) << bad;
    }
    EXPECT_EQ(Write("あいう"), "\x1B$B$\"$$$&\x1B(J");
    glyph->KanjiOutEscape("(B");
    EXPECT_EQ(Write(kUtf8), kJis);
    glyph->KanjiInEscape("$@");
    EXPECT_EQ(Write("あいう"), "\x1B$@$\"$$$&\x1B(B");
    // Text cut anywhere gives the same text as the whole.
    const Text whole = T("件名：😀会議\r\nｶﾞｲﾄﾞ①髙～end");
    const Text expected = T("件名：?会議\r\nガイド①髙\u301Cend");
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        if (cut < whole.size() && (whole[cut] == u'\uFF9E' || whole[cut] == u'\uFF9F')) {
            continue;  // a half-width voiced mark joins its kana only within one piece
        }
        Text buffer = whole.substr(0, cut);
        Bytes sent = glyph->TextToJis(buffer);
        buffer += whole.substr(cut);
        sent += glyph->TextToJis(buffer);
        EXPECT_TRUE(buffer.empty());
        EXPECT_EQ(glyph->JisToText(sent), expected) << "cut at " << cut;
    }
}

// Each encoding of the letter, in pieces of any size, to the host code page.
TEST_F(GlyphTest, AnyToAnsiInPiecesToTheHostCodePage) {
    for (const Bytes& letter : {kUtf8, kJis, kCp932, kEuc}) {
        for (size_t piece : {1, 2, 3, 5, 7, 1000}) {
            SetHostCodePage("utf8");  // any name of UTF-8
            EXPECT_EQ(Convert(letter, piece), kUtf8) << piece << Escaped(letter);
            SetHostCodePage("CP932");
            EXPECT_EQ(Convert(letter, piece), kCp932) << piece << Escaped(letter);
        }
    }
    // python3 cp932 reads these as "①㈱髙～ｶﾀ"; Windows writes U+9AD9 as the IBM extension
    // 0xFBFC (python3: the NEC-selected 0xEEE0), U+301C as 0x8160 by best fit.
    const Bytes cp932 = "\x87\x40\x87\x8A\xFB\xFC\x81\x60\xB6\xC0";
    EXPECT_EQ(Convert(kExtendedJis, 1000), cp932);
    EXPECT_EQ(Convert("①㈱髙\u301Cｶﾀ", 1000), cp932);
    EXPECT_THROW(SetHostCodePage("x-no-such-code-page"), Error);
    EXPECT_EQ(HostCodePage(), "CP932");  // unchanged
    SetHostCodePage("utf8");             // 0x2141 stays U+301C WAVE DASH
    EXPECT_EQ(Convert(kExtendedJis, 1000), "①㈱髙\u301Cｶﾀ");
    EXPECT_EQ(Convert("\x82\xA0\x80", 1000), "あ\uFFFD");  // 0x80 starts no character
    // Any bytes, rich in what the reader reacts to, cut anywhere, on either host.
    std::mt19937 random(20240601);
    std::vector<Bytes> inputs = {kExtendedJis, "emoji \xF0\x9F\x98\x80, surrogate \xED\xA0\x80"};
    static const char kAlphabet[] = "\x1B\x1B$$((BJI@\x0E\x0F\r\n\"a!";
    for (int round = 0; round < 500; ++round) {
        Bytes& input = inputs.emplace_back();
        for (auto n = random() % 40; n > 0; --n) {
            const auto pick = random() % (sizeof kAlphabet + 23);
            input +=
                pick < sizeof kAlphabet - 1 ? kAlphabet[pick] : static_cast<char>(random() | 0x80);
        }
    }
    for (const Bytes& input : inputs) {
        Read(input);
        for (const char* host : {"UTF-8", "CP932"}) {
            SetHostCodePage(host);
            Convert(input, 3);
            Convert(input, 64);
        }
    }
}

// The charsets of encoded words: the Japanese ones by any name, read as the reader reads them,
// the others by the converter; invalid bytes are U+FFFD (ICU's own substitute is U+001A).
TEST(Charsets, ToUtf8) {
    const struct {
        const char* charset;
        Bytes bytes;
        std::optional<std::string> text;
    } rows[] = {
        // clang-format off
        {"ISO-2022-JP", kJis, kUtf8},  {"csISO2022JP", kJis, kUtf8},  {"Shift_JIS", kCp932, kUtf8},
        {"windows-31j", kCp932, kUtf8}, {"EUC-JP", kEuc, kUtf8},      {"iso-2022-jp", "ab", "ab"},
        {"euc-jp", "\xA1\xC1", "\u301C"}, {"shift_jis", "\x81\x60", "\uFF5E"},
        {"euc-jp", "\x8F\xB0\xA1\x8F\xF3\xF3\x8F\xA2\xB7", "丂ⅰ～"},  // JIS X 0212, eucJP-ms
        {"iso-2022-jp", "\x1B$B!A-!\x1B(I6@\x1B(B", "\u301C①ｶﾀ"},
        {"UTF8", "ab", "ab"}, {"utf-8", "caf\xC3\xA9", "café"}, {"ISO-8859-1", "caf\xE9", "café"},
        {"us-ascii", "caf\xC3\xA9", "café"},  // mislabelled 8-bit text, read as the reader does
        {"x-no-such-charset", "abc", std::nullopt},  {"", "abc", std::nullopt},
        {"shift_jis", "a\x82", "a\uFFFD"}, {"euc-jp", "\xA4", "\uFFFD"},
        {"utf-8", "\xFF", "\uFFFD"},
        {"iso-2022-jp", "\x1B$B$", "\uFFFD"}, {"gb2312", "a\xFF", "a\uFFFD"}};
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(charsets::ToUtf8(row.charset, row.bytes), row.text)
            << row.charset << " " << Escaped(row.bytes);
    }
}

}  // namespace
}  // namespace zef::test
