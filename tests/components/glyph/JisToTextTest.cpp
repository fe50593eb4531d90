#include <gtest/gtest.h>

#include "common/Unicode.h"
#include "components/Glyph.h"
#include "tests/components/glyph/JapaneseLetter.h"

namespace zef {
namespace {

class JisToTextTest : public ::testing::Test {
  protected:
    // The text as UTF-8, which reads better in failure messages than UTF-16.
    std::string Read(Bytes bytes) { return TextToUtf8(glyph->JisToText(bytes)); }

    std::unique_ptr<Glyph> glyph = MakeGlyph();
};

TEST_F(JisToTextTest, AsciiBytesBecomeTheSameCharacters) {
    Bytes bytes;
    Text expected;
    for (int c = 0; c < 0x80; ++c) {
        if (c != 0x1B && c != 0x0E && c != 0x0F) {  // ESC, SO and SI shift
            bytes.push_back(static_cast<char>(c));
            expected.push_back(static_cast<char16_t>(c));
        }
    }
    Bytes buffer = bytes;
    EXPECT_EQ(glyph->JisToText(buffer), expected);
    EXPECT_TRUE(buffer.empty());
}

TEST_F(JisToTextTest, ReadsIso2022JpWithEitherDesignationOfEachSet) {
    EXPECT_EQ(Read(test::kLetterIso2022Jp), test::kLetterUtf8);
    // ESC $ @ is the older name of the two-byte set; ESC ( J is read as ASCII, not as
    // JIS-Roman (where Python reads "\\~" as "¥‾"), so ASCII bytes keep their meaning.
    EXPECT_EQ(Read("\x1B$@$\"\x1B(J\\~"), "あ\\~");
    EXPECT_EQ(Read("\x1B&@\x1B$B$\"\x1B(B"), "あ");  // the revision prefix is skipped
}

TEST_F(JisToTextTest, ReadsTheChineseAndKoreanSetsOfIso2022Jp2) {
    // Python's iso2022_jp_2 writes "简体中文 한국어" so: GB 2312 only where JIS X 0208 lacks the
    // character, KS C 5601 for the Hangul. ESC $ A is the short designation of GB 2312.
    EXPECT_EQ(Read("\x1B$(A<r\x1B$BBNCfJ8\x1B(B \x1B$(CGQ19>n\x1B(B"), "简体中文 한국어");
    EXPECT_EQ(Read("\x1B$A<r\x1B(B"), "简");
    EXPECT_EQ(Read("\x1B$(C!!\x7F\x1B(B"), "\u3000\x7F");  // a control byte inside the run
}

TEST_F(JisToTextTest, ReadsTheExtensionsOfJapaneseMailers) {
    EXPECT_EQ(Read("\x1B$B-!-j|b!A\x1B(B"), "①㈱髙〜");  // NEC row 13, NEC-selected IBM row
    // python3 iso2022_jp_ext: "ｶﾀｶﾅ" is ESC ( I "6@6E" ESC ( B; SO and SI do the same.
    EXPECT_EQ(Read("\x1B(I6@6E\x1B(B!"), "ｶﾀｶﾅ!");
    EXPECT_EQ(Read("a\x0E"
                   "6@\x0F"
                   "b"),
              "aｶﾀb");
    EXPECT_EQ(Read("\x1B$(D0!\x1B(B"), "丂");  // python3 iso2022_jp_1: JIS X 0212
}

TEST_F(JisToTextTest, TextToJisGivesTheBytesBack) {
    for (const char* sent : {"\x1B$B$\"$$$&\x1B(J", "abc \x1B$B4A;z\x1B(J def",
                             "\x1B$B-!-j|b!A\x1B(J", "\x1B$B%,%.\x1B(J\r\n"}) {
        Bytes bytes = sent;
        Text text = glyph->JisToText(bytes);
        EXPECT_EQ(glyph->TextToJis(text), sent);
    }
}

TEST_F(JisToTextTest, ReadsLinesInTheEightBitEncodings) {
    const std::string subject = "件名：会議";
    EXPECT_EQ(Read("\xE4\xBB\xB6\xE5\x90\x8D\xEF\xBC\x9A\xE4\xBC\x9A\xE8\xAD\xB0"), subject);
    EXPECT_EQ(Read("\x8C\x8F\x96\xBC\x81\x46\x89\xEF\x8B\x63"), subject);  // python3 cp932
    EXPECT_EQ(Read("\xB7\xEF\xCC\xBE\xA1\xA7\xB2\xF1\xB5\xC4"), subject);  // python3 euc_jp
}

TEST_F(JisToTextTest, ReadsEscapeRunsAndUtf8OnOneLine) {
    // A header line after encoded words were decoded: ISO-2022-JP of "会議" (python3) and
    // UTF-8 of "件名".
    EXPECT_EQ(Read("Subject: \x1B$B2q5D\x1B(B / \xE4\xBB\xB6\xE5\x90\x8D"), "Subject: 会議 / 件名");
}

TEST_F(JisToTextTest, ShortLinesFollowTheLastCertainEncoding) {
    // 0xB1 0xB2 is "ｱｲ" in cp932 and "渦" in euc_jp (python3). Alone it reads as EUC-JP,
    // which is likelier than half-width katakana; after a line that was certainly
    // Shift_JIS, as Shift_JIS.
    EXPECT_EQ(Read("\xB1\xB2"), "渦");
    EXPECT_EQ(Read("\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD"), "こんにちは");  // cp932
    EXPECT_EQ(Read("\xB1\xB2"), "ｱｲ");
    // A line that is certainly UTF-8 takes over.
    EXPECT_EQ(Read("\xE4\xBC\x9A\xE8\xAD\xB0"), "会議");
    EXPECT_EQ(Read("caf\xC3\xA9"), "café");
}

TEST_F(JisToTextTest, MalformedInputGivesDefinedText) {
    struct Case {
        Bytes bytes;
        std::string text;
    };
    const Case cases[] = {
        {"abc\x1B", "abc\x1B"},  // a cut-off escape stays as its characters
        {"abc\x1B$", "abc\x1B$"},
        {"\x1B$(G!", "\x1B$(G!"},       // an unknown designation (CNS 11643) too
        {"\x1B$B$", "\xEF\xBF\xBD"},    // half a two-byte code
        {"\x1B$B\"/", "\xEF\xBF\xBD"},  // an unassigned code (row 2 cell 15)
        {"\x1B$B$\"\n$\"", "あ\n$\""},  // a line break ends the two-byte run
        {"\x1B(I~", "\xEF\xBF\xBD"},    // no katakana at 0x7E
        {"a\x80z",
         "a\xEF\xBF\xBD"
         "z"},  // bytes valid in no Japanese encoding
        {"a\xFF", "a\xEF\xBF\xBD"},
        {Bytes("\x1B$B\0$\"", 6), std::string("\0あ", 4)},  // a control byte in a run
    };
    for (const Case& c : cases) {
        Bytes bytes = c.bytes;
        EXPECT_EQ(TextToUtf8(glyph->JisToText(bytes)), c.text);
        EXPECT_TRUE(bytes.empty());
    }
}

}  // namespace
}  // namespace zef

