// Client sides of the SASL mechanisms beyond the classic ones: the OAuth 2.0 bearer-token
// responses (XOAUTH2, OAUTHBEARER) and SCRAM-SHA-256. Pure logic, no I/O: the controls send
// what these return (base64-encoded) and hand back what the server said (base64-decoded).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zef::sasl {

// A user name as SCRAM's "n=" and the gs2 "a=" attribute carry it: "," as "=2C", "=" as "=3D".
std::string EscapeSaslName(std::string_view name);

// The initial client responses, raw (the caller base64-encodes them).
std::string XOAuth2Response(std::string_view user, std::string_view token);
std::string OAuthBearerResponse(std::string_view user, std::string_view token,
                                std::string_view host, unsigned port);

// The server's error detail after a refused token (the JSON object it sends, decoded from
// base64) as a short UTF-8 text such as "invalid_token (status 401, scope https://x/)";
// std::nullopt when the text is not a JSON object. Control characters never come through.
std::optional<std::string> DescribeOAuthError(std::string_view json);

// SASLprep (RFC 4013) of a query string, UTF-8 in and out; std::nullopt when the string
// holds a prohibited character or is not valid UTF-8.
std::optional<std::string> SaslPrep(std::string_view text);

// SCRAM-SHA-256 (RFC 5802, RFC 7677), client side, without channel binding ("n,,").
class ScramSha256 {
  public:
    // An empty nonce: a random one.
    ScramSha256(const std::string& user, const std::string& password, std::string nonce = {});

    std::string ClientFirst() const;
    // The client's final message for the server's first one; std::nullopt and Error() set
    // when that message is malformed or unsafe (a nonce not extending ours, an iteration
    // count below 4096 or absurdly high, a salt that is not strict base64).
    std::optional<std::string> ClientFinal(std::string_view serverFirst);
    // True when the server proved it knows the password ("v=" matches); false and Error()
    // set for "e=" or a wrong signature.
    bool ServerFinalIsValid(std::string_view serverFinal);
    const std::string& Error() const { return error_; }

  private:
    std::string user_;  // SASLprepped and escaped for the "n=" attribute
    std::string password_;
    std::string nonce_;
    std::string serverSignature_;
    std::string error_;
};

}  // namespace zef::sasl
