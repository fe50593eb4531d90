// The client side of the SMTP dialogue: received bytes become reply lines, and each final
// reply line, together with the command last sent, decides what to send next.
#include <string>

#include "common/MailComm.h"
#include "common/Unicode.h"
#include "components/CodePage.h"
#include "smtp/Dsn.h"
#include "smtp/Outcomes.h"
#include "smtp/Utf8Mail.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

namespace {

// The reply line as text, without its line end. The character before the line feed is taken as
// the CR and dropped, so a line ended by a bare line feed loses its last character.
Text ReplyLineText(const Bytes& lineBytes) {
    if (lineBytes.empty()) {
        return {};
    }
    if (lineBytes.back() == '\r') {
        return AnsiToText(std::string_view(lineBytes).substr(0, lineBytes.size() - 1));
    }
    Text line = AnsiToText(lineBytes);
    if (!line.empty()) {
        line.pop_back();
    }
    return line;
}

// "250-..." continues a multi-line reply; only its last line ("250 ...") is acted on.
bool IsContinuation(const Text& line) {
    return line.size() >= 4 && line[3] == u'-';
}

}  // namespace

void smtpZef::Impl::OnDataArrival(const Bytes& data) {
    if (OnSessionData()) {
        return;
    }
    if (failed_ || (sendPhase_ == kIdle && session_ != smtp::SessionState::kQuitting)) {
        return;  // the send is being closed after a failure, or none is running
    }
    ArmTimer(kTransferGuard);
    SetCaption(outcome::kProcessingCaption);

    replyReader_.Append(data);
    Bytes lineBytes;
    while (replyReader_.NextLine(lineBytes)) {
        const Text line = ReplyLineText(lineBytes);
        RaiseTrace(line);
        if (dialogueState_ == DialogueState::kEhlo && sendPhase_ == kSending) {
            ehloLines_.push_back(line);
        }
        if (IsContinuation(line)) {
            continue;
        }
        if (prior_.pending) {
            OnPriorEndOfData(line);  // the message before is answered first
        } else if (keepAfterRset_ && sendPhase_ == kClosing && line.starts_with(u'2')) {
            EndMessageInSession();  // the refused message is reset, the session stays
        } else if (sendPhase_ == kClosing || session_ == smtp::SessionState::kQuitting) {
            // The reply to QUIT or RSET, whatever it says: the rest stays unread.
            wire_.Close();
            return;
        } else {
            HandleReplyLine(line);
        }
        if (sendPhase_ == kIdle) {
            // The message ended in the session and Done started no other: what follows was
            // not asked for.
            if (replyReader_.HasUnreadBytes()) {
                OnSessionData();
            }
            return;
        }
    }
    if (replyReader_.Overrun()) {
        EndSendAfterFailure(outcome::smtp::kReplyLineTooLong.code,
                            outcome::smtp::kReplyLineTooLong.message);
    }
}

// Only the first character of a final reply counts: "1" is ignored, "4" and "5" refuse,
// anything else is positive.
void smtpZef::Impl::HandleReplyLine(const Text& line) {
    const char16_t first = line.empty() ? u'\0' : line[0];
    if (capabilities_.HasEnhancedStatusCodes() && first != u'1') {
        enhancedStatus_ = smtp::EnhancedStatusOf(line);
    }
    if (first == u'1') {
        return;
    }
    if (reusedUnanswered_) {
        if (line.starts_with(u"421")) {
            wire_.Close();  // the session had ended meanwhile: Closed connects anew
            return;
        }
        reusedUnanswered_ = false;
    }
    if (pipelined_) {
        OnPipelinedReply(line);
        return;
    }
    switch (first) {
        case u'4':
        case u'5':
            if (dialogueState_ == DialogueState::kRcpt && acceptPartialRecipients) {
                OnRecipientRefused(line);
                return;
            }
            RefuseMessage(outcome::smtp::RefusedReply(line, authDetail_));
            return;
        default:
            OnPositiveReply(line);
            return;
    }
}

