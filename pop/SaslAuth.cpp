#include "pop/SaslAuth.h"

#include <utility>

namespace zef::pop {

SaslAuth::SaslAuth(sasl::Mechanism mechanism, sasl::Credentials credentials, Codec& codec,
                   bool xoauth2OneStep, size_t maxCommandLine)
    : client_(mechanism, std::move(credentials)),
      codec_(codec),
      xoauth2OneStep_(xoauth2OneStep),
      maxCommandLine_(maxCommandLine) {}

std::string SaslAuth::AuthArgument() {
    std::string name = sasl::MechanismName(client_.Kind());
    std::string first = client_.InitialResponse();
    first = codec_.EncodeBase64(first);
    const bool onTheLine =
        client_.Kind() == sasl::Mechanism::kXOAuth2
            ? xoauth2OneStep_
            : maxCommandLine_ > 0 &&
                  std::string_view("AUTH ").size() + name.size() + 1 + first.size() + 2 <=
                      maxCommandLine_;
    if (!onTheLine) {
        pendingFirst_ = std::move(first);
        return name;
    }
    firstSent_ = true;
    return name + " " + first;
}

std::string SaslAuth::Answer(std::string_view challenge) {
    if (!firstSent_) {
        firstSent_ = true;  // the go-ahead for the first response
        return std::exchange(pendingFirst_, {});
    }
    Bytes encoded(challenge);
    sasl::Step step = client_.Answer(codec_.DecodeBase64(encoded));
    if (step.kind == sasl::Step::Kind::kCancel) {
        return "*";
    }
    return step.response.empty() ? std::string() : codec_.EncodeBase64(step.response);
}

}  // namespace zef::pop
