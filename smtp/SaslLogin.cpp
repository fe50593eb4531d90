// The login after EHLO: which mechanism (Auth, SaslMechanism, or AutoAuth's choice among what
// the server offers) and the exchanges of each. The classic ones answer a 334 challenge; the
// OAuth and SCRAM ones are run by the shared SASL client, with the initial response on the AUTH
// line.
#include <string>

#include "common/Unicode.h"
#include "components/CodePage.h"
#include "components/codec/Base64.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

namespace {

using smtp::Mechanism;

// The base64 text after "334 ", decoded.
std::string ChallengeBytes(const Text& line) {
    return codec::DecodeBase64(TextToUtf8(line.size() > 4 ? line.substr(4) : Text()));
}

Text Base64Text(std::string_view bytes) {
    return AsciiToText(codec::EncodeBase64(bytes));
}

sasl::Mechanism SaslMechanismOf(Mechanism mechanism) {
    switch (mechanism) {
        case Mechanism::kXOAuth2:
            return sasl::Mechanism::kXOAuth2;
        case Mechanism::kOAuthBearer:
            return sasl::Mechanism::kOAuthBearer;
        default:
            return sasl::Mechanism::kScramSha256;
    }
}

unsigned PortNumber(const Text& port) {
    unsigned number = 0;
    for (const char16_t c : port) {
        if (c < u'0' || c > u'9' || number > 65535) {
            return 0;
        }
        number = number * 10 + (c - u'0');
    }
    return number;
}

}  // namespace

Mechanism smtpZef::Impl::ChosenMechanism() const {
    if (autoAuth) {
        const bool haveToken = !oauthToken.empty() || owner_.TokenNeeded != nullptr;
        return smtp::ChooseMechanism(capabilities_, haveToken, !pass.empty());
    }
    if (!saslMechanism.empty()) {
        return smtp::MechanismNamed(saslMechanism);
    }
    return static_cast<Mechanism>(auth);  // 1 CRAM-MD5, 2 LOGIN, 3 PLAIN, in this order
}

void smtpZef::Impl::StartAuthOrMail() {
    mechanism_ = ChosenMechanism();
    switch (mechanism_) {
        case Mechanism::kNone:
            // AutoAuth without a usable mechanism: a server that asks for no login gets none;
            // one that offers only mechanisms the credentials cannot do is not sent the mail.
            if (autoAuth && !capabilities_.AuthMechanisms().empty() &&
                (!pass.empty() || !oauthToken.empty() || owner_.TokenNeeded)) {
                EndWithoutAuth(outcome::smtp::kNoUsableAuthMechanism.message);
                return;
            }
            SendMailFrom();
            break;
        case Mechanism::kCramMd5:
        case Mechanism::kLogin:
        case Mechanism::kPlain:
            SendCommand(DialogueState::kAuth, smtp::MechanismName(mechanism_));
            break;
        case Mechanism::kXOAuth2:
        case Mechanism::kOAuthBearer:
            StartOAuth();
            break;
        case Mechanism::kScramSha256:
            StartSasl(TextToUtf8(pass));
            break;
    }
}

// The token is asked for just before it is used, so the application can hand a fresh one.
void smtpZef::Impl::StartOAuth() {
    Text token = oauthToken;
    if (owner_.TokenNeeded) {
        owner_.TokenNeeded(token);
    }
    if (token.empty()) {
        EndWithoutAuth(outcome::kNoOAuthToken.message);
        return;
    }
    StartSasl(TextToUtf8(token));
}

// "AUTH <mechanism> <base64>" with the client's first response: it may hold a token, so the
// trace shows "***".
void smtpZef::Impl::StartSasl(const std::string& secret) {
    sasl_.emplace(
        SaslMechanismOf(mechanism_),
        sasl::Credentials{TextToUtf8(user), secret, TextToUtf8(mailServer_), PortNumber(port)});
    if (!sasl_->StartError().empty()) {
        EndWithoutAuth(outcome::smtp::AuthFailed(sasl_->StartError()));
        return;
    }
    dialogueState_ = DialogueState::kAuth;
    const Text name = smtp::MechanismName(mechanism_);
    RaiseTrace(u">>AUTH " + name + u" ***");
    SendLine(u"AUTH " + name + u" " + Base64Text(sasl_->InitialResponse()));
}

void smtpZef::Impl::AnswerAuthChallenge(const Text& line) {
    switch (mechanism_) {
        case Mechanism::kCramMd5: {
            // The challenge is the base64 text after "334 ". Its decoded bytes are used as they
            // are, without a round trip through text.
            Bytes encoded = TextToAnsi(line.size() > 4 ? line.substr(4) : Text());
            const Bytes challenge = codec_.DecodeBase64(encoded);
            SendCommand(DialogueState::kAuthData, CramMd5Response(challenge));
            break;
        }
        case Mechanism::kLogin:
            SendCommand(DialogueState::kAuthData0, EncodeBase64Text(user));
            break;
        case Mechanism::kPlain:
            SendCommand(DialogueState::kAuthData,
                        EncodeBase64Text(Text(1, u'\0') + user + Text(1, u'\0') + pass));
            break;
        case Mechanism::kXOAuth2:
        case Mechanism::kOAuthBearer:
        case Mechanism::kScramSha256:
            AnswerSaslChallenge(line);
            break;
        case Mechanism::kNone:
            break;
    }
}

// 334 carries a challenge. Any other positive reply ends the exchange: a login where the client
// may take one (SCRAM only after the server's proof), else a reply out of turn.
// An OAuth challenge is the refusal's error as base64 JSON: its answer goes out, and Done
// reports the server's final refusal with the error's detail. The SCRAM client-final message
// holds a proof, so it is traced as a password; the empty line after the server's proof is not.
void smtpZef::Impl::AnswerSaslChallenge(const Text& line) {
    if (line.empty() || line[0] != u'3') {
        sasl_->AcceptsSuccess() ? SendMailFrom() : EndForUnexpectedReply(line);
        return;
    }
    const sasl::Step step = sasl_->Answer(ChallengeBytes(line));
    switch (step.kind) {
        case sasl::Step::Kind::kAcknowledge:
            authDetail_ = Utf8ToText(sasl_->Detail());
            SendCommand(DialogueState::kAuthCancel, Base64Text(step.response));
            break;
        case sasl::Step::Kind::kRespond:
            SendCommand(
                sasl_->AcceptsSuccess() ? DialogueState::kAuthData : DialogueState::kAuthScram,
                Base64Text(step.response));
            break;
        case sasl::Step::Kind::kCancel:
            EndAuthExchange(outcome::smtp::AuthFailed(sasl_->Detail()));
            break;
    }
}

// Inside an AUTH exchange the next line is an answer, so "*" cancels it (RFC 4954); the
// server's reply to that closes the connection.
void smtpZef::Impl::EndAuthExchange(const Text& message) {
    doneCode_ = -1;
    doneMessage_ = message;
    sendPhase_ = kClosing;
    SendCommand(DialogueState::kAuthCancel, u"*");
}

// No AUTH was sent: the send ends as after a refusal, through RSET.
void smtpZef::Impl::EndWithoutAuth(const Text& message) {
    doneCode_ = -1;
    doneMessage_ = message;
    sendPhase_ = kClosing;
    SendCommand(DialogueState::kRset, u"");
}

}  // namespace zef
