#include "components/mailbox/MailboxControl.h"

#include <exception>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/CodePage.h"

namespace zef {

namespace {

constexpr long kTickMilliseconds = 1000;

Components Checked(Components components, const outcome::RaisedError& missingComponent) {
    if (!components.wire || !components.glyph || !components.codec || !components.hash ||
        !components.timer) {
        throw missingComponent.AsError();
    }
    return components;
}

}  // namespace

bool HasLineBreakOrNul(const Text& text) {
    return text.find_first_of(u"\r\n\0", 0, 3) != Text::npos;
}

MailboxControl::MailboxControl(MailboxEvents& application, Components components,
                               const outcome::RaisedError& missingComponent, const Text& banner)
    : components_(Checked(std::move(components), missingComponent)),
      application_(application),
      caption_(banner) {
    Wire& wire = *components_.wire;
    wire.Connected = [this] { OnConnected(); };
    wire.DataArrival = [this](Bytes& data) { OnDataArrival(data); };
    wire.SendComplete = [this] { OnSendComplete(); };
    wire.Closed = [this] { OnClosed(); };
    wire.SocketError = [this](long number, const std::string& description,
                              const std::string& /*source*/,
                              long /*extra*/) { OnSocketError(number, description); };
    wire.SocketTrace = [this](const std::string& text) { OnSocketTrace(text); };
    wire.TlsReady = [this] { OnTlsReady(); };
    Timer& timer = *components_.timer;
    timer.Enabled(false);
    timer.Interval(kTickMilliseconds);
    timer.Tick = [this] { OnTick(); };
}

MailboxControl::~MailboxControl() {
    // The components outlive nothing of ours, but make sure none of them calls back into a
    // control that is being destroyed.
    components_.wire->ClearEvents();
    components_.timer->Tick = nullptr;
    components_.timer->Enabled(false);
}

Text MailboxControl::Any2Unicode(const Bytes& ansiText) {
    return AnsiToText(components_.glyph->AnyToAnsiAlone(ansiText));
}

// --- starting a transfer ---

bool MailboxControl::BeginTransfer(const Text& user, const Text& password) {
    if (receivePhase_ != ReceivePhase::kIdle) {
        throw outcome::kBusy.AsError();
    }
    const outcome::DoneOutcome* invalid = HasLineBreakOrNul(user)       ? &outcome::kInvalidUser
                                          : HasLineBreakOrNul(password) ? &outcome::kInvalidPassword
                                                                        : nullptr;
    if (invalid != nullptr) {
        const Text message = invalid->message;
        SetCaption(message);
        Raise(application_.Done, invalid->code, message);
        return false;
    }
    receivePhase_ = ReceivePhase::kRunning;
    doneCode_ = outcome::kSuccessCode;
    doneMessage_.clear();
    pendingOutput_.clear();
    return true;
}

// Every transfer sets the wire's TLS, so a mode chosen for an earlier one never lingers.
void MailboxControl::Connect(const Text& server, const Text& port, const TlsSettings& tls) {
    try {
        ArmTimer(GuardPhase::kConnect);
        components_.wire->SetTls(tls);
        components_.wire->Connect(TextToUtf8(server), TextToUtf8(port), "0");
    } catch (const Error& e) {
        ConnectFailed(e.number(), e.description());
    } catch (const std::exception& e) {
        ConnectFailed(outcome::kFailureCode, Utf8ToText(e.what()));
    }
}

void MailboxControl::ConnectFailed(long number, const Text& description) {
    try {
        StopTimer();
    } catch (const std::exception&) {  // the connect failure is what gets reported
    }
    SetCaption(outcome::ConnectErrorCaption(number, description));
    receivePhase_ = ReceivePhase::kIdle;
    Raise(application_.Done, number, description);
}

// --- ending a transfer from the control's side ---

void MailboxControl::FailWithCurrentException() {
    try {
        throw;
    } catch (const Error& e) {
        FailTransfer(outcome::FailureCodeFor(e.number()), e.description());
    } catch (const std::exception& e) {
        const Text what = Utf8ToText(e.what());
        FailTransfer(outcome::kUnknownError.code,
                     what.empty() ? Text(outcome::kUnknownError.message) : what);
    } catch (...) {
        FailTransfer(outcome::kUnknownError.code, outcome::kUnknownError.message);
    }
}

// Closed without QUIT or LOGOUT: the server commits nothing of this session, so the message
// whose handling failed stays on the server.
void MailboxControl::FailTransfer(long code, const Text& message) {
    if (receivePhase_ == ReceivePhase::kIdle || Closing()) {
        return;  // no transfer to end, or it is ending already
    }
    doneCode_ = code;
    doneMessage_ = message;
    StartClosing();
    receivePhase_ = ReceivePhase::kQuitting;
    pendingOutput_.clear();
    try {
        StopTimer();
        components_.wire->Close();
    } catch (...) {  // Closed still follows from the socket
    }
}

// --- socket and timer events ---

void MailboxControl::OnConnected() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;
    }
    Guarded([this] { ArmTimer(GuardPhase::kTransfer); });
}

