#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "components/Hash.h"

namespace zef {
namespace {

std::string Md5Hex(const Bytes& data) {
    auto hash = MakeMd5Hash();
    hash->HashInit();
    hash->HashUpdate(data);
    return hash->HashFinalHex();
}

std::string ToHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        hex += kDigits[value >> 4];
        hex += kDigits[value & 0x0F];
    }
    return hex;
}

// HMAC-MD5 built by hand from the hash component, the way the CRAM-MD5 answer is built.
std::string HmacMd5Hex(Hash& hash, Bytes key, const Bytes& message) {
    if (key.size() > 64) {
        hash.HashInit();
        hash.HashUpdate(key);
        key = hash.HashFinalBytes();
    }
    key.resize(64, '\0');
    Bytes innerPad = key;
    Bytes outerPad = key;
    for (size_t i = 0; i < 64; ++i) {
        innerPad[i] = static_cast<char>(innerPad[i] ^ 0x36);
        outerPad[i] = static_cast<char>(outerPad[i] ^ 0x5C);
    }
    hash.HashInit();
    hash.HashUpdate(innerPad + message);
    const Bytes inner = hash.HashFinalBytes();
    hash.HashInit();
    hash.HashUpdate(outerPad + inner);
    return hash.HashFinalHex();
}

TEST(Md5Hash, MatchesTheReferenceVectors) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, digest] : vectors) {
        EXPECT_EQ(Md5Hex(input), digest) << "input: \"" << input << "\"";
    }
}

TEST(Md5Hash, FinalBytesAreTheRawFormOfTheHexDigest) {
    auto hash = MakeMd5Hash();
    hash->HashInit();
    hash->HashUpdate("abc");
    const Bytes raw = hash->HashFinalBytes();
    ASSERT_EQ(raw.size(), 16u);
    EXPECT_EQ(ToHex(raw), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Hash, UpdatesInPiecesEqualOneUpdate) {
    auto hash = MakeMd5Hash();
    hash->HashInit();
    hash->HashUpdate("message ");
    hash->HashUpdate("");
    hash->HashUpdate("digest");
    EXPECT_EQ(hash->HashFinalHex(), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(Md5Hash, HashesEveryByteValueIncludingNul) {
    Bytes allBytes;
    for (int value = 0; value < 256; ++value) {
        allBytes += static_cast<char>(value);
    }
    // Reference: the MD5 of the 256 byte values 0x00..0xFF in order.
    EXPECT_EQ(Md5Hex(allBytes), "e2c865db4162bed963bfaa9ef6ac18f0");
}

TEST(Md5Hash, InitDiscardsAHalfDoneDigestAndFinalEndsIt) {
    auto hash = MakeMd5Hash();
    hash->HashInit();
    hash->HashUpdate("left over");
    hash->HashInit();
    hash->HashUpdate("abc");
    EXPECT_EQ(hash->HashFinalHex(), "900150983cd24fb0d6963f7d28e17f72");

    // After a final, the next use starts a new digest even without HashInit.
    hash->HashUpdate("a");
    EXPECT_EQ(hash->HashFinalHex(), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(hash->HashFinalHex(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5Hash, BuildsTheCramMd5AnswerOfTheReferenceExample) {
    auto hash = MakeMd5Hash();
    EXPECT_EQ(HmacMd5Hex(*hash, "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
              "b913a602c7eda7a495b4e6e7334d3890");
}

TEST(Md5Hash, BuildsHmacWithAKeyLongerThanOneBlock) {
    // RFC 2202 test case 6: an 80-byte key of 0xAA is first reduced to its digest.
    auto hash = MakeMd5Hash();
    EXPECT_EQ(HmacMd5Hex(*hash, Bytes(80, '\xAA'),
                         "Test Using Larger Than Block-Size Key - Hash Key First"),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
}

}  // namespace
}  // namespace zef
