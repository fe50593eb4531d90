#include "pop/SaslClient.h"

#include <utility>

#include "common/Unicode.h"

namespace zef::pop {

namespace {

constexpr size_t kMaxCommandLine = 255;  // RFC 5034: the AUTH line with its CR LF

struct Named {
    SaslKind kind;
    const char16_t* name;
};
constexpr Named kNames[] = {{SaslKind::Plain, u"PLAIN"},
                            {SaslKind::XOAuth2, u"XOAUTH2"},
                            {SaslKind::OAuthBearer, u"OAUTHBEARER"},
                            {SaslKind::ScramSha256, u"SCRAM-SHA-256"}};

}  // namespace

std::optional<SaslKind> SaslKindNamed(std::u16string_view name) {
    Text upper(name);
    for (char16_t& c : upper) {
        c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
    }
    for (const Named& named : kNames) {
        if (upper == named.name) {
            return named.kind;
        }
    }
    return std::nullopt;
}

Text SaslName(SaslKind kind) {
    for (const Named& named : kNames) {
        if (named.kind == kind) {
            return named.name;
        }
    }
    return {};
}

bool UsesToken(SaslKind kind) {
    return kind == SaslKind::XOAuth2 || kind == SaslKind::OAuthBearer;
}

SaslClient::SaslClient(SaslKind kind, SaslLogin login, Codec& codec, bool xoauth2OneStep,
                       std::string scramNonce)
    : kind_(kind), login_(std::move(login)), codec_(codec), xoauth2OneStep_(xoauth2OneStep) {
    if (kind_ == SaslKind::ScramSha256) {
        scram_.emplace(login_.user, login_.secret, std::move(scramNonce));
    }
}

std::string SaslClient::Base64(std::string raw) {
    return codec_.EncodeBase64(raw);
}

std::string SaslClient::Decoded(std::string_view text) {
    Bytes copy(text);
    return codec_.DecodeBase64(copy);
}

std::string SaslClient::AuthArgument() {
    std::string name = TextToUtf8(SaslName(kind_));
    std::string first;
    switch (kind_) {
        case SaslKind::Plain:
            first = Base64(std::string(1, '\0') + login_.user + '\0' + login_.secret);
            break;
        case SaslKind::XOAuth2:
            first = Base64(sasl::XOAuth2Response(login_.user, login_.secret));
            break;
        case SaslKind::OAuthBearer:
            first = Base64(
                sasl::OAuthBearerResponse(login_.user, login_.secret, login_.host, login_.port));
            break;
        case SaslKind::ScramSha256:
            first = Base64(scram_->ClientFirst());
            break;
    }
    const bool onTheLine =
        kind_ == SaslKind::XOAuth2
            ? xoauth2OneStep_
            : std::string_view("AUTH ").size() + name.size() + 1 + first.size() + 2 <=
                  kMaxCommandLine;
    if (!onTheLine) {
        pendingFirst_ = std::move(first);
        return name;
    }
    firstSent_ = true;
    return name + " " + first;
}

std::string SaslClient::Cancel(std::string why) {
    if (detail_.empty()) {
        detail_ = std::move(why);
    }
    return "*";
}

std::string SaslClient::Answer(std::string_view challenge) {
    if (!firstSent_) {
        firstSent_ = true;  // the go-ahead for the first response
        return std::exchange(pendingFirst_, {});
    }
    const std::string message = Decoded(challenge);
    switch (kind_) {
        case SaslKind::XOAuth2:
        case SaslKind::OAuthBearer:
            detail_ = sasl::DescribeOAuthError(message).value_or(std::string());
            return kind_ == SaslKind::XOAuth2 ? std::string() : Base64(std::string(1, '\x01'));
        case SaslKind::ScramSha256:
            return ScramStep(message);
        case SaslKind::Plain:
            break;
    }
    return Cancel("unexpected challenge");
}

std::string SaslClient::ScramStep(const std::string& message) {
    if (!finalSent_) {
        finalSent_ = true;
        const std::optional<std::string> final = scram_->ClientFinal(message);
        return final ? Base64(*final) : Cancel(scram_->Error());
    }
    if (!verified_ && scram_->ServerFinalIsValid(message)) {
        verified_ = true;
        return {};
    }
    return Cancel(verified_ ? "unexpected challenge" : scram_->Error());
}

}  // namespace zef::pop
