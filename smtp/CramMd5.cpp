#include "smtp/CramMd5.h"

#include <algorithm>
#include <cctype>

namespace zef::smtp {

namespace {

constexpr size_t kBlockBytes = 64;
constexpr char kInnerPad = 0x36;
constexpr char kOuterPad = 0x5C;

Bytes Padded(const Bytes& key, char pad) {
    Bytes padded(kBlockBytes, '\0');
    std::copy(key.begin(), key.end(), padded.begin());
    for (char& byte : padded) {
        byte = static_cast<char>(byte ^ pad);
    }
    return padded;
}

}  // namespace

std::string CramMd5Digest(Hash& md5, Bytes key, const Bytes& challenge) {
    if (key.size() > kBlockBytes) {
        md5.HashInit();
        md5.HashUpdate(key);
        key = md5.HashFinalBytes();
    }
    md5.HashInit();
    md5.HashUpdate(Padded(key, kInnerPad));
    md5.HashUpdate(challenge);
    const Bytes inner = md5.HashFinalBytes();

    md5.HashInit();
    md5.HashUpdate(Padded(key, kOuterPad));
    md5.HashUpdate(inner);
    std::string digest = md5.HashFinalHex();
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return digest;
}

}  // namespace zef::smtp
