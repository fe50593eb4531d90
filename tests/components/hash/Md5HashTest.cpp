#include <gtest/gtest.h>

#include "components/Hash.h"

namespace zef::test {
namespace {

// RFC 1321's test suite (appendix A.5); then pieces, the raw digest, and restarts.
TEST(Md5Hash, ReferenceVectorsPiecesAndRestarts) {
    const std::pair<Bytes, std::string> vectors[] = {
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
    auto hash = MakeMd5Hash();
    for (const auto& [input, digest] : vectors) {
        hash->HashInit();
        hash->HashUpdate(input);
        EXPECT_EQ(hash->HashFinalHex(), digest) << input;
    }
    hash->HashUpdate("message ");  // a digest ended by HashFinal starts afresh on its next use
    hash->HashUpdate("");
    hash->HashUpdate("digest");
    EXPECT_EQ(hash->HashFinalHex(), "f96b697d7cb7938d525a2f31aaf161d0");
    hash->HashInit();
    hash->HashUpdate("left over");
    hash->HashInit();  // discards a half-done digest
    hash->HashUpdate("abc");
    EXPECT_EQ(hash->HashFinalBytes(),
              "\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72");
    EXPECT_EQ(MakeMd5Hash()->HashFinalHex(), "d41d8cd98f00b204e9800998ecf8427e");  // no Init
}

}  // namespace
}  // namespace zef::test
