#include <gtest/gtest.h>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/Glyph.h"
#include "tests/components/glyph/JapaneseLetter.h"

namespace zef {
namespace {

class TextToJisTest : public ::testing::Test {
  protected:
    Bytes ToJis(Text text) { return glyph->TextToJis(text); }
    Bytes ToJis(const std::string& utf8) { return ToJis(Utf8ToText(utf8)); }

    std::unique_ptr<Glyph> glyph = MakeGlyph();
};

TEST_F(TextToJisTest, AsciiAndLineBreaksStaySingleBytes) {
    Text text;
    Bytes expected;
    for (int c = 0; c < 0x80; ++c) {
        text.push_back(static_cast<char16_t>(c));
        expected.push_back(static_cast<char>(c));
    }
    EXPECT_EQ(ToJis(text), expected);
    EXPECT_EQ(ToJis(std::string("Subject: hello\r\n\r\n")), "Subject: hello\r\n\r\n");
}

TEST_F(TextToJisTest, WritesWhatPythonWritesWithTheAsciiDesignation) {
    glyph->KanjiOutEscape("(B");
    EXPECT_EQ(ToJis(test::kLetterUtf8), test::kLetterIso2022Jp);
}

TEST_F(TextToJisTest, UsesTheConfiguredDesignations) {
    // python3: "あいう".encode("iso2022_jp") is ESC $ B "$\"$$$&" ESC ( B
    EXPECT_EQ(ToJis(std::string("あいう")), "\x1B$B$\"$$$&\x1B(J");
    glyph->KanjiInEscape("$@");
    glyph->KanjiOutEscape("(B");
    EXPECT_EQ(ToJis(std::string("あいう")), "\x1B$@$\"$$$&\x1B(B");
}

TEST_F(TextToJisTest, EveryLineEndsInTheOneByteSet) {
    const Bytes bytes = ToJis(std::string("日本\r\n語\r\nabc語"));
    EXPECT_EQ(bytes, "\x1B$BF|K\\\x1B(J\r\n\x1B$B8l\x1B(J\r\nabc\x1B$B8l\x1B(J");
}

TEST_F(TextToJisTest, WritesTheCharactersJapaneseMailersUse) {
    struct Case {
        const char* text;
        const char* bytes;
    };
    const Case cases[] = {
        {"カタカナ", "\x1B$B%+%?%+%J\x1B(J"},  // python3 iso2022_jp
        {"漢字", "\x1B$B4A;z\x1B(J"},          // python3 iso2022_jp
        {"〜", "\x1B$B!A\x1B(J"},              // python3 iso2022_jp: U+301C is 0x2141
        {"～", "\x1B$B!A\x1B(J"},              // U+FF5E: CP932 0x8160, the same JIS code
        {"①", "\x1B$B-!\x1B(J"},               // NEC row 13, the well-known 0x2D21
        {"㈱", "\x1B$B-j\x1B(J"},              // python3 cp932 0x878A: row 13 cell 74
        {"髙", "\x1B$B|b\x1B(J"},              // python3 cp932 0xEEE0: row 92 cell 66
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToJis(std::string(c.text)), c.bytes) << c.text;
    }
}

TEST_F(TextToJisTest, HalfWidthKatakanaBecomeFullWidth) {
    // python3: "ガギ".encode("iso2022_jp") and "゛ー".encode("iso2022_jp")
    EXPECT_EQ(ToJis(std::string("ｶﾞｷﾞ")), "\x1B$B%,%.\x1B(J");
    EXPECT_EQ(ToJis(std::string("ﾞｰ")), "\x1B$B!+!<\x1B(J");
}

TEST_F(TextToJisTest, CharactersOutsideTheRepertoireBecomeQuestionMarks) {
    EXPECT_EQ(ToJis(std::string("café")), "caf?");
    EXPECT_EQ(ToJis(std::string("😀!")), "?!");                 // one per code point
    EXPECT_EQ(ToJis(std::string("あé")), "\x1B$B$\"\x1B(J?");  // back to one byte first
    EXPECT_EQ(ToJis(std::string("ﬁne")), "fine");              // compatibility form
    EXPECT_EQ(ToJis(Text(u"a\xDC00"
                         u"b")),
              "a?b");  // lone low surrogate
}

TEST_F(TextToJisTest, KeepsAHighSurrogateAtTheEndForTheNextPiece) {
    Text buffer = u"\u3042\xD83D";
    EXPECT_EQ(glyph->TextToJis(buffer), "\x1B$B$\"\x1B(J");
    EXPECT_EQ(buffer, Text(u"\xD83D"));
    buffer += u"\xDE00";
    EXPECT_EQ(glyph->TextToJis(buffer), "?");
    EXPECT_TRUE(buffer.empty());
}

TEST_F(TextToJisTest, PiecesGiveTheSameTextAsTheWhole) {
    const Text whole = Utf8ToText("件名：😀会議\r\nｶﾞｲﾄﾞ①髙～end");
    Bytes all = ToJis(whole);
    const Text expected = glyph->JisToText(all);
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

TEST_F(TextToJisTest, RefusesDesignationsThatCannotFollowEsc) {
    for (const char* bad : {"", "\x1B$B", "$ B", "(JJJ"}) {
        try {
            glyph->KanjiInEscape(bad);
            ADD_FAILURE() << "accepted \"" << bad << "\"";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), error::kInvalidValue);
        }
        EXPECT_THROW(glyph->KanjiOutEscape(bad), Error);
    }
    EXPECT_EQ(ToJis(std::string("あ")), "\x1B$B$\"\x1B(J");  // the setting is unchanged
}

}  // namespace
}  // namespace zef
