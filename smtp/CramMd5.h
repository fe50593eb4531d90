// The HMAC-MD5 digest of a CRAM-MD5 answer (RFC 2195 with RFC 2104).
#pragma once

#include <string>

#include "common/Types.h"
#include "components/Hash.h"

namespace zef::smtp {

// HMAC-MD5 of the challenge under the key, as 32 lower-case hex digits. A key longer than the
// 64-byte block is first replaced by its MD5 digest.
std::string CramMd5Digest(Hash& md5, Bytes key, const Bytes& challenge);

}  // namespace zef::smtp