void MailboxControl::OnSendComplete() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;
    }
    Guarded([this] {
        RearmOnTraffic();
        Bytes kept;
        kept.swap(pendingOutput_);
        if (!kept.empty()) {
            try {
                components_.wire->SendData(kept);
            } catch (const std::exception&) {  // the socket reports its own failure
            }
        }
    });
}

void MailboxControl::OnClosed() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;  // Done was raised for this transfer already
    }
    try {
        StopTimer();
    } catch (...) {
    }
    Text caption;
    if (doneCode_ != outcome::kSuccessCode) {
        caption = outcome::kFailCaption;
    } else if (receivePhase_ != ReceivePhase::kQuitting) {
        caption = outcome::kUnexpectedDisconnectCaption;
        doneCode_ = outcome::kUnexpectedDisconnect.code;
        doneMessage_ = outcome::kUnexpectedDisconnect.message;
    } else {
        caption = outcome::kCompleteCaption;
    }
    // Done must come whatever the application's handlers do, and nothing may escape into the
    // event loop.
    try {
        SetCaption(caption);
    } catch (...) {
    }
    receivePhase_ = ReceivePhase::kIdle;
    OnTransferEnded();
    const long code = doneCode_;
    const Text message = doneMessage_;
    try {
        Raise(application_.Done, code, message);
    } catch (...) {
    }
}

void MailboxControl::OnSocketError(long number, const std::string& description) {
    if (receivePhase_ == ReceivePhase::kIdle || Closing()) {
        return;
    }
    doneCode_ = number;
    doneMessage_ = Utf8ToText(description);
}

void MailboxControl::OnSocketTrace(const std::string& text) {
    if (tcpTraceOn) {
        // The wire's own words (host names among them) are UTF-8, as smtpZef reads them too.
        Guarded([this, &text] { RaiseTrace(Utf8ToText(text)); });
    }
}

void MailboxControl::OnTick() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;
    }
    Guarded([this] {
        if (guardCountdown_ >= 1) {
            --guardCountdown_;
            return;
        }
        if (guardCountdown_ != 0) {
            return;
        }
        guardCountdown_ = -1;
        StopTimer();
        OnGuardExpired(guardPhase_);
    });
}

// --- guard timer, caption, trace and output ---

// Arming an armed guard starts its interval afresh, so no stop is needed first.
void MailboxControl::ArmTimer(GuardPhase phase) {
    guardPhase_ = phase;
    guardCountdown_ = GuardSeconds(phase);
    components_.timer->Enabled(guardCountdown_ >= 1);
}

void MailboxControl::RearmOnTraffic() {
    if (TrafficRearmsGuard()) {
        ArmTimer(GuardPhase::kTransfer);
    }
}

void MailboxControl::StopTimer() {
    components_.timer->Enabled(false);
}

void MailboxControl::SetCaption(const Text& caption) {
    if (caption == caption_) {
        return;
    }
    caption_ = caption;
    Raise(application_.CaptionChanged, caption_);
}

void MailboxControl::RaiseTrace(const Text& text) {
    Raise(application_.Trace, text);
}

Text MailboxControl::LineText(std::string_view line) {
    scratch_.assign(line);
    return components_.glyph->JisToText(scratch_);
}

void MailboxControl::SendBytes(Bytes bytes) {
    Wire& wire = *components_.wire;
    if (!wire.CanSend()) {
        pendingOutput_ += bytes;
        return;
    }
    if (!pendingOutput_.empty()) {
        bytes.insert(0, pendingOutput_);  // what waits goes first
        pendingOutput_.clear();
    }
    wire.SendData(bytes);
}

}  // namespace zef
