// A Wire without sockets for dialogue tests: it records what the control sends and lets the
// test raise the socket events by hand, one at a time, as the event loop would.
#pragma once

#include <string>
#include <vector>

#include "components/Wire.h"

namespace zef::testing {

class ScriptedWire final : public Wire {
  public:
    // --- what the control did ---
    struct ConnectCall {
        std::string host, port, options;
    };
    std::vector<ConnectCall> connects;
    Bytes sent;  // every byte passed to SendData, in order
    int closeCalls = 0;
    int shutdownCalls = 0;
    std::vector<TlsSettings> tlsSettings;  // every SetTls, in order
    int startTlsCalls = 0;
    // The bytes sent in the clear on the current connection: everything before RaiseTlsReady
    // when it was made for an upgrade, everything when it was made without TLS, nothing when it
    // was made with implicit TLS.
    Bytes sentInClear;

    // --- how the component behaves ---
    bool canSend = true;          // what CanSend reports
    bool throwOnConnect = false;  // Connect raises connectError
    long connectErrorNumber = 10049;
    std::string connectErrorText = "address not available";
    std::string localHostName = "client.example";
    bool throwOnStartTls = false;  // StartTls raises error 5, as a wire that cannot upgrade
    bool withoutTls = false;       // SetTls refuses every TLS mode, as a wire without TLS

    // --- Wire ---
    void Connect(const std::string& host, const std::string& port,
                 const std::string& options) override;
    void SendData(Bytes& data) override;
    bool CanSend() const override { return canSend; }
    void Close() override { ++closeCalls; }
    void Shutdown(int /*how*/) override { ++shutdownCalls; }
    std::string LocalHostName() const override { return localHostName; }
    void SetTls(const TlsSettings& settings) override;
    // Records the call; CanSend is False until RaiseTlsReady, and SendData meanwhile throws
    // error 5 as the real wire does.
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
    bool clear_ = true;         // the current connection is not (yet) protected
    bool handshaking_ = false;  // StartTls was called, RaiseTlsReady not yet
};

}  // namespace zef::testing
