// The envelope pipelined (RFC 2920, Pipelining and a server that offers PIPELINING): MAIL FROM,
// every RCPT TO and DATA go out in one write, and their replies, which come in the same order,
// are read one by one. A refusal among them keeps the message from going, as without
// pipelining, once the reply to DATA has come.
#include "smtp/Outcomes.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

bool smtpZef::Impl::PipelinesEnvelope() const {
    return pipelining && capabilities_.HasKeyword("PIPELINING");
}

void smtpZef::Impl::SendPipelinedEnvelope(const Text& mailArgument) {
    batching_ = true;
    try {
        SendCommand(DialogueState::kMail, mailArgument);
        for (rcptIndex_ = 1; rcptIndex_ < static_cast<long>(recipients_.size()); ++rcptIndex_) {
            SendRcpt();
        }
        SendCommand(DialogueState::kData, u"");
    } catch (...) {
        batching_ = false;
        batch_.clear();
        throw;
    }
    batching_ = false;
    Bytes batch;
    batch.swap(batch_);
    pipelined_ = true;
    dialogueState_ = DialogueState::kMail;
    rcptIndex_ = 1;
    SendRaw(std::move(batch));
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

}  // namespace zef
