// One connection attempt of the Qt wire, from the name lookup to the end, on Qt's event loop.
// QHostInfo looks the name up; the socket itself is driven through QSocketNotifier, so that a
// reset shows as one, the sending side can close alone (after the last command, the last
// reply still comes) and TLS stays in the wire's own hands (see TlsEngine).
#pragma once

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/Types.h"
#include "components/Wire.h"
#include "components/qt/TlsEngine.h"

namespace zef::qt {

// What a connection reports to its owner. Nothing is ever reported from inside a call that the
// owner makes on the connection: such reports are posted to the event loop.
class ConnectionEvents {
  public:
    virtual void OnConnected() = 0;
    virtual void OnData(Bytes& data) = 0;
    virtual void OnSendComplete() = 0;
    virtual void OnTlsReady() = 0;
    virtual void OnSocketError(const Failure& failure) = 0;
    virtual void OnClosed() = 0;  // last report of the attempt, exactly once
    virtual void OnTrace(const std::string& text) = 0;

  protected:
    ~ConnectionEvents() = default;
};

class QtConnection : public std::enable_shared_from_this<QtConnection> {
  public:
    QtConnection(ConnectionEvents& events, const TlsSettings& tls);
    ~QtConnection();
    QtConnection(const QtConnection&) = delete;
    QtConnection& operator=(const QtConnection&) = delete;

    void Start(const std::string& host, const std::string& port);
    bool CanSend() const { return state_ == State::kConnected; }
    bool Send(Bytes& data);
    void Shutdown();
    std::string WhyNoStartTls() const;
    void StartTls();
    void Close();
    void Detach();

  private:
    enum class State {
        kResolving,
        kConnecting,
        kHandshaking,
        kConnected,
        kUpgrading,
        kDraining,
        kHalfClosed,
        kEnded
    };

    class CallScope {
      public:
        explicit CallScope(QtConnection& connection) : connection_(connection) {
            ++connection_.callDepth_;
        }
        ~CallScope() { --connection_.callDepth_; }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

      private:
        QtConnection& connection_;
    };

    void OnResolved(const QList<QHostAddress>& addresses, const std::optional<Failure>& failure);
    void TryNextAddress(int previousError);
    void OnConnectDone();
    void OnConnected();
    void StartHandshake();
    void ContinueHandshake();
    void ContinueUpgrade();
    void OnReadable();
    void OnPlainData(const char* data, std::size_t size);
    void OnTlsData(const char* data, std::size_t size);
    void OnPeerEnd(int error);
    void Deliver(Bytes& data);
    void Queue(Bytes bytes);
    void OnWritable();
    void OnDrained();
    void CloseSendSide();

    void Post(std::function<void()> report);
    void Trace(std::string text);
    void End(std::string reason, std::optional<Failure> failure = std::nullopt);
    void EndForSystemError(const std::string& what, int error, const char* source);
    void ReleaseResources();

    ConnectionEvents* events_;
    State state_ = State::kResolving;
    int callDepth_ = 0;
    TlsSettings tlsSettings_;
    std::unique_ptr<TlsEngine> tls_;  // set from the start of the handshake on
    bool secured_ = false;            // the handshake succeeded

    std::string host_, port_, target_;
    QList<QHostAddress> addresses_;
    int nextAddress_ = 0;
    int socket_ = -1;
    std::unique_ptr<QSocketNotifier> readable_, writable_;
    QTimer peerCloseWait_;

    std::deque<Bytes> sendQueue_;  // bytes for the socket, ciphertext once TLS runs
    std::size_t sentOfFront_ = 0;
    bool ownerBytesQueued_ = false;  // a Send since the last drain: SendComplete is due
};

}  // namespace zef::qt
