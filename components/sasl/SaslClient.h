// One SASL login, client side, for both controls: the first response of the mechanism, the
// answer to each challenge of the server, and whether a success may be taken. Free of I/O and
// of any protocol's framing: challenges come in decoded, responses go out raw, and the control
// adds its command line, continuation marks, base64 and cancel line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "components/sasl/Sasl.h"

namespace zef::sasl {

enum class Mechanism { kPlain, kXOAuth2, kOAuthBearer, kScramSha256 };

// "PLAIN", "XOAUTH2", "OAUTHBEARER", "SCRAM-SHA-256".
std::string MechanismName(Mechanism mechanism);
// The mechanism of that name in any case; std::nullopt for any other name.
std::optional<Mechanism> MechanismNamed(std::string_view name);
// Whether the secret is an OAuth 2.0 access token rather than a password.
bool UsesToken(Mechanism mechanism);

// What a login needs, as UTF-8.
struct Credentials {
    std::string user;
    std::string secret;  // the password, or the token
    std::string host;    // OAUTHBEARER names the server and port it logs in to
    unsigned port = 0;
};

// The client's move after a challenge.
struct Step {
    enum class Kind {
        kRespond,      // send `response`; the login goes on
        kAcknowledge,  // the challenge reported a refusal: send `response`, the mechanism's
                       // due answer, and the server's final refusal follows
        kCancel,       // the challenge cannot be answered: cancel the exchange (Detail() says why)
    };
    Kind kind = Kind::kRespond;
    std::string response;  // raw bytes
};

// Scripted tests only: the next SCRAM login started on this thread takes `nonce` instead of a
// random one, once. A fixed nonce would let a listener replay the login.
void FixNextScramNonce(std::string nonce);

class Client {
  public:
    Client(Mechanism mechanism, Credentials credentials);

    Mechanism Kind() const { return mechanism_; }
    // Why the login cannot be done with these credentials (SCRAM: SASLprep refuses the user
    // name or the password); "" when it can.
    const std::string& StartError() const;
    // The client's first message, which some protocols put on the command line.
    std::string InitialResponse() const;
    Step Answer(std::string_view challenge);
    // Whether the server's success may be taken now: SCRAM only once the server has proved
    // that it knows the password.
    bool AcceptsSuccess() const;
    // Why the login failed as far as the client knows: the server's OAuth error, or what was
    // wrong with its SCRAM messages; "" when nothing is known.
    const std::string& Detail() const { return detail_; }

  private:
    Step Cancel(std::string why);
    Step ScramStep(std::string_view challenge);

    Mechanism mechanism_;
    Credentials credentials_;
    std::optional<ScramSha256> scram_;
    bool finalSent_ = false;  // SCRAM: the client-final message went out
    bool verified_ = false;   // SCRAM: the server's signature matched
    std::string detail_;
};

}  // namespace zef::sasl
