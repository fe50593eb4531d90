// The guard against a server that does not connect or stops answering, the end of every send
// (Done is raised from Closed and nowhere else once the connect has started), the socket's
// error and trace reports, and the handling of a failure inside a handler.
#include "common/Error.h"
#include "common/Unicode.h"
#include "smtp/Outcomes.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

void smtpZef::Impl::HookComponentEvents() {
    wire_.Connected = [this] { Shielded([this] { OnConnected(); }); };
    wire_.DataArrival = [this](Bytes& data) { Shielded([this, &data] { OnDataArrival(data); }); };
    wire_.SendComplete = [this] { Shielded([this] { OnSendComplete(); }); };
    wire_.Closed = [this] { Shielded([this] { OnClosed(); }); };
    wire_.SocketError = [this](long number, const std::string& description,
                               const std::string& /*source*/, long /*extra*/) {
        Shielded([this, number, &description] { OnSocketError(number, description); });
    };
    wire_.SocketTrace = [this](const std::string& text) {
        Shielded([this, &text] { OnSocketTrace(text); });
    };
    wire_.TlsReady = [this] { Shielded([this] { OnTlsReady(); }); };
    timer_.Tick = [this] { Shielded([this] { OnTick(); }); };
}

void smtpZef::Impl::StopTimer() {
    timer_.Enabled(false);
}

// Phase 1 guards the connect with ConnectTimeout, phase 2 the silence between two socket events
// with TransTimeout, phase 3 an idle kept session with SessionIdleTime; a limit below 1 leaves the
// guard off. Arming an armed guard starts its interval afresh, so no stop is needed first.
void smtpZef::Impl::ArmTimer(long phase) {
    guardPhase_ = phase;
    long limit = -1;
    if (phase == kConnectGuard) {
        limit = connectTimeout;
    } else if (phase == kTransferGuard) {
        limit = transTimeout;
    } else if (phase == kIdleGuard) {
        limit = sessionIdleTime;
    }
    guardCountdown_ = limit >= 1 ? limit : -1;
    timer_.Enabled(guardCountdown_ >= 1);
}

// The countdown falls by one per tick and fires on the tick that finds it at 0: a limit of N
// seconds fires on the (N+1)-th tick after arming.
void smtpZef::Impl::OnTick() {
    if (guardCountdown_ >= 1) {
        --guardCountdown_;
        return;
    }
    if (guardCountdown_ < 0) {
        return;
    }
    guardCountdown_ = -1;
    StopTimer();
    if (OnSessionTick()) {
        return;
    }
    if (guardPhase_ == kConnectGuard) {
        SetDone(outcome::kConnectTimeout);
    } else if (guardPhase_ == kTransferGuard) {
        SetDone(outcome::kTransTimeout);
    }
    wire_.Close();
}

void smtpZef::Impl::OnConnected() {
    if (sendPhase_ == kIdle) {
        return;
    }
    ArmTimer(kTransferGuard);
}

// The one place that ends a started send. The phase is idle again before Done is raised, so
// the application may start the next send from its Done handler.
void smtpZef::Impl::OnClosed() {
    StopTimer();
    if (prior_.pending) {
        EndPriorMessageAtClose();
    }
    // No send of ours is running (e.g. a connect that was refused at once, or an idle session
    // ended), or the send connects anew.
    if (OnSessionClosed()) {
        return;
    }
    if (doneCode_ != outcome::kSuccessCode) {
        SetCaption(outcome::kFailCaption);
    } else if (sendPhase_ != kClosing) {
        SetCaption(outcome::kUnexpectedDisconnectCaption);
        SetDone(outcome::kUnexpectedDisconnect);
    } else {
        SetCaption(outcome::kCompleteCaption);
    }
    sendPhase_ = kIdle;
    pendingOutput_.clear();
    dataPhase_ = false;
    failed_ = false;
    replyReader_.Clear();

    const long code = doneCode_;
    const Text message = doneMessage_;
    try {
        RaiseDone(code, message);
    } catch (...) {  // NOLINT(bugprone-empty-catch)
        // The send is over and has been reported; what the application's Done handler throws
        // is its own affair and must not reach the event loop.
    }
}

// Kept for the coming Done; the connection is not closed here, Closed follows from the socket
// (or the guard's time-out replaces the code).
void smtpZef::Impl::OnSocketError(long number, const std::string& description) {
    doneCode_ = number;
    doneMessage_ = Utf8ToText(description);
}

void smtpZef::Impl::OnSocketTrace(const std::string& text) {
    if (tcpTraceOn) {
        RaiseTrace(Utf8ToText(text));
    }
}

// A handler failed (an application event handler threw, a routine refused its input, a reply
// line grew too long): the send ends with this code and message, through Close and Closed like
// every other end, so Done still comes exactly once. Input that arrives meanwhile is ignored.
void smtpZef::Impl::EndSendAfterFailure(long code, const Text& message) noexcept {
    if (sendPhase_ == kIdle || failed_) {
        return;
    }
    failed_ = true;
    doneCode_ = outcome::FailureCodeFor(code);
    doneMessage_ = message;
    dataPhase_ = false;
    inPartBody_ = false;
    replyReader_.Clear();
    StopTimer();
    try {
        wire_.Close();
    } catch (...) {  // NOLINT(bugprone-empty-catch): Close must end the connection anyway
    }
}

void smtpZef::Impl::EndSendAfterException(const std::exception_ptr& failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const Error& error) {
        EndSendAfterFailure(error.number(), error.description());
    } catch (const std::exception& error) {
        EndSendAfterFailure(outcome::kFailureCode, outcome::smtp::UnexpectedError(error.what()));
    } catch (...) {
        EndSendAfterFailure(outcome::smtp::kUnexpectedError.code,
                            outcome::smtp::kUnexpectedError.message);
    }
}

}  // namespace zef
