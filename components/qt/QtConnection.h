// One connection attempt of the Qt wire, from the name lookup to the end, on Qt's event loop.
// QHostInfo looks the name up, a descriptor per address makes the connection and a QSslSocket
// takes it over; TLS, from the start or as an upgrade, is the socket's startClientEncryption
// with the wire's certificate checks in its QSslConfiguration.
#pragma once

#include <QHostAddress>
#include <QSocketNotifier>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/Types.h"
#include "components/Wire.h"
#include "components/wire/ConnectionWire.h"

namespace zef::qt {

using wire::ConnectionEvents;
using wire::Failure;

class QtConnection : public std::enable_shared_from_this<QtConnection> {
  public:
    QtConnection(ConnectionEvents& events, const TlsSettings& tls);
    ~QtConnection();
    QtConnection(const QtConnection&) = delete;
    QtConnection& operator=(const QtConnection&) = delete;

    // The CA certificates of `caFile` (PEM); throws std::runtime_error when it holds none, so
    // that Connect can refuse at once.
    static QList<QSslCertificate> LoadCaFile(const std::string& caFile);

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
    void TryNextAddress(const std::optional<Failure>& previous);
    QSslConfiguration MakeTlsConfiguration() const;
    void OnConnectFinished(const QHostAddress& address);
    void Watch(QSslSocket& socket);
    void OnSocketConnected(const QHostAddress& address);
    void OnResetOnArrival();
    void StartHandshake();
    void OnEncrypted();
    void ContinueUpgrade();
    void OnReadyRead();
    void OnBytesWritten();
    bool Drained() const;
    void OnSocketError(QAbstractSocket::SocketError error);
    void OnPeerEnd();
    void CloseSendSide();

    void Post(std::function<void()> report);
    void Trace(std::string text);
    void End(std::string reason, std::optional<Failure> failure = std::nullopt);
    void ReleaseResources();

    ConnectionEvents* events_;
    State state_ = State::kResolving;
    int callDepth_ = 0;
    TlsSettings tlsSettings_;
    bool secured_ = false;  // the handshake succeeded
    bool peerSentCloseNotify_ = false;
    std::optional<QSslError> certificateVerdict_;  // the first finding of the certificate check

    std::string host_, target_;
    quint16 port_ = 0;
    QList<QHostAddress> addresses_;
    int nextAddress_ = 0;
    std::unique_ptr<QSocketNotifier> connectWatch_;  // on the descriptor while it connects
    std::unique_ptr<QSslSocket> socket_;
    std::unique_ptr<QObject> socketReceiver_;  // its end disconnects every handler of socket_
    QTimer peerCloseWait_;

    bool ownerBytesQueued_ = false;  // a Send since the last drain: SendComplete is due
};

}  // namespace zef::qt
