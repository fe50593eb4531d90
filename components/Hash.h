// MD5, for the CRAM-MD5 answer of the sending control and the APOP digest of the receiving one.
#pragma once

#include <memory>
#include <string>

#include "common/Types.h"

namespace zef {

class Hash {
  public:
    virtual ~Hash() = default;

    virtual void HashInit() = 0;  // starts a new digest
    virtual void HashUpdate(const Bytes& data) = 0;
    virtual Bytes HashFinalBytes() = 0;      // ends it: the 16 raw bytes
    virtual std::string HashFinalHex() = 0;  // ends it: 32 lower-case hex digits
};

std::unique_ptr<Hash> MakeMd5Hash();

}  // namespace zef
