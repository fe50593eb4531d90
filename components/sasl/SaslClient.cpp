#include "components/sasl/SaslClient.h"

#include <utility>

namespace zef::sasl {

namespace {

struct Named {
    Mechanism mechanism;
    std::string_view name;
};
constexpr Named kNames[] = {{Mechanism::kPlain, "PLAIN"},
                            {Mechanism::kXOAuth2, "XOAUTH2"},
                            {Mechanism::kOAuthBearer, "OAUTHBEARER"},
                            {Mechanism::kScramSha256, "SCRAM-SHA-256"}};

// Per thread, so that controls running on threads of their own never share it.
std::string& NextScramNonce() {
    thread_local std::string nonce;
    return nonce;
}

}  // namespace

std::string MechanismName(Mechanism mechanism) {
    for (const Named& named : kNames) {
        if (named.mechanism == mechanism) {
            return std::string(named.name);
        }
    }
    return {};
}

std::optional<Mechanism> MechanismNamed(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) {
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (const Named& named : kNames) {
        if (upper == named.name) {
            return named.mechanism;
        }
    }
    return std::nullopt;
}

bool UsesToken(Mechanism mechanism) {
    return mechanism == Mechanism::kXOAuth2 || mechanism == Mechanism::kOAuthBearer;
}

void FixNextScramNonce(std::string nonce) {
    NextScramNonce() = std::move(nonce);
}

Client::Client(Mechanism mechanism, Credentials credentials)
    : mechanism_(mechanism), credentials_(std::move(credentials)) {
    if (mechanism_ == Mechanism::kScramSha256) {
        scram_.emplace(credentials_.user, credentials_.secret, std::exchange(NextScramNonce(), {}));
    }
}

const std::string& Client::StartError() const {
    static const std::string kNone;
    return scram_ ? scram_->Error() : kNone;
}

std::string Client::InitialResponse() const {
    const Credentials& c = credentials_;
    switch (mechanism_) {
        case Mechanism::kPlain:
            return std::string(1, '\0') + c.user + '\0' + c.secret;
        case Mechanism::kXOAuth2:
            return XOAuth2Response(c.user, c.secret);
        case Mechanism::kOAuthBearer:
            return OAuthBearerResponse(c.user, c.secret, c.host, c.port);
        case Mechanism::kScramSha256:
            return scram_->ClientFirst();
    }
    return {};
}

// An OAuth challenge is the server's error object; the mechanism owes it an answer (XOAUTH2 an
// empty response, OAUTHBEARER %x01) before the server sends its final refusal.
Step Client::Answer(std::string_view challenge) {
    switch (mechanism_) {
        case Mechanism::kXOAuth2:
        case Mechanism::kOAuthBearer:
            detail_ = DescribeOAuthError(challenge).value_or(std::string());
            return {Step::Kind::kAcknowledge,
                    mechanism_ == Mechanism::kXOAuth2 ? std::string() : std::string(1, '\x01')};
        case Mechanism::kScramSha256:
            return ScramStep(challenge);
        case Mechanism::kPlain:
            break;
    }
    return Cancel("unexpected challenge");
}

bool Client::AcceptsSuccess() const {
    return mechanism_ != Mechanism::kScramSha256 || verified_;
}

// The first reason stays: a later one only follows from it.
Step Client::Cancel(std::string why) {
    if (detail_.empty()) {
        detail_ = std::move(why);
    }
    return {Step::Kind::kCancel, {}};
}

// The server's first message gets the client's proof; its final one must hold the server's.
Step Client::ScramStep(std::string_view challenge) {
    if (!finalSent_) {
        finalSent_ = true;
        std::optional<std::string> final = scram_->ClientFinal(challenge);
        return final ? Step{Step::Kind::kRespond, std::move(*final)} : Cancel(scram_->Error());
    }
    if (!verified_ && scram_->ServerFinalIsValid(challenge)) {
        verified_ = true;
        return {Step::Kind::kRespond, {}};
    }
    return Cancel(verified_ ? "unexpected challenge" : scram_->Error());
}

}  // namespace zef::sasl
