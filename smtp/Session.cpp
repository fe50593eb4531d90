// Kept sessions (KeepSession): after a message the connection stays open, and the next send to
// the same server with the same login goes on in it with MAIL FROM. The session ends with QUIT
// after SessionIdleTime seconds without a send, on CloseSession, or when a send needs another
// server; a server that ends it meanwhile costs the next send one new connection, no error.
#include "smtp/Outcomes.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

using smtp::SessionState;

smtp::SessionKey smtpZef::Impl::CurrentSessionKey() const {
    return {mailServer_, port,   hostname, user, pass,       saslMechanism,
            oauthToken,  caFile, security, auth, verifyCert, autoAuth};
}

// Once Smtp has accepted the send: true when it goes on in the open session, or waits for the
// old session's QUIT and Closed before it connects; false when it connects now.
bool smtpZef::Impl::GoOnInSession() {
    if (session_ == SessionState::kOpen && sessionKey_ == CurrentSessionKey()) {
        reusedUnanswered_ = true;
        ArmTimer(kTransferGuard);
        SetCaption(outcome::kProcessingCaption);
        SendMailFrom();
        return true;
    }
    if (session_ == SessionState::kOpen) {
        QuitSession();
    }
    connectWhenClosed_ = session_ == SessionState::kQuitting;
    return connectWhenClosed_;
}

// What a new connection starts without: the greeting is awaited again.
void smtpZef::Impl::ResetConnectionState() {
    pendingOutput_.clear();
    dialogueState_ = DialogueState::kInit;
    doneCode_ = outcome::kSuccessCode;
    doneMessage_.clear();
    ehloLines_.clear();
    capabilities_.Clear();
    mechanism_ = smtp::Mechanism::kNone;
    sasl_.reset();
    authDetail_.clear();
    failed_ = false;
    tlsUpgraded_ = false;
    replyReader_.Clear();
    reusedUnanswered_ = false;
    sessionKey_ = CurrentSessionKey();
}

// A refused message leaves the session open when the refusal concerns the message alone (its
// envelope or its data, not the login) and the RSET that follows is answered.
bool smtpZef::Impl::KeepsSessionAfterRset() const {
    if (!keepSession || closeRequested_ || dataPhase_) {
        return false;
    }
    switch (dialogueState_) {
        case DialogueState::kMail:
        case DialogueState::kRcpt:
        case DialogueState::kData:
        case DialogueState::kTransData:
            return true;
        default:
            return false;
    }
}

// The message is over (taken, or refused and RSET answered) and the connection stays: Done
// comes now, with the phase idle so that its handler may send the next message at once.
void smtpZef::Impl::EndMessageInSession() {
    session_ = SessionState::kOpen;
    sendPhase_ = kIdle;
    dataPhase_ = false;
    keepAfterRset_ = false;
    SetCaption(doneCode_ == outcome::kSuccessCode ? outcome::kCompleteCaption
                                                  : outcome::kFailCaption);
    ArmTimer(kIdleGuard);
    const long code = doneCode_;
    const Text message = doneMessage_;
    try {
        RaiseDone(code, message);
    } catch (...) {  // NOLINT(bugprone-empty-catch): as in OnClosed, the send is reported
    }
}

// QUIT on a session no send uses; its reply, or TransTimeout, closes the connection.
void smtpZef::Impl::QuitSession() {
    session_ = SessionState::kQuitting;
    ArmTimer(kTransferGuard);
    SendCommand(DialogueState::kQuit, u"");
}

void smtpZef::Impl::CloseSession() {
    if (sendPhase_ != kIdle) {
        closeRequested_ = true;
    } else if (session_ == SessionState::kOpen) {
        QuitSession();
    }
}

// Data on an idle session: nothing was asked, so the server is ending it (a 421); the
// connection is closed without reading further. True when the data was the session's.
bool smtpZef::Impl::OnSessionData() {
    if (sendPhase_ != kIdle || session_ != SessionState::kOpen) {
        return false;
    }
    session_ = SessionState::kQuitting;
    StopTimer();
    wire_.Close();
    return true;
}

// Closed of a session: no Done when no send used it. A send that waited for it, or whose
// reused session ended before any reply, connects anew (once). True when handled here.
bool smtpZef::Impl::OnSessionClosed() {
    session_ = SessionState::kNone;
    closeRequested_ = false;
    if (sendPhase_ == kIdle) {
        return true;
    }
    const bool retry = connectWhenClosed_ || (reusedUnanswered_ && sendPhase_ == kSending &&
                                              !failed_ && doneCode_ != outcome::kTransTimeout.code);
    connectWhenClosed_ = false;
    reusedUnanswered_ = false;
    if (retry) {
        ConnectForSend();
    }
    return retry;
}

// The guard fired with no send of its own: an idle session gets QUIT, an unanswered QUIT ends
// the connection. True when handled here.
bool smtpZef::Impl::OnSessionTick() {
    if (session_ == SessionState::kQuitting) {
        wire_.Close();
        return true;
    }
    if (session_ == SessionState::kOpen && sendPhase_ == kIdle) {
        QuitSession();
        return true;
    }
    return false;
}

}  // namespace zef