// The positive-reply table: one row per command last sent.
void smtpZef::Impl::OnPositiveReply(const Text& line) {
    switch (dialogueState_) {
        case DialogueState::kInit:  // the greeting; STARTTLS and the extensions need EHLO
            SendCommand(auth != 0 || security == 2 || autoAuth || !saslMechanism.empty() ||
                                rawMessage || body8Bit || needsSmtpUtf8_ || keepSession ||
                                pipelining || !dsnNotify.empty() || !dsnReturn.empty() ||
                                !dsnEnvelopeId.empty()
                            ? DialogueState::kEhlo
                            : DialogueState::kHelo,
                        hostname);
            break;
        case DialogueState::kHelo:
            StartAuthOrMail();
            break;
        case DialogueState::kEhlo:
            OnEhloReply();
            break;
        case DialogueState::kStartTls:  // 220: the handshake may start
            OnStartTlsGoAhead(line);
            break;
        case DialogueState::kAuth:  // 334
            AnswerAuthChallenge(line);
            break;
        case DialogueState::kAuthScram:  // 334 with the server's proof
            AnswerSaslChallenge(line);
            break;
        case DialogueState::kAuthCancel:  // no positive reply ends a refused login
            EndForUnexpectedReply(line);
            break;
        case DialogueState::kAuthData0:  // LOGIN, the user name taken
            SendCommand(DialogueState::kAuthData1, EncodeBase64Text(pass));
            break;
        case DialogueState::kAuthData:
        case DialogueState::kAuthData1:  // authenticated
            SendMailFrom();
            break;
        case DialogueState::kMail:
            rcptIndex_ = 1;
            SendRcpt();
            break;
        case DialogueState::kRcpt:
            NextRecipientOrData();
            break;
        case DialogueState::kData:  // 354: the header block, then the body turns
            dataPhase_ = true;
            SendCommand(DialogueState::kTransData, headerBlock_);
            break;
        case DialogueState::kTransData:  // the reply to the final dot
            if (dataPhase_) {
                // The dot has not gone out yet, so this cannot be its reply: taking it as one
                // would report a message as sent whose body never left.
                break;
            }
            if (line.empty() || line[0] != u'2') {
                // Only a "2" reply says the server took the message. Anything else that got
                // here (a stray "3" reply, a line of binary garbage) must not report as sent a
                // message that may never have been accepted.
                EndForUnexpectedReply(line);
                break;
            }
            if (recipientsRefused_ > 0) {
                doneMessage_ =
                    outcome::smtp::RecipientsRefused(recipientsRefused_, recipients_.size() - 1);
            }
            if (keepSession && !closeRequested_) {
                EndMessageInSession();
                break;
            }
            sendPhase_ = kClosing;
            SendCommand(DialogueState::kQuit, u"");
            break;
        case DialogueState::kRset:
        case DialogueState::kQuit:
            break;
    }
}

// With STARTTLS required, the first EHLO only leads to STARTTLS; AUTH and MAIL wait for the
// EHLO sent over the protected connection.
void smtpZef::Impl::OnEhloReply() {
    capabilities_.Read(ehloLines_);
    if (owner_.CapabilitiesReceived) {
        owner_.CapabilitiesReceived();
    }
    if (security == 2 && !tlsUpgraded_) {
        SendCommand(DialogueState::kStartTls, u"");
        return;
    }
    StartAuthOrMail();
}

// Only a "2" reply lets the handshake start. Bytes after it in the clear cannot be the
// server's: they were put there by someone on the way (a command injection in the plain part of
// the connection), so the send ends without reading them.
void smtpZef::Impl::OnStartTlsGoAhead(const Text& line) {
    if (line.empty() || line[0] != u'2') {
        EndForUnexpectedReply(line);
        return;
    }
    if (replyReader_.HasUnreadBytes()) {
        EndSendAfterFailure(outcome::smtp::kUnexpectedDataAfterStartTls.code,
                            outcome::smtp::kUnexpectedDataAfterStartTls.message);
        return;
    }
    wire_.StartTls();
}

// The connection is protected from here on: the dialogue starts again with EHLO, as the server
// forgets what it learnt before the handshake.
void smtpZef::Impl::OnTlsReady() {
    if (sendPhase_ != kSending || failed_ || dialogueState_ != DialogueState::kStartTls) {
        return;
    }
    ArmTimer(kTransferGuard);
    tlsUpgraded_ = true;
    SendCommand(DialogueState::kEhlo, hostname);
}

// A positive reply that does not say what the command needs: the send ends as after a
// refusal, with the line named as unexpected.
void smtpZef::Impl::EndForUnexpectedReply(const Text& line) {
    RefuseMessage(outcome::smtp::UnexpectedReply(line));
}

