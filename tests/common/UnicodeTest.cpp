#include "common/Unicode.h"

#include <gtest/gtest.h>

namespace zef {
namespace {

TEST(Unicode, Utf8RoundTripIncludingAstralCharacters) {
    std::string utf8 = "日本語 text \xF0\x9F\x98\x80";  // U+1F600 needs a surrogate pair
    Text text = Utf8ToText(utf8);
    EXPECT_EQ(text.size(), 3u + 6u + 2u);
    EXPECT_EQ(TextToUtf8(text), utf8);
}

TEST(Unicode, InvalidUtf8BecomesReplacementCharacter) {
    Text text = Utf8ToText(
        "a\xFF"
        "b");
    EXPECT_EQ(text, u"a\uFFFDb");
}

TEST(Unicode, Utf16LeByteArrays) {
    Bytes bytes = TextToUtf16Le(u"a\u3042");
    EXPECT_EQ(bytes, std::string("a\0\x42\x30", 4));
    EXPECT_EQ(Utf16LeToText(bytes), u"a\u3042");
    EXPECT_EQ(Utf16LeToText(bytes + "x"), u"a\u3042");  // odd trailing byte ignored
}

}  // namespace
}  // namespace zef
