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

TEST(Md5Hash, HashesEveryByteValueIncludingNul) {
    Bytes allBytes;
    for (int value = 0; value < 256; ++value) {
        allBytes += static_cast<char>(value);
    }
    // Reference: the MD5 of the 256 byte values 0x00..0xFF in order.
    EXPECT_EQ(Md5Hex(allBytes), "e2c865db4162bed963bfaa9ef6ac18f0");
}

// Updates in pieces, the raw digest, and when a digest starts afresh.
TEST(Md5Hash, PiecesRawBytesAndRestarts) {
    auto hash = MakeMd5Hash();
    hash->HashInit();
    hash->HashUpdate("message ");
    hash->HashUpdate("");
    hash->HashUpdate("digest");
    EXPECT_EQ(hash->HashFinalHex(), "f96b697d7cb7938d525a2f31aaf161d0");

    hash->HashInit();
    hash->HashUpdate("abc");
    const Bytes raw = hash->HashFinalBytes();
    ASSERT_EQ(raw.size(), 16u);
    EXPECT_EQ(ToHex(raw), "900150983cd24fb0d6963f7d28e17f72");

    hash->HashInit();  // discards a half-done digest
    hash->HashUpdate("left over");
    hash->HashInit();
    hash->HashUpdate("abc");
    EXPECT_EQ(hash->HashFinalHex(), "900150983cd24fb0d6963f7d28e17f72");
    // After a final, the next use starts a new digest even without HashInit.
    hash->HashUpdate("a");
    EXPECT_EQ(hash->HashFinalHex(), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(hash->HashFinalHex(), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
}  // namespace zef
