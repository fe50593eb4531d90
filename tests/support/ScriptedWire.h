// A Wire without sockets: it records what the control sends and lets the test raise the socket
// events by hand, one at a time, as the event loop would.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "components/Wire.h"

namespace zef::test {

class ScriptedWire final : public Wire {
  public:
    // --- what the control did ---
    std::vector<std::string> connects;  // the host of every Connect
    Bytes sent;                         // every byte passed to SendData, in order
    int closeCalls = 0;
    int shutdownCalls = 0;
    // Told of every SendData (the bytes) and of every other call the control makes on the wire
    // ("connect host:port options tls=N verify|noverify[ ca=FILE]", "close", "shutdown",
    // "starttls").
    std::function<void(const Bytes&)> onSend;
    std::function<void(const std::string&)> onCall;

    // --- how the component behaves ---
    bool canSend = true;           // what CanSend reports
    bool throwOnConnect = false;   // Connect throws 10049 "address not available"
    bool throwOnStartTls = false;  // StartTls throws 5, as a wire that cannot upgrade
    bool withoutTls = false;       // SetTls refuses every TLS mode, as a wire without TLS
    // Drops what is delivered after Close until the next Connect, as a real wire ends the
    // connection at once; otherwise the bytes still reach the control.
    bool dropAfterClose = false;

    // --- Wire ---
    void Connect(const std::string& host, const std::string& port,
                 const std::string& options) override;
    void SendData(Bytes& data) override;
    bool CanSend() const override { return canSend; }
    void Close() override;
    void Shutdown(int how) override;
    std::string LocalHostName() const override { return "client.example"; }
    void SetTls(const TlsSettings& settings) override;
    // CanSend is False until RaiseTlsReady, and SendData meanwhile throws 5 as the real wire does.
    void StartTls() override;

    // --- raising events, as the event loop would ---
    void RaiseConnected();
    void Deliver(const Bytes& data);  // one DataArrival
    void RaiseSendComplete();
    void RaiseClosed();
    void RaiseSocketError(long number, const std::string& description);
    void RaiseTrace(const std::string& text);
    void RaiseTlsReady();  // the upgrade succeeded: CanSend is True again

    // Takes and clears what was sent since the last call.
    Bytes TakeSent();

  private:
    void Told(const std::string& call);

    TlsSettings tls_;
    bool handshaking_ = false;  // StartTls was called, RaiseTlsReady not yet
    bool closed_ = false;       // Close was called on this connection
};

}  // namespace zef::test
