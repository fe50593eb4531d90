#include "components/glyph/Charsets.h"

#include <gtest/gtest.h>

namespace zef {
namespace {

const std::string kSentence = "日本語のメールです。";

// python3: "日本語のメールです。".encode(<codec>) for the codec named in each literal.
const std::string kSentenceIso2022Jp =  // iso2022_jp
    "\x1B\x24\x42\x46\x7C\x4B\x5C\x38\x6C\x24\x4E\x25\x61\x21\x3C\x25\x6B\x24\x47\x24\x39\x21"
    "\x23\x1B\x28\x42";
const std::string kSentenceCp932 =  // cp932 (shift_jis gives the same bytes)
    "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x81\x81\x5B\x83\x8B\x82\xC5\x82\xB7\x81\x42";
const std::string kSentenceEucJp =  // euc_jp
    "\xC6\xFC\xCB\xDC\xB8\xEC\xA4\xCE\xA5\xE1\xA1\xBC\xA5\xEB\xA4\xC7\xA4\xB9\xA1\xA3";

TEST(CharsetsTest, JapaneseCharsetsByAnyOfTheirNames) {
    for (const char* name : {"iso-2022-jp", "ISO-2022-JP", "csISO2022JP", "iso-2022-jp-2"}) {
        EXPECT_EQ(charsets::ToUtf8(name, kSentenceIso2022Jp), kSentence) << name;
    }
    for (const char* name : {"shift_jis", "Shift_JIS", "sjis", "cp932", "windows-31j"}) {
        EXPECT_EQ(charsets::ToUtf8(name, kSentenceCp932), kSentence) << name;
    }
    for (const char* name : {"euc-jp", "EUC-JP"}) {
        EXPECT_EQ(charsets::ToUtf8(name, kSentenceEucJp), kSentence) << name;
    }
}

TEST(CharsetsTest, ReadsTheJapaneseMappingsAsPythonDoes) {
    // iso2022_jp reads 0x2141 as U+301C WAVE DASH; cp932 reads 0x8160 as U+FF5E.
    EXPECT_EQ(charsets::ToUtf8("iso-2022-jp", "\x1B$B!A\x1B(B"), "\xE3\x80\x9C");
    EXPECT_EQ(charsets::ToUtf8("shift_jis", "\x81\x60"), "\xEF\xBD\x9E");
    // euc_jp: b"\xa1\xc1" is U+301C as well.
    EXPECT_EQ(charsets::ToUtf8("euc-jp", "\xA1\xC1"), "\xE3\x80\x9C");
}

TEST(CharsetsTest, ReadsTheMailerExtensionsOfIso2022Jp) {
    // NEC row 13 (circled one is 0x2D21) and half-width katakana after ESC ( I:
    // iso2022_jp_ext gives "\x1b(I6@6E\x1b(B" for "ｶﾀｶﾅ".
    EXPECT_EQ(charsets::ToUtf8("iso-2022-jp", "\x1B$B-!\x1B(B"), "①");
    EXPECT_EQ(charsets::ToUtf8("iso-2022-jp", "\x1B(I6@6E\x1B(B"), "ｶﾀｶﾅ");
}

TEST(CharsetsTest, OtherCharsetsGoToTheConverter) {
    EXPECT_EQ(charsets::ToUtf8("utf-8", "caf\xC3\xA9"), "café");
    EXPECT_EQ(charsets::ToUtf8("ISO-8859-1", "caf\xE9"), "café");
    EXPECT_EQ(charsets::ToUtf8("us-ascii", "plain"), "plain");
    // Mislabelled 8-bit text is read as the Japanese reader reads it.
    EXPECT_EQ(charsets::ToUtf8("us-ascii", "caf\xC3\xA9"), "café");
}

TEST(CharsetsTest, UnknownCharsetsAreRefused) {
    EXPECT_EQ(charsets::ToUtf8("x-no-such-charset", "abc"), std::nullopt);
    EXPECT_EQ(charsets::ToUtf8("", "abc"), std::nullopt);
}

TEST(CharsetsTest, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(charsets::ToUtf8("shift_jis", "a\x82"), "a\xEF\xBF\xBD");
    EXPECT_EQ(charsets::ToUtf8("euc-jp", "\xA4"), "\xEF\xBF\xBD");
    EXPECT_EQ(charsets::ToUtf8("iso-2022-jp", "\x1B$B$"), "\xEF\xBF\xBD");
    EXPECT_EQ(charsets::ToUtf8("utf-8", "\xFF"), "\xEF\xBF\xBD");
    EXPECT_EQ(charsets::ToUtf8("gb2312", "a\xFF"), "a\xEF\xBF\xBD");  // ICU's own: U+001A
}

}  // namespace
}  // namespace zef
