// The forms in which a password could leak into a trace, a log or a message: the password
// itself and the encodings the controls put on the wire for it.
#pragma once

#include <string>
#include <vector>

#include "common/Types.h"

namespace zef::reliability {

struct SecretForm {
    std::string name;   // what it is, for the failure message
    std::string bytes;  // what must not appear
};

// The password (UTF-8, as the host code page sends it), its base64 (AUTH LOGIN), and the base64
// of "\0user\0password" (AUTH PLAIN).
std::vector<SecretForm> PasswordForms(const std::string& user, const std::string& password);

// The CRAM-MD5 answer to `challenge`: the HMAC-MD5 digest in hex, and the base64 of the user
// name, a space and the digest.
std::vector<SecretForm> CramMd5Forms(const std::string& user, const std::string& password,
                                     const Bytes& challenge);

// The challenge of the first "334 " reply after ">>AUTH CRAM-MD5" in a list of trace lines
// (which may carry a prefix of their own), decoded; empty when there is none.
Bytes CramChallengeFromTraces(const std::vector<std::string>& traces);

// The names of the forms found in `text`.
std::vector<std::string> FormsFoundIn(const std::string& text,
                                      const std::vector<SecretForm>& forms);

}  // namespace zef::reliability
