#include "tests/reliability/Secrets.h"

#include "components/Codec.h"
#include "components/Hash.h"

namespace zef::reliability {

namespace {

std::string Base64(std::string bytes) {
    return MakeCodec()->EncodeBase64(bytes);
}

}  // namespace

std::vector<SecretForm> PasswordForms(const std::string& user, const std::string& password) {
    return {
        {"the password", password},
        {"the password in base64 (LOGIN)", Base64(password)},
        {"\\0user\\0password in base64 (PLAIN)",
         Base64(std::string(1, '\0') + user + std::string(1, '\0') + password)},
    };
}

std::vector<SecretForm> CramMd5Forms(const std::string& user, const std::string& password,
                                     const Bytes& challenge) {
    Bytes key = password;
    auto hash = MakeMd5Hash();
    if (key.size() > 64) {
        hash->HashInit();
        hash->HashUpdate(key);
        key = hash->HashFinalBytes();
    }
    key.resize(64, '\0');
    Bytes inner;
    Bytes outer;
    for (char c : key) {
        inner += static_cast<char>(c ^ 0x36);
        outer += static_cast<char>(c ^ 0x5c);
    }
    hash->HashInit();
    hash->HashUpdate(inner + challenge);
    const Bytes innerDigest = hash->HashFinalBytes();
    hash->HashInit();
    hash->HashUpdate(outer + innerDigest);
    const std::string digest = hash->HashFinalHex();
    return {
        {"the CRAM-MD5 digest", digest},
        {"the CRAM-MD5 answer in base64", Base64(user + " " + digest)},
    };
}

Bytes CramChallengeFromTraces(const std::vector<std::string>& traces) {
    bool asked = false;
    for (const std::string& trace : traces) {
        const size_t reply = trace.find("334 ");
        if (trace.find(">>AUTH CRAM-MD5") != std::string::npos) {
            asked = true;
        } else if (asked && reply != std::string::npos) {
            Bytes encoded = trace.substr(reply + 4);
            while (!encoded.empty() && (encoded.back() == '\r' || encoded.back() == ' ')) {
                encoded.pop_back();
            }
            return MakeCodec()->DecodeBase64(encoded);
        }
    }
    return {};
}

std::vector<std::string> FormsFoundIn(const std::string& text,
                                      const std::vector<SecretForm>& forms) {
    std::vector<std::string> found;
    for (const SecretForm& form : forms) {
        if (!form.bytes.empty() && text.find(form.bytes) != std::string::npos) {
            found.push_back(form.name);
        }
    }
    return found;
}

}  // namespace zef::reliability
