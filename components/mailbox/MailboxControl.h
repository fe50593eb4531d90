// What popZef and imapZef do alike around their dialogues: the components checked and hooked
// up, the start and the connect of a transfer, its end (a failure inside the control, the
// connection closed, a socket error), the guard timer's countdown, the caption and the output
// held while the wire cannot send. Each control's Impl derives from it and keeps its dialogue:
// what arriving data means, what a time-out does, how it marks a transfer it is ending.
#pragma once

#include <string>
#include <string_view>

#include "common/MailboxEvents.h"
#include "common/Outcomes.h"
#include "common/Types.h"
#include "components/Components.h"

namespace zef {

// A line break or NUL in a login argument or a folder name would let it smuggle further
// commands to the server.
bool HasLineBreakOrNul(const Text& text);

class MailboxControl {
  public:
    MailboxControl(const MailboxControl&) = delete;
    MailboxControl& operator=(const MailboxControl&) = delete;

    bool tcpTraceOn = false;
    const Text& Caption() const { return caption_; }
    Text Any2Unicode(const Bytes& ansiText);

  protected:
    // Every component is used: a missing one throws `missingComponent`.
    MailboxControl(MailboxEvents& application, Components components,
                   const outcome::RaisedError& missingComponent, const Text& banner);
    virtual ~MailboxControl();

    enum class ReceivePhase { kIdle, kRunning, kQuitting };  // quitting: QUIT or LOGOUT sent or due
    // What the guard timer counts: the connect, the silence of the dialogue, or (imapZef) the
    // wait in IDLE until it is issued again.
    enum class GuardPhase { kNone, kConnect, kTransfer, kIdle };

    // --- what each dialogue supplies ---
    virtual void OnDataArrival(const Bytes& data) = 0;
    virtual void OnTlsReady() = 0;
    // The control ended the transfer itself; whatever still arrives is dropped.
    virtual bool Closing() const = 0;
    // Marks the transfer as ended by the control and drops the input it holds.
    virtual void StartClosing() = 0;
    virtual long GuardSeconds(GuardPhase phase) const = 0;
    // The guard's countdown ran out; the timer is stopped.
    virtual void OnGuardExpired(GuardPhase phase) = 0;
    // Whether data sent or received starts the transfer guard afresh.
    virtual bool TrafficRearmsGuard() const { return true; }
    // The transfer is over (phase idle), just before Done.
    virtual void OnTransferEnded() {}

    // Throws error 59 while a transfer runs. A login argument with a line break ends the new
    // one at once (caption and Done) and gives false; else the transfer runs.
    bool BeginTransfer(const Text& user, const Text& password);
    void Connect(const Text& server, const Text& port, const TlsSettings& tls);

    // Runs an event handler's body; an exception ends the transfer instead of escaping into
    // the event loop.
    template <class Body>
    void Guarded(Body&& body) {
        try {
            body();
        } catch (...) {
            FailWithCurrentException();
        }
    }
    // Ends the running transfer from the control's side: Done follows from Closed.
    void FailTransfer(long code, const Text& message);

    void ArmTimer(GuardPhase phase);
    void RearmOnTraffic();
    void StopTimer();
    void SetCaption(const Text& caption);
    void RaiseTrace(const Text& text);
    Text LineText(std::string_view line);  // server text as the converter reads it
    // Sends now, or keeps the bytes (behind any kept before) until SendComplete.
    void SendBytes(Bytes bytes);

    Components components_;
    ReceivePhase receivePhase_ = ReceivePhase::kIdle;
    long doneCode_ = 0;
    Text doneMessage_;

  private:
    void OnConnected();
    void OnSendComplete();
    void OnClosed();
    void OnSocketError(long number, const std::string& description);
    void OnSocketTrace(const std::string& text);
    void OnTick();
    void FailWithCurrentException();
    void ConnectFailed(long number, const Text& description);

    MailboxEvents& application_;
    Text caption_;
    Bytes pendingOutput_;
    GuardPhase guardPhase_ = GuardPhase::kNone;
    long guardCountdown_ = -1;
    Bytes scratch_;  // converter input, reused
};

}  // namespace zef
