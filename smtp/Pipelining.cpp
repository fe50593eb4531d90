// The envelope pipelined (RFC 2920, Pipelining and a server that offers PIPELINING): MAIL FROM,
// every RCPT TO and DATA go out in one write, and their replies, which come in the same order,
// are read one by one. A refusal among them keeps the message from going, as without
// pipelining, once the reply to DATA has come.
//
// In a kept session the next message's envelope may also follow the end of data of the one
// before (EndOfData), in the same write: the reply to that end of data then comes first and
// ends the message before, and the replies to the envelope follow as above.
#include <optional>

#include "smtp/Outcomes.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

bool smtpZef::Impl::PipelinesEnvelope() const {
    return pipelining && capabilities_.HasKeyword("PIPELINING");
}

void smtpZef::Impl::SendPipelinedEnvelope(const Text& mailArgument) {
    SendAsOneWrite([&] {
        SendCommand(DialogueState::kMail, mailArgument);
        for (rcptIndex_ = 1; rcptIndex_ < static_cast<long>(recipients_.size()); ++rcptIndex_) {
            SendRcpt();
        }
        SendCommand(DialogueState::kData, u"");
    });
    pipelined_ = true;
    dialogueState_ = DialogueState::kMail;
    rcptIndex_ = 1;
}

// One reply of the batch, by the command it answers: MAIL, each RCPT, then DATA.
void smtpZef::Impl::OnPipelinedReply(const Text& line) {
    const bool refused = line[0] == u'4' || line[0] == u'5';
    const long recipientCount = static_cast<long>(recipients_.size()) - 1;
    switch (dialogueState_) {
        case DialogueState::kMail:
            if (refused) {
                batchRefusal_ = line;
            }
            dialogueState_ = DialogueState::kRcpt;
            return;
        case DialogueState::kRcpt:
            if (refused && batchRefusal_.empty()) {
                if (acceptPartialRecipients) {
                    ++recipientsRefused_;
                    lastRefusal_ = line;
                    if (owner_.RecipientRefused) {
                        owner_.RecipientRefused(recipients_[static_cast<size_t>(rcptIndex_)], line);
                    }
                } else {
                    batchRefusal_ = line;
                }
            }
            if (rcptIndex_ < recipientCount) {
                ++rcptIndex_;
            } else {
                dialogueState_ = DialogueState::kData;
            }
            return;
        default:
            break;
    }
    pipelined_ = false;  // the reply to DATA ends the batch
    if (batchRefusal_.empty() && recipientsRefused_ == recipientCount) {
        batchRefusal_ = lastRefusal_;
    }
    if (batchRefusal_.empty()) {
        HandleReplyLine(line);
    } else if (refused) {
        RefuseMessage(outcome::smtp::RefusedReply(batchRefusal_, authDetail_));
    } else {
        // DATA was taken for a message that must not go: a lone dot would deliver it empty,
        // while ending the connection before any data makes the server drop it.
        doneCode_ = outcome::kFailureCode;
        doneMessage_ = outcome::smtp::RefusedReply(batchRefusal_, authDetail_);
        sendPhase_ = kClosing;
        wire_.Close();
    }
}

// The end of data is about to go out: EndOfData may start the next message, whose envelope then
// joins the same write.
void smtpZef::Impl::OfferNextMessage() {
    if (!owner_.EndOfData || !keepSession || closeRequested_ || !PipelinesEnvelope()) {
        return;
    }
    offeringNext_ = true;
    try {
        owner_.EndOfData();
    } catch (...) {
        offeringNext_ = false;
        throw;
    }
    offeringNext_ = false;
}

// Only from EndOfData, once, and for the session as it is.
bool smtpZef::Impl::MayStartNext(const Text& mailServer) const {
    smtp::SessionKey key = CurrentSessionKey();
    key.server = mailServer;
    return offeringNext_ && !prior_.pending && !closeRequested_ && key == sessionKey_;
}

// What the running message's Done will need once the next message has taken over the per-send
// state; the connection is kept for the next one.
void smtpZef::Impl::KeepPriorMessage() {
    prior_ = {true, recipientsRefused_, recipients_.size() - 1, std::nullopt};
    session_ = smtp::SessionState::kOpen;
}

// The reply to the end of data of the message before: only a "2" reply says it was taken.
void smtpZef::Impl::OnPriorEndOfData(const Text& line) {
    const char16_t first = line.empty() ? u'\0' : line[0];
    if (first == u'1') {
        return;
    }
    if (capabilities_.HasEnhancedStatusCodes()) {
        enhancedStatus_ = smtp::EnhancedStatusOf(line);
    }
    if (first == u'2') {
        EndPriorMessage(
            outcome::kSuccessCode,
            prior_.recipientsRefused > 0
                ? outcome::smtp::RecipientsRefused(prior_.recipientsRefused, prior_.recipientCount)
                : Text());
    } else {
        EndPriorMessage(outcome::kFailureCode, first == u'4' || first == u'5'
                                                   ? line
                                                   : outcome::smtp::UnexpectedReply(line));
    }
    if (std::optional<smtp::Refusal> refusal = std::move(prior_.heldRefusal)) {
        prior_.heldRefusal.reset();
        doneCode_ = refusal->code;
        doneMessage_ = refusal->message;
        if (!closeRequested_) {
            EndMessageInSession();
            return;
        }
        sendPhase_ = kClosing;  // CloseSession meanwhile: Done after QUIT, as for any send
        SendCommand(DialogueState::kQuit, u"");
    }
}

// The Done of the message before; the running message goes on.
void smtpZef::Impl::EndPriorMessage(long code, const Text& message) {
    prior_.pending = false;
    SetCaption(code == outcome::kSuccessCode ? outcome::kCompleteCaption : outcome::kFailCaption);
    try {
        RaiseDone(code, message);
    } catch (...) {  // NOLINT(bugprone-empty-catch): as in OnClosed, the message is reported
    }
    SetCaption(outcome::kProcessingCaption);
}

// The connection ended before the reply to the end of data before: that message gets the
// failure that ended it (or an unexpected disconnect), and the running one ends as it would.
void smtpZef::Impl::EndPriorMessageAtClose() {
    const bool failed = doneCode_ != outcome::kSuccessCode;
    EndPriorMessage(failed ? doneCode_ : outcome::kUnexpectedDisconnect.code,
                    failed ? doneMessage_ : Text(outcome::kUnexpectedDisconnect.message));
    if (std::optional<smtp::Refusal> refusal = std::move(prior_.heldRefusal)) {
        prior_.heldRefusal.reset();
        doneCode_ = refusal->code;
        doneMessage_ = refusal->message;
    }
}

}  // namespace zef
