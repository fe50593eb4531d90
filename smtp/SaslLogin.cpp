// The login after EHLO: which mechanism (Auth, SaslMechanism, or AutoAuth's choice among what
// the server offers) and the exchanges of each. The classic ones answer a 334 challenge; the
// OAuth and SCRAM ones send an initial response on the AUTH line.
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
                EndWithoutAuth(u"NO USABLE AUTH MECHANISM");
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
            scram_.emplace(TextToUtf8(user), TextToUtf8(pass));
            if (!scram_->Error().empty()) {
                EndWithoutAuth(u"AUTH FAILED: " + Utf8ToText(scram_->Error()));
                return;
            }
            SendAuthWithInitialResponse(scram_->ClientFirst());
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
        EndWithoutAuth(u"NO OAUTH TOKEN");
        return;
    }
    const std::string userName = TextToUtf8(user);
    SendAuthWithInitialResponse(mechanism_ == Mechanism::kXOAuth2
                                    ? sasl::XOAuth2Response(userName, TextToUtf8(token))
                                    : sasl::OAuthBearerResponse(userName, TextToUtf8(token),
                                                                TextToUtf8(mailServer_),
                                                                PortNumber(port)));
}

// "AUTH <mechanism> <base64>": the response may hold a token, so the trace shows "***".
void smtpZef::Impl::SendAuthWithInitialResponse(const std::string& response) {
    dialogueState_ = DialogueState::kAuth;
    const Text name = smtp::MechanismName(mechanism_);
    RaiseTrace(u">>AUTH " + name + u" ***");
    SendLine(u"AUTH " + name + u" " + Base64Text(response));
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
            AnswerOAuthChallenge(line);
            break;
        case Mechanism::kScramSha256:
            AnswerScramChallenge(line);
            break;
        case Mechanism::kNone:
            break;
    }
}

// 235: logged in. 334: the token was refused and the line carries the error as base64 JSON;
// the mechanism wants an answer (XOAUTH2 an empty line, OAUTHBEARER %x01) before the server
// sends its final refusal, which Done then reports with the error's detail.
void smtpZef::Impl::AnswerOAuthChallenge(const Text& line) {
    if (line.empty() || line[0] != u'3') {
        SendMailFrom();
        return;
    }
    const auto detail = sasl::DescribeOAuthError(ChallengeBytes(line));
    authDetail_ = detail ? Utf8ToText(*detail) : Text();
    SendCommand(DialogueState::kAuthCancel,
                mechanism_ == Mechanism::kXOAuth2 ? u"" : Base64Text("\x01"));
}

void smtpZef::Impl::AnswerScramChallenge(const Text& line) {
    if (line.empty() || line[0] != u'3') {
        EndForUnexpectedReply(line);  // no login happened without the exchange
        return;
    }
    const auto clientFinal = scram_->ClientFinal(ChallengeBytes(line));
    if (!clientFinal) {
        EndAuthExchange(u"AUTH FAILED: " + Utf8ToText(scram_->Error()));
        return;
    }
    SendCommand(DialogueState::kAuthScram, Base64Text(*clientFinal));
}

// The server must prove that it knows the password too; a server that does not is not sent
// the mail.
void smtpZef::Impl::OnScramServerFinal(const Text& line) {
    if (line.empty() || line[0] != u'3') {
        EndForUnexpectedReply(line);
        return;
    }
    if (!scram_->ServerFinalIsValid(ChallengeBytes(line))) {
        EndAuthExchange(u"AUTH FAILED: " + Utf8ToText(scram_->Error()));
        return;
    }
    SendCommand(DialogueState::kAuthData, u"");
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
