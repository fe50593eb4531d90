#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "components/Codec.h"

namespace zef {
namespace {

class Base64 : public ::testing::Test {
  protected:
    Bytes Encode(Bytes data) { return codec_->EncodeBase64(data); }
    Bytes Decode(Bytes text) { return codec_->DecodeBase64(text); }

    std::unique_ptr<Codec> codec_ = MakeCodec();
};

Bytes AllByteValues() {
    Bytes bytes;
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
    }
    return bytes;
}

// Test vectors of RFC 4648, section 10.
TEST_F(Base64, Rfc4648VectorsBothWays) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Encode(plain), encoded) << plain;
        EXPECT_EQ(Decode(encoded), plain) << encoded;
    }
}

// Made with /usr/bin/python3: base64.b64encode(bytes(range(256))).
constexpr const char* kAllBytesEncoded =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNE"
    "RUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+"
    "AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/"
    "wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==";

TEST_F(Base64, EveryByteValueOnOneLine) {
    EXPECT_EQ(Encode(AllByteValues()), kAllBytesEncoded);
    EXPECT_EQ(Decode(kAllBytesEncoded), AllByteValues());
}

TEST_F(Base64, LongInputHasNoLineBreak) {
    Bytes data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 31 + 7);
    }
    Bytes encoded = Encode(data);
    EXPECT_EQ(encoded.size(), (data.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find_first_of("\r\n"), Bytes::npos);
    EXPECT_EQ(Decode(encoded), data);
}

TEST_F(Base64, ArgumentIsLeftAsItWas) {
    Bytes data = "foobar";
    codec_->EncodeBase64(data);
    EXPECT_EQ(data, "foobar");
    Bytes text = "Zm9vYmFy";
    codec_->DecodeBase64(text);
    EXPECT_EQ(text, "Zm9vYmFy");
}

// 58 bytes sent as a base64 body part: one line for the first 57 bytes, one for the last.
// Lines made with /usr/bin/python3: base64.b64encode(data[0:57]), base64.b64encode(data[57:]),
// data = bytes((i*7+3)%256 for i in range(58)).
TEST_F(Base64, BodyLinesDecodeOneByOne) {
    Bytes data;
    for (int i = 0; i < 58; ++i) {
        data += static_cast<char>((i * 7 + 3) % 256);
    }
    const Bytes first =
        "AwoRGB8mLTQ7QklQV15lbHN6gYiPlp2kq7K5wMfO1dzj6vH4/wYNFBsiKTA3PkVMU1phaG92fYSL";
    const Bytes second = "kg==";
    EXPECT_EQ(Encode(data.substr(0, 57)), first);
    EXPECT_EQ(Encode(data.substr(57)), second);
    EXPECT_EQ(Decode(first) + Decode(second), data);
}

TEST_F(Base64, DecodingSkipsWhiteSpaceAndForeignCharacters) {
    EXPECT_EQ(Decode("Zm9v\r\n"), "foo");
    EXPECT_EQ(Decode("  Zm 9v\tYmFy  "), "foobar");
    EXPECT_EQ(Decode("Zm9v!Yg*=="), "foob");
    EXPECT_EQ(Decode("\x80\xFFZm8=\x01"), "fo");
}

TEST_F(Base64, DecodingStopsAtPadding) {
    EXPECT_EQ(Decode("Zg==Zm9v"), "f");
    EXPECT_EQ(Decode("Zm9v=Zm9v"), "foo");
    EXPECT_EQ(Decode("===="), "");
}

TEST_F(Base64, UnfinishedGroupGivesTheWholeBytesItHolds) {
    EXPECT_EQ(Decode("Zm9vYg"), "foob");
    EXPECT_EQ(Decode("Zm9vYmE"), "fooba");
    EXPECT_EQ(Decode("Zm9vY"), "foo");
    EXPECT_EQ(Decode("Z"), "");
}

}  // namespace
}  // namespace zef
