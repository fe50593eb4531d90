// The socket component both controls drive: a TCP client that reports everything through
// events. Events are always raised from the event loop, never from inside a call that the
// control makes on the component, so a handler may call back into the component freely.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/Types.h"

namespace asio {
class io_context;
}

namespace zef {

// How a connection uses TLS.
enum class TlsMode {
    None,      // plain TCP from start to end (the default)
    Implicit,  // TLS from the first byte: the handshake runs right after the TCP connect
    Upgrade,   // plain at first; StartTls upgrades the open connection (STARTTLS, STLS)
};

// The TLS settings a Wire applies to its next Connect.
struct TlsSettings {
    TlsMode mode = TlsMode::None;
    // Checks the server's certificate chain against the system's trusted CAs (and caFile), and
    // that it names the host passed to Connect. Only an explicit false turns this off.
    bool verifyPeer = true;
    // A PEM file of CA certificates trusted in addition to the system's; empty for none.
    std::string caFile;

    // The settings for a control's Security property (0 none, 1 implicit TLS, 2 upgrade after
    // STARTTLS/STLS; other values mean none), VerifyCert and CAFile.
    static TlsSettings ForSecurity(long security, bool verifyPeer, std::string caFile);
};

class Wire {
  public:
    virtual ~Wire() = default;

    // Starts connecting and returns at once; the outcome comes as Connected, or SocketError
    // and Closed. `host` and `port` are UTF-8; `options` is "0" as the controls pass it.
    // May throw zef::Error when the request itself is refused (for example while connected, or
    // when the TLS CA file cannot be read). With TlsMode::Implicit, Connected comes only after
    // the TLS handshake and the certificate check succeeded; a failure there comes as
    // SocketError (source "zef.Wire.Tls") and Closed, without Connected.
    virtual void Connect(const std::string& host, const std::string& port,
                         const std::string& options) = 0;

    // Queues the bytes for sending, in call order. Takes the bytes out of `data`.
    virtual void SendData(Bytes& data) = 0;

    // True while SendData may be called.
    virtual bool CanSend() const = 0;

    // Ends the connection at once, in any state, also while still connecting.
    virtual void Close() = 0;

    // Ends the connection after the queued data has gone out (`how` is 1 as the controls pass it).
    // Over TLS a close_notify alert, instead of the TCP end of sending, tells the peer.
    virtual void Shutdown(int how) = 0;

    // The local machine's host name.
    virtual std::string LocalHostName() const = 0;

    // Sets the TLS settings for the next Connect; a connection already open keeps its own.
    // This default belongs to a wire without TLS: it accepts TlsMode::None only and refuses
    // the other modes with zef::Error 380.
    virtual void SetTls(const TlsSettings& settings);

    // Upgrades the open plain connection of a Connect made with TlsMode::Upgrade, once the
    // control has read the server's go-ahead. What was queued is sent first; then the handshake
    // runs and TlsReady follows, or SocketError and Closed. CanSend is False meanwhile. Bytes the
    // server sends after its go-ahead and before the handshake end the connection with
    // SocketError (a protocol error) and Closed; they are never handed over (bytes that came in
    // the same DataArrival as the go-ahead are the control's to refuse). Throws zef::Error 5
    // unless a connection made for the upgrade is open and still plain (not before Connected,
    // not while shutting down, not twice). This default belongs to a wire without TLS and
    // always throws.
    virtual void StartTls();

    // Clears every event: a control being destroyed hears nothing more from its wire.
    void ClearEvents() {
        Connected = nullptr;
        DataArrival = nullptr;
        SendComplete = nullptr;
        Closed = nullptr;
        SocketError = nullptr;
        SocketTrace = nullptr;
        TlsReady = nullptr;
    }

    // Events. Closed comes exactly once per connection attempt, whatever happened before it.
    std::function<void()> Connected;
    std::function<void(Bytes& data)> DataArrival;
    std::function<void()> SendComplete;  // the send queue has drained
    std::function<void()> Closed;
    // Over TLS, a failed certificate check gives the OpenSSL verification result as the number
    // (X509_V_ERR_*: 10 for an expired certificate, 20 for an unknown CA, 62 for a host name
    // mismatch) and a description such as "certificate verify failed: certificate has expired";
    // another failed handshake gives OpenSSL's error code and "TLS handshake failed: " with its
    // reason. Their source is "zef.Wire.Tls".
    std::function<void(long number, const std::string& description, const std::string& source,
                       long extra)>
        SocketError;
    std::function<void(const std::string& text)> SocketTrace;
    // The upgrade asked for by StartTls succeeded: what is sent and received from now on is
    // protected, and CanSend is True again.
    std::function<void()> TlsReady;
};

// TCP (IPv4 and IPv6) on the given event loop, with TLS through OpenSSL.
std::unique_ptr<Wire> MakeTcpWire(asio::io_context& io);

}  // namespace zef
