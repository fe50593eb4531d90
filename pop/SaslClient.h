// One SASL login over POP3 AUTH (RFC 5034), client side: the AUTH argument and the line that
// answers each continuation of the server. Pure logic, free of I/O; the lines are base64 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/Types.h"
#include "components/Codec.h"
#include "components/sasl/Sasl.h"

namespace zef::pop {

enum class SaslKind { Plain, XOAuth2, OAuthBearer, ScramSha256 };

// "PLAIN", "XOAUTH2", "OAUTHBEARER", "SCRAM-SHA-256" in any case; nullopt for any other name.
std::optional<SaslKind> SaslKindNamed(std::u16string_view name);
Text SaslName(SaslKind kind);
bool UsesToken(SaslKind kind);

// What the login needs, as UTF-8: the secret is the password or the token.
struct SaslLogin {
    std::string user;
    std::string secret;
    std::string host;  // OAUTHBEARER names the server it logs in to
    unsigned port = 0;
};

class SaslClient {
  public:
    // xoauth2OneStep: XOAUTH2 with its response on the AUTH line. Otherwise XOAUTH2 waits for
    // the server's go-ahead (as large providers require), and the other mechanisms put their
    // first response on the AUTH line when that line stays within 255 octets (RFC 5034).
    // scramNonce: {} for a random one.
    SaslClient(SaslKind kind, SaslLogin login, Codec& codec, bool xoauth2OneStep,
               std::string scramNonce = {});

    // The argument of the AUTH command: the mechanism, and the first response when it goes
    // on the same line.
    std::string AuthArgument();
    // The line answering a continuation; `challenge` is the base64 text after "+ ". An OAuth
    // error is read into Detail() and answered as the mechanism requires (XOAUTH2: an empty
    // line, OAUTHBEARER: %x01); a challenge that cannot be answered gets "*", which cancels.
    std::string Answer(std::string_view challenge);
    // Why the login failed, as far as the client knows: the server's OAuth error, or what was
    // wrong with its SCRAM messages; "" when nothing is known.
    const std::string& Detail() const { return detail_; }
    // Whether the login may end in "+OK" now: SCRAM only once the server has proved that it
    // knows the password.
    bool AcceptsSuccess() const { return kind_ != SaslKind::ScramSha256 || verified_; }

  private:
    std::string Base64(std::string raw);
    std::string Decoded(std::string_view text);
    std::string Cancel(std::string why);
    std::string ScramStep(const std::string& message);

    SaslKind kind_;
    SaslLogin login_;
    Codec& codec_;
    bool xoauth2OneStep_;
    std::optional<sasl::ScramSha256> scram_;
    std::string pendingFirst_;  // the first response, waiting for the server's go-ahead
    bool firstSent_ = false;
    bool finalSent_ = false;  // SCRAM: the client-final message went out
    bool verified_ = false;
    std::string detail_;
};

}  // namespace zef::pop