// The message fails with this message: RSET, whose reply closes the connection, or leaves a kept
// session open when the refusal was the message's alone.
void smtpZef::Impl::RefuseMessage(const Text& message) {
    doneCode_ = outcome::kFailureCode;
    doneMessage_ = message;
    keepAfterRset_ = KeepsSessionAfterRset();
    sendPhase_ = kClosing;
    SendCommand(DialogueState::kRset, u"");
}

// Once per send, after the greeting or after authentication: every address is reduced to its
// bare form, then MAIL FROM goes out.
void smtpZef::Impl::SendMailFrom() {
    for (Text& address : recipients_) {
        address = mailcomm::ExtractAddress(address);
    }
    if (Text refusal = RefusalBeforeMailFrom(); !refusal.empty()) {
        doneCode_ = outcome::kFailureCode;
        doneMessage_ = refusal;
        sendPhase_ = kClosing;
        SendCommand(DialogueState::kQuit, u"");
        return;
    }
    // The null sender keeps its brackets whatever AngleBracketType says: "FROM:" alone is no
    // address at all.
    const Text sender =
        recipients_[0].empty() ? Text(u"<>") : openBracket_ + recipients_[0] + closeBracket_;
    const Text argument = u"FROM:" + sender + MailParameters();
    if (PipelinesEnvelope()) {
        SendPipelinedEnvelope(argument);
        return;
    }
    SendCommand(DialogueState::kMail, argument);
}

// Declares SMTPUTF8 and 8BITMIME where the message needs them and the server offers them.
// Without SMTPUTF8 a non-ASCII domain goes out as its A-label and a non-ASCII local part,
// which nothing else can carry, ends the send before any message has gone out.
Text smtpZef::Impl::RefusalBeforeMailFrom() {
    const bool offers8Bit = capabilities_.HasKeyword("8BITMIME");
    smtpUtf8Declared_ = needsSmtpUtf8_ && capabilities_.HasKeyword("SMTPUTF8");
    // Body8Bit is read here, so a CapabilitiesReceived handler may still set it.
    const bool needs8Bit = needs8Bit_ || body8Bit;
    if (needs8Bit && !offers8Bit) {
        return outcome::smtp::k8BitMimeNotOffered.message;
    }
    if (!smtpUtf8Declared_) {
        for (Text& address : recipients_) {
            if (!smtp::LocalPartIsAscii(address)) {
                return outcome::smtp::SmtpUtf8NotOffered(address);
            }
            address = smtp::WithALabelDomain(address);
        }
    }
    // An SMTPUTF8 message carries its UTF-8 as 8-bit bytes.
    eightBitDeclared_ = offers8Bit && (needs8Bit || smtpUtf8Declared_);
    return {};
}

Text smtpZef::Impl::MailParameters() const {
    return Text(eightBitDeclared_ ? u" BODY=8BITMIME" : u"") +
           (smtpUtf8Declared_ ? u" SMTPUTF8" : u"") +
           (capabilities_.HasKeyword("DSN") ? smtp::DsnMailParameters(dsnReturn, dsnEnvelopeId)
                                            : Text());
}

// AcceptPartialRecipients: the refusal is reported and the next recipient asked for; the send
// fails only when no recipient is left, with the last refusal as its message.
void smtpZef::Impl::OnRecipientRefused(const Text& line) {
    ++recipientsRefused_;
    lastRefusal_ = line;
    if (owner_.RecipientRefused) {
        owner_.RecipientRefused(recipients_[static_cast<size_t>(rcptIndex_)], line);
    }
    NextRecipientOrData();
}

void smtpZef::Impl::NextRecipientOrData() {
    const long recipientCount = static_cast<long>(recipients_.size()) - 1;
    if (rcptIndex_ < recipientCount) {
        ++rcptIndex_;
        SendRcpt();
    } else if (recipientsRefused_ == recipientCount) {
        RefuseMessage(lastRefusal_);
    } else {
        SendCommand(DialogueState::kData, u"");
    }
}

void smtpZef::Impl::SendRcpt() {
    SendCommand(
        DialogueState::kRcpt,
        u"TO:" + openBracket_ + recipients_[static_cast<size_t>(rcptIndex_)] + closeBracket_ +
            (capabilities_.HasKeyword("DSN") ? smtp::DsnRcptParameters(dsnNotify) : Text()));
}

}  // namespace zef
