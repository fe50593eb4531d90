// SCRAM-SHA-256, client side, with OpenSSL's PBKDF2, HMAC and SHA-256.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <cctype>
#include <climits>
#include <string>

#include "components/codec/Base64.h"
#include "components/sasl/Sasl.h"

namespace zef::sasl {

namespace {

constexpr long kMinIterations = 4096;      // RFC 7677's floor
constexpr long kMaxIterations = 10000000;  // more than any server uses; bounds a client's work
constexpr size_t kNonceBytes = 18;
constexpr size_t kDigestBytes = SHA256_DIGEST_LENGTH;

std::string Hmac(std::string_view key, std::string_view data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data(), &length);
    return std::string(reinterpret_cast<const char*>(digest.data()), length);
}

std::string Sha256(std::string_view data) {
    std::array<unsigned char, kDigestBytes> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string RandomNonce() {
    std::array<unsigned char, kNonceBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        return {};
    }
    return codec::EncodeBase64(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Strict base64: whole groups of the alphabet, "=" only as the final padding.
std::optional<std::string> StrictBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) {
        return std::nullopt;
    }
    const size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        const char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') {
            return std::nullopt;
        }
    }
    return codec::DecodeBase64(text);
}

// The value of attribute `name` in a comma-separated SCRAM message, and whether it is there.
std::optional<std::string_view> Attribute(std::string_view message, char name) {
    while (!message.empty()) {
        const size_t comma = message.find(',');
        const std::string_view item = message.substr(0, comma);
        if (item.size() >= 2 && item[0] == name && item[1] == '=') {
            return item.substr(2);
        }
        if (comma == std::string_view::npos) {
            break;
        }
        message.remove_prefix(comma + 1);
    }
    return std::nullopt;
}

std::optional<long> Iterations(std::string_view digits) {
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return std::stol(std::string(digits));
}

}  // namespace

ScramSha256::ScramSha256(const std::string& user, const std::string& password, std::string nonce)
    : nonce_(nonce.empty() ? RandomNonce() : std::move(nonce)) {
    const auto preparedUser = SaslPrep(user);
    const auto preparedPassword = SaslPrep(password);
    if (!preparedUser || !preparedPassword) {
        error_ = !preparedUser ? "the user name holds characters SASLprep does not allow"
                               : "the password holds characters SASLprep does not allow";
    }
    user_ = EscapeSaslName(preparedUser.value_or(user));
    password_ = preparedPassword.value_or(std::string());
}

std::string ScramSha256::ClientFirst() const {
    return "n,,n=" + user_ + ",r=" + nonce_;
}

std::optional<std::string> ScramSha256::ClientFinal(std::string_view serverFirst) {
    if (!error_.empty()) {
        return std::nullopt;
    }
    const auto fail = [this](const char* why) -> std::optional<std::string> {
        error_ = std::string("the server's SCRAM challenge ") + why;
        return std::nullopt;
    };
    if (serverFirst.starts_with("m=")) {
        return fail("asks for an extension this client does not know");
    }
    const auto nonce = Attribute(serverFirst, 'r');
    const auto salt64 = Attribute(serverFirst, 's');
    const auto count = Attribute(serverFirst, 'i');
    if (!nonce || !salt64 || !count) {
        return fail("lacks its nonce, salt or iteration count");
    }
    if (nonce->size() <= nonce_.size() || !nonce->starts_with(nonce_)) {
        return fail("does not extend the client's nonce");
    }
    const auto iterations = Iterations(*count);
    if (!iterations || *iterations < kMinIterations || *iterations > kMaxIterations) {
        return fail("has an unsafe iteration count");
    }
    const auto salt = StrictBase64(*salt64);
    if (!salt) {
        return fail("has a salt that is not base64");
    }
    std::array<unsigned char, kDigestBytes> salted{};
    if (PKCS5_PBKDF2_HMAC(password_.data(), static_cast<int>(password_.size()),
                          reinterpret_cast<const unsigned char*>(salt->data()),
                          static_cast<int>(salt->size()), static_cast<int>(*iterations),
                          EVP_sha256(), static_cast<int>(salted.size()), salted.data()) != 1) {
        return fail("could not be answered (PBKDF2 failed)");
    }
    const std::string saltedPassword(reinterpret_cast<const char*>(salted.data()), salted.size());
    const std::string withoutProof = "c=biws,r=" + std::string(*nonce);
    const std::string authMessage =
        ClientFirst().substr(3) + "," + std::string(serverFirst) + "," + withoutProof;
    const std::string clientKey = Hmac(saltedPassword, "Client Key");
    const std::string signature = Hmac(Sha256(clientKey), authMessage);
    std::string proof = clientKey;
    for (size_t i = 0; i < proof.size(); ++i) {
        proof[i] = static_cast<char>(proof[i] ^ signature[i]);
    }
    serverSignature_ = Hmac(Hmac(saltedPassword, "Server Key"), authMessage);
    return withoutProof + ",p=" + codec::EncodeBase64(proof);
}

bool ScramSha256::ServerFinalIsValid(std::string_view serverFinal) {
    if (const auto error = Attribute(serverFinal, 'e'); error && serverFinal.starts_with("e=")) {
        error_ = "the server refused the SCRAM login: ";
        for (const char c : error->substr(0, 100)) {
            error_ += c >= 0x20 && c < 0x7F ? c : '?';
        }
        return false;
    }
    const auto verifier = Attribute(serverFinal, 'v');
    if (serverSignature_.empty() || !verifier || !serverFinal.starts_with("v=") ||
        StrictBase64(*verifier) != serverSignature_) {
        error_ = "the server's SCRAM signature is wrong: it may not know the password";
        return false;
    }
    return true;
}

}  // namespace zef::sasl
