// SHA-256 and base64 through OpenSSL.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace zef::zefmail {

// A SHA-256 digest fed in pieces.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::string_view data);
    // Ends the digest: 64 lower-case hex digits.
    std::string FinalHex();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Standard base64 with padding, no line breaks.
std::string Base64(std::string_view data);

}  // namespace zef::zefmail