namespace zef {
namespace {

// Plain lines are told apart eight bytes at a time: an escape sequence, SO or SI anywhere in a
// line still takes it off the plain path.
TEST(PlainLines, ShiftsAreSeenAtEveryOffset) {
    std::unique_ptr<Glyph> glyph = MakeGlyph();
    for (size_t before = 0; before <= 17; ++before) {
        for (size_t after = 0; after <= 9; ++after) {
            const Bytes head(before, 'a');
            const Bytes tail(after, 'b');
            const Text headText(before, u'a');
            const Text tailText(after, u'b');
            Bytes line = head + "\x1B$B$3\x1B(B" + tail;
            EXPECT_EQ(glyph->JisToText(line), headText + u"\u3053" + tailText) << before;
            line = head + "\x0E\x31\x0F" + tail;
            EXPECT_EQ(glyph->JisToText(line), headText + u"\uFF71" + tailText) << before;
            line = head + tail;
            EXPECT_EQ(glyph->JisToText(line), headText + tailText) << before;
        }
    }
}

// A line read whole takes its two-byte runs pair by pair in one pass; bytes that arrive one
// at a time (AnyToAnsi on a growing buffer) take them character by character. Both readings
// agree at every edge of a run: control bytes and line ends inside it, a byte outside the
// printable range, an unassigned code, JIS X 0212, a run cut off by the end of the line.
TEST(TwoByteRuns, ReadWholeOrByteByByteAlike) {
    const Bytes lines[] = {
        "\x1B$B$3$s$K$A$O\x1B(B done", "\x1B$B$3\t$s\x7F$K\x1B(B", "\x1B$B$3\r\n$s$K\r\n",
        "\x1B$B$3\x80$s\x1B(B",        "\x1B$B\x7E\x7E$3\x1B(B",   "\x1B$(D\x30\x21\x30\x22\x1B(B",
        "\x1B$B$3$\x1B(Bx\r\n",        "\x1B$B$3$s$K$\r\n",
    };
    for (const Bytes& line : lines) {
        std::unique_ptr<Glyph> whole = MakeGlyph();
        Bytes copy = line;
        const Text expected = whole->JisToText(copy);

        std::unique_ptr<Glyph> streamed = MakeGlyph();
        Bytes buffer;
        std::string utf8;
        for (char byte : line) {
            buffer.push_back(byte);
            utf8 += streamed->AnyToAnsi(buffer);
        }
        EXPECT_EQ(Utf8ToText(utf8), expected) << testing::PrintToString(line);
    }
    std::unique_ptr<Glyph> glyph = MakeGlyph();
    Bytes line = "\x1B$B$3\t$s\x7F$K\x1B(B";
    EXPECT_EQ(glyph->JisToText(line), u"\u3053\t\u3093\x7F\u306b");
    line = "\x1B$B\x7E\x7E$3\x1B(B";
    EXPECT_EQ(glyph->JisToText(line), u"\uFFFD\u3053");
    line = "\x1B$(D\x30\x21\x30\x22\x1B(B";
    EXPECT_EQ(glyph->JisToText(line), u"\u4E02\u4E04");
}

}  // namespace
}  // namespace zef
