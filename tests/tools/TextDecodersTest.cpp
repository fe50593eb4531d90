#include "tools/zefmail/TextDecoders.h"

#include <gtest/gtest.h>

#include <vector>

namespace zef::zefmail {
namespace {

struct RecordingAny2Unicode {
    std::vector<Bytes>* calls;
    Text operator()(const Bytes& bytes) const {
        calls->push_back(bytes);
        return Text(bytes.begin(), bytes.end());
    }
};

std::string Decode(TextDecoder& decoder, const std::vector<Bytes>& pieces) {
    std::string out;
    for (const auto& piece : pieces) {
        out += decoder.Feed(piece);
    }
    return out + decoder.Finish();
}

TEST(TextDecoders, DeclaredCharsetsAreReadByName) {
    std::vector<Bytes> calls;
    auto utf8 = MakeTextDecoder("UTF-8", RecordingAny2Unicode{&calls});
    EXPECT_EQ(Decode(*utf8, {"\xE6", "\x97\xA5", "!"}), "日!");
    auto latin1 = MakeTextDecoder("iso-8859-1", RecordingAny2Unicode{&calls});
    EXPECT_EQ(Decode(*latin1, {"caf\xE9"}), "café");
    auto koi8 = MakeTextDecoder("koi8-r", RecordingAny2Unicode{&calls});
    EXPECT_EQ(Decode(*koi8, {"\xF0\xD2\xC9"}), "При");
    EXPECT_TRUE(calls.empty());
}

TEST(TextDecoders, JapaneseUndeclaredAndUnknownCharsetsGoThroughAny2UnicodeInWholeLines) {
    for (const char* charset : {"ISO-2022-JP", "shift_jis", "euc-jp", "", "x-unknown-charset"}) {
        std::vector<Bytes> calls;
        auto decoder = MakeTextDecoder(charset, RecordingAny2Unicode{&calls});
        EXPECT_EQ(Decode(*decoder, {"ab", "c\r\nde", "f\r\n", "tail"}), "abc\r\ndef\r\ntail");
        EXPECT_EQ(calls, (std::vector<Bytes>{"abc\r\n", "def\r\n", "tail"})) << charset;
    }
}

}  // namespace
}  // namespace zef::zefmail
