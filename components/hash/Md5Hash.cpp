// MD5 through OpenSSL's EVP interface (the low-level MD5_* calls are deprecated in OpenSSL 3).
#include <openssl/evp.h>

#include <array>
#include <memory>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/Hash.h"

namespace zef {

namespace {

constexpr const char* kSource = "zef.Hash";

[[noreturn]] void ThrowCryptoFailure(const char* what) {
    throw Error(error::kInvalidArgument, kSource,
                AsciiToText(std::string("MD5 is not available: ") + what + " failed"));
}

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

class Md5Hash final : public Hash {
  public:
    Md5Hash() : context_(EVP_MD_CTX_new()) {
        if (!context_) {
            ThrowCryptoFailure("EVP_MD_CTX_new");
        }
    }

    void HashInit() override {
        if (EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) != 1) {
            ThrowCryptoFailure("EVP_DigestInit_ex");
        }
        started_ = true;
    }

    void HashUpdate(const Bytes& data) override {
        StartIfNeeded();
        if (EVP_DigestUpdate(context_.get(), data.data(), data.size()) != 1) {
            ThrowCryptoFailure("EVP_DigestUpdate");
        }
    }

    Bytes HashFinalBytes() override {
        StartIfNeeded();
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1) {
            ThrowCryptoFailure("EVP_DigestFinal_ex");
        }
        started_ = false;
        return Bytes(reinterpret_cast<const char*>(digest.data()), length);
    }

    std::string HashFinalHex() override {
        static constexpr char kDigits[] = "0123456789abcdef";
        const Bytes digest = HashFinalBytes();
        std::string hex;
        hex.reserve(digest.size() * 2);
        for (const char byte : digest) {
            const auto value = static_cast<unsigned char>(byte);
            hex += kDigits[value >> 4];
            hex += kDigits[value & 0x0F];
        }
        return hex;
    }

  private:
    // A digest ended by HashFinal*, or never begun, starts afresh on its next use, so a
    // caller that skips HashInit still gets the digest of exactly what it passed.
    void StartIfNeeded() {
        if (!started_) {
            HashInit();
        }
    }

    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
    bool started_ = false;
};

}  // namespace

std::unique_ptr<Hash> MakeMd5Hash() {
    return std::make_unique<Md5Hash>();
}

}  // namespace zef
