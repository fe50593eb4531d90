#include "components/qt/QtConnection.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QSslCipher>
#include <QSslConfiguration>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "components/qt/QtFailures.h"

namespace zef::qt {

namespace {

// How long a shut-down connection waits for the peer to close its side before closing anyway.
constexpr std::chrono::seconds kPeerCloseWait{10};

std::string Describe(const QHostAddress& address, quint16 port) {
    const std::string text = address.toString().toStdString();
    const std::string number = std::to_string(port);
    return address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + text + "]:" + number
                                                               : text + ":" + number;
}

// A non-blocking connect to `address`: the descriptor, or -1 with errno set.
int StartConnect(const QHostAddress& address, quint16 port) {
    sockaddr_storage storage{};
    socklen_t size = sizeof(sockaddr_in);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto& ipv4 = reinterpret_cast<sockaddr_in&>(storage);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(port);
        ipv4.sin_addr.s_addr = htonl(address.toIPv4Address());
    } else {
        auto& ipv6 = reinterpret_cast<sockaddr_in6&>(storage);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(ipv6.sin6_addr.s6_addr, bytes.c, sizeof bytes.c);
        bool numbered = false;
        ipv6.sin6_scope_id = address.scopeId().toUInt(&numbered);
        ipv6.sin6_scope_id = numbered
                                 ? ipv6.sin6_scope_id
                                 : ::if_nametoindex(address.scopeId().toLocal8Bit().constData());
        size = sizeof(sockaddr_in6);
    }
    const int descriptor =
        ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (descriptor >= 0 &&
        ::connect(descriptor, reinterpret_cast<sockaddr*>(&storage), size) != 0 &&
        errno != EINPROGRESS) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

}  // namespace

QList<QSslCertificate> QtConnection::LoadCaFile(const std::string& caFile) {
    if (caFile.empty()) {
        return {};
    }
    QList<QSslCertificate> certificates = QSslCertificate::fromPath(
        QString::fromStdString(caFile), QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    if (certificates.isEmpty()) {
        throw std::runtime_error("it holds no PEM certificate that can be read");
    }
    return certificates;
}

QtConnection::QtConnection(ConnectionEvents& events, const TlsSettings& tls)
    : events_(&events), tlsSettings_(tls) {
    peerCloseWait_.setSingleShot(true);
    QObject::connect(&peerCloseWait_, &QTimer::timeout, &peerCloseWait_, [this] {
        const auto self = shared_from_this();
        if (state_ == State::kHalfClosed) {
            End("the peer did not close in time; closed");
        }
    });
}

QtConnection::~QtConnection() {
    ReleaseResources();
}

void QtConnection::Start(const std::string& host, const std::string& port) {
    CallScope scope(*this);
    host_ = host;
    port_ = static_cast<quint16>(std::stoul(port));
    target_ = host + ":" + port;
    Trace("resolving " + target_);
    const QString name = QString::fromStdString(host);
    if (QHostAddress address; address.setAddress(name)) {
        Post([this, address] { OnResolved({address}, std::nullopt); });
        return;
    }
    QHostInfo::lookupHost(
        name, QCoreApplication::instance(), [self = shared_from_this()](const QHostInfo& info) {
            if (info.error() == QHostInfo::NoError) {
                return self->OnResolved(info.addresses(), std::nullopt);
            }
            const long number = info.error() == QHostInfo::HostNotFound ? 1 : 2;
            self->OnResolved({},
                             Failure{number, info.errorString().toStdString(), "zef.Wire.Resolve"});
        });
}

void QtConnection::OnResolved(const QList<QHostAddress>& addresses,
                              const std::optional<Failure>& failure) {
    if (state_ != State::kResolving) {
        return;  // closed meanwhile
    }
    if (failure || addresses.isEmpty()) {
        const Failure why = failure.value_or(Failure{1, "no address", "zef.Wire.Resolve"});
        End("cannot resolve " + target_ + ": " + why.description, why);
        return;
    }
    state_ = State::kConnecting;
    addresses_ = addresses;
    TryNextAddress(std::nullopt);
}

// Each address in turn, as the Asio wire's connect does, until one answers; each on a socket
// of its own, so that nothing of a failed attempt reaches the next. The wire connects the
// descriptor itself because Qt 6.4 cannot be left to: when the peer resets the connection
// before Qt looks at it, Qt's repeated connect() fails with ECONNRESET, which it ignores, and
// the next one starts a new attempt on the same socket, for good and without a signal.
void QtConnection::TryNextAddress(const std::optional<Failure>& previous) {
    if (previous) {
        Trace("failed: " + previous->description);
        if (state_ != State::kConnecting) {
            return;  // the trace's handler closed the wire
        }
    }
    if (nextAddress_ >= addresses_.size()) {
        const Failure why = previous.value_or(Failure{ENETUNREACH, "no address", ""});
        End("cannot connect to " + target_ + ": " + why.description,
            Failure{why.number, why.description, "zef.Wire.Connect"});
        return;
    }
    const QHostAddress address = addresses_[nextAddress_++];
    Trace("connecting to " + Describe(address, port_));
    if (state_ != State::kConnecting) {
        return;
    }
    ReleaseResources();
    const int descriptor = StartConnect(address, port_);
    if (descriptor < 0) {
        const int error = errno;
        TryNextAddress(Failure{error, std::strerror(error), "zef.Wire.Connect"});
        return;
    }
    connectWatch_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Write);
    QObject::connect(connectWatch_.get(), &QSocketNotifier::activated, connectWatch_.get(),
                     [this, address] {
                         const auto self = shared_from_this();
                         OnConnectFinished(address);
                     });
}

// The connect has finished, one way or the other.
void QtConnection::OnConnectFinished(const QHostAddress& address) {
    const auto descriptor = static_cast<int>(connectWatch_->socket());
    connectWatch_->setEnabled(false);
    connectWatch_.release()->deleteLater();
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error == ECONNRESET) {  // made, and reset before this turn of the loop
        ::close(descriptor);
        Trace("connected to " + Describe(address, port_));
        OnResetOnArrival();
        return;
    }
    if (error != 0) {
        ::close(descriptor);
        TryNextAddress(Failure{error, std::strerror(error), "zef.Wire.Connect"});
        return;
    }
    socket_ = std::make_unique<QSslSocket>();
    socketReceiver_ = std::make_unique<QObject>();
    if (tlsSettings_.mode != TlsMode::None) {
        socket_->setSslConfiguration(MakeTlsConfiguration());
        socket_->setPeerVerifyName(QString::fromStdString(host_));  // also the SNI
    }
    Watch(*socket_);
    if (!socket_->setSocketDescriptor(descriptor)) {  // from here on the socket owns it
        ::close(descriptor);
        End("cannot take over the connection: " + socket_->errorString().toStdString(),
            SocketFailure(socket_->error(), "zef.Wire.Connect"));
        return;
    }
    // Commands go out as whole lines and bodies in large pieces: Nagle would only add stalls.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    OnSocketConnected(address);
}

// Reported as the Asio wire reports a reset that follows the connect: by the first read, which
// over TLS is the handshake's.
void QtConnection::OnResetOnArrival() {
    const std::string reset = std::strerror(ECONNRESET);
    if (state_ != State::kConnecting) {
        return;  // the trace's handler closed the wire
    }
    if (tlsSettings_.mode == TlsMode::Implicit) {
        End("TLS handshake failed: " + reset,
            Failure{ECONNRESET, "TLS handshake failed: " + reset, "zef.Wire.Tls"});
        return;
    }
    state_ = State::kConnected;
    if (events_ != nullptr) {
        events_->OnConnected();
    }
    End("receive failed: " + reset, Failure{ECONNRESET, reset, "zef.Wire.Receive"});
}

QSslConfiguration QtConnection::MakeTlsConfiguration() const {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.addCaCertificates(LoadCaFile(tlsSettings_.caFile));
    configuration.setPeerVerifyMode(tlsSettings_.verifyPeer ? QSslSocket::VerifyPeer
                                                            : QSslSocket::VerifyNone);
    return configuration;
}

// Every handler holds the connection: what it reports may make the owner let go of it.
void QtConnection::Watch(QSslSocket& socket) {
    QObject* receiver = socketReceiver_.get();
    const auto guarded = [this](void (QtConnection::*handler)()) {
        return [this, handler] {
            const auto self = shared_from_this();
            (this->*handler)();
        };
    };
    QObject::connect(&socket, &QSslSocket::encrypted, receiver,
                     guarded(&QtConnection::OnEncrypted));
    QObject::connect(&socket, &QIODevice::readyRead, receiver, guarded(&QtConnection::OnReadyRead));
    QObject::connect(&socket, &QIODevice::bytesWritten, receiver,
                     guarded(&QtConnection::OnBytesWritten));
    QObject::connect(&socket, &QSslSocket::encryptedBytesWritten, receiver,
                     guarded(&QtConnection::OnBytesWritten));
    QObject::connect(&socket, &QAbstractSocket::disconnected, receiver,
                     guarded(&QtConnection::OnPeerEnd));
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, receiver,
                     [this](QAbstractSocket::SocketError error) {
                         const auto self = shared_from_this();
                         OnSocketError(error);
                     });
    // Without ignoreSslErrors the handshake then fails; the first finding explains why.
    QObject::connect(&socket, &QSslSocket::sslErrors, receiver,
                     [this](const QList<QSslError>& findings) {
                         if (!certificateVerdict_ && !findings.isEmpty()) {
                             certificateVerdict_ = findings.front();
                         }
                     });
    QObject::connect(&socket, &QSslSocket::alertReceived, receiver,
                     [this](QSsl::AlertLevel, QSsl::AlertType type, const QString&) {
                         peerSentCloseNotify_ |= type == QSsl::AlertType::CloseNotify;
                     });
}

void QtConnection::OnSocketConnected(const QHostAddress& address) {
    Trace("connected to " + Describe(address, port_));
    if (state_ != State::kConnecting) {
        return;  // the trace's handler closed the wire
    }
    if (tlsSettings_.mode == TlsMode::Implicit) {
        StartHandshake();
        return;
    }
    state_ = State::kConnected;
    if (events_ != nullptr) {
        events_->OnConnected();
    }
}

void QtConnection::StartHandshake() {
    state_ = State::kHandshaking;
    Trace(tlsSettings_.verifyPeer ? "TLS handshake started"
                                  : "TLS handshake started (the certificate is not checked)");
    if (state_ == State::kHandshaking) {
        socket_->startClientEncryption();
    }
}

// Implicit TLS reports the connection only now; an upgrade reports that it is done.
void QtConnection::OnEncrypted() {
    if (state_ != State::kHandshaking) {
        return;
    }
    secured_ = true;
    const QSslCipher cipher = socket_->sessionCipher();
    Trace("TLS handshake completed (" + cipher.protocolString().toStdString() + ", " +
          cipher.name().toStdString() + ")");
    if (state_ != State::kHandshaking) {
        return;  // the trace's handler closed the wire
    }
    state_ = State::kConnected;
    if (events_ == nullptr) {
        return;
    }
    tlsSettings_.mode == TlsMode::Upgrade ? events_->OnTlsReady() : events_->OnConnected();
    if (state_ == State::kConnected && socket_->bytesAvailable() > 0) {
        OnReadyRead();  // records that came with the end of the handshake
    }
}

std::string QtConnection::WhyNoStartTls() const {
    if (tlsSettings_.mode != TlsMode::Upgrade) {
        return "the connection was not opened for a TLS upgrade";
    }
    switch (state_) {
        case State::kResolving:
        case State::kConnecting:
            return "the connection is not up yet";
        case State::kConnected:
            return secured_ ? "the connection already uses TLS" : "";
        case State::kHandshaking:
        case State::kUpgrading:
            return "a TLS upgrade is already under way";
        case State::kDraining:
        case State::kHalfClosed:
            return "the connection is shutting down";
        case State::kEnded:
            return "the connection is closed";
    }
    return "the connection is closed";
}

void QtConnection::StartTls() {
    CallScope scope(*this);
    state_ = State::kUpgrading;
    Trace("starting TLS on the open connection");
    ContinueUpgrade();
}

// The handshake begins once everything queued has gone. Until the client's hello has gone the
// server has nothing to say: bytes waiting now, in Qt's buffer or still in the kernel's (which
// Qt cannot be asked about), were sent in clear after its go-ahead.
void QtConnection::ContinueUpgrade() {
    if (!Drained()) {
        return;  // OnBytesWritten comes back here
    }
    int inKernel = 0;
    if (::ioctl(static_cast<int>(socket_->socketDescriptor()), FIONREAD, &inKernel) != 0) {
        inKernel = 0;  // the socket is going: its end reports itself
    }
    if (socket_->bytesAvailable() > 0 || inKernel > 0) {
        const std::string why = "the server sent data in clear after agreeing to start TLS";
        End(why, Failure{EPROTO, why, "zef.Wire.Tls"});
        return;
    }
    StartHandshake();
}

void QtConnection::OnReadyRead() {
    if (state_ == State::kUpgrading) {
        ContinueUpgrade();  // which refuses what came
        return;
    }
    if (state_ != State::kConnected && state_ != State::kDraining && state_ != State::kHalfClosed) {
        return;  // handshake records, which the socket takes itself
    }
    const QByteArray received = socket_->readAll();
    if (received.isEmpty() || events_ == nullptr) {
        return;
    }
    Bytes data(received.constData(), static_cast<std::size_t>(received.size()));
    events_->OnData(data);
}

bool QtConnection::Drained() const {
    return socket_->bytesToWrite() == 0 && socket_->encryptedBytesToWrite() == 0;
}

void QtConnection::OnBytesWritten() {
    if (state_ == State::kEnded || !Drained()) {
        return;
    }
    const bool forOwner = std::exchange(ownerBytesQueued_, false);
    if (state_ == State::kDraining) {
        CloseSendSide();
        return;
    }
    if (state_ == State::kUpgrading) {
        ContinueUpgrade();
    }
    if (forOwner && state_ != State::kEnded && events_ != nullptr) {
        events_->OnSendComplete();
    }
}

void QtConnection::OnSocketError(QAbstractSocket::SocketError error) {
    switch (state_) {
        case State::kHandshaking: {
            Failure failure = certificateVerdict_ && tlsSettings_.verifyPeer
                                  ? CertificateFailure(*certificateVerdict_, host_)
                                  : HandshakeFailure(error, socket_->errorString());
            std::string reason = failure.description;
            End(std::move(reason), std::move(failure));
            return;
        }
        case State::kConnected:
        case State::kUpgrading:
        case State::kDraining:
        case State::kHalfClosed:
            if (error == QAbstractSocket::RemoteHostClosedError) {
                OnPeerEnd();
                return;
            }
            End("receive failed: " + socket_->errorString().toStdString(),
                SocketFailure(error, "zef.Wire.Receive"));
            return;
        case State::kResolving:
        case State::kConnecting:  // the socket comes once connected
        case State::kEnded:
            return;
    }
}

// The end of the stream: whatever the socket still holds goes to the owner first. A TLS peer
// that closes without close_notify has still ended the stream; the dialogue above knows
// whether everything it expected came.
void QtConnection::OnPeerEnd() {
    if (state_ == State::kHandshaking) {
        Failure failure = HandshakeFailure(QAbstractSocket::RemoteHostClosedError, {});
        std::string reason = failure.description;
        End(std::move(reason), std::move(failure));
        return;
    }
    if (state_ == State::kEnded || state_ == State::kResolving || state_ == State::kConnecting) {
        return;
    }
    if (socket_->bytesAvailable() > 0) {
        OnReadyRead();
        if (state_ == State::kEnded) {
            return;
        }
    }
    if (state_ == State::kHalfClosed && secured_) {
        End("closed");  // the end of our own disconnect after close_notify
        return;
    }
    End(secured_ && !peerSentCloseNotify_ ? "closed by peer without TLS close_notify"
                                          : "closed by peer");
}

bool QtConnection::Send(Bytes& data) {
    if (state_ != State::kConnected) {
        return false;
    }
    socket_->write(data.data(), static_cast<qint64>(data.size()));
    data.clear();
    ownerBytesQueued_ = true;
    // An empty send completes too, from the loop as the others do.
    Post([this] {
        if (state_ != State::kEnded) {
            OnBytesWritten();
        }
    });
    return true;
}

void QtConnection::Shutdown() {
    CallScope scope(*this);
    switch (state_) {
        case State::kResolving:
        case State::kConnecting:
            End("closed before the connection was made");
            break;
        case State::kHandshaking:
        case State::kUpgrading:
            End("closed before TLS was set up");
            break;
        case State::kConnected:
            state_ = State::kDraining;
            Trace("shutting down");
            if (state_ == State::kDraining && Drained()) {
                CloseSendSide();
            }
            break;
        case State::kDraining:
        case State::kHalfClosed:
        case State::kEnded:
            break;  // already on its way out
    }
}

// Everything queued has gone. A plain connection ends its sending side (Qt has no call for
// that, so the socket's descriptor gets it) and reads on, so a last reply still arrives. Over
// TLS the socket's own disconnect sends close_notify; Qt reads nothing after it.
void QtConnection::CloseSendSide() {
    state_ = State::kHalfClosed;
    if (secured_) {
        Trace("TLS close_notify sent, closing");
        if (state_ == State::kHalfClosed) {
            socket_->disconnectFromHost();  // disconnected follows, and OnPeerEnd
        }
        return;
    }
    if (::shutdown(static_cast<int>(socket_->socketDescriptor()), SHUT_WR) != 0) {
        End("shutdown failed",
            SocketFailure(QAbstractSocket::UnknownSocketError, "zef.Wire.Shutdown"));
        return;
    }
    Trace("sending side closed, waiting for the peer to close");
    if (state_ == State::kHalfClosed) {
        peerCloseWait_.start(kPeerCloseWait);
    }
}

void QtConnection::Close() {
    CallScope scope(*this);
    End("closed");
}

void QtConnection::Detach() {
    events_ = nullptr;
    state_ = State::kEnded;
    ReleaseResources();
}

void QtConnection::Post(std::function<void()> report) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = shared_from_this(), report = std::move(report)] { report(); },
        Qt::QueuedConnection);
}

void QtConnection::Trace(std::string text) {
    if (callDepth_ == 0) {
        if (events_ != nullptr) {
            events_->OnTrace(text);
        }
        return;
    }
    Post([this, text = std::move(text)] {
        if (events_ != nullptr) {
            events_->OnTrace(text);
        }
    });
}

// Always posted: Close is called by the owner, and the handler of SocketError must not find
// itself nested inside the call that failed.
void QtConnection::End(std::string reason, std::optional<Failure> failure) {
    if (state_ == State::kEnded) {
        return;
    }
    state_ = State::kEnded;
    ReleaseResources();
    Post([this, reason = std::move(reason), failure = std::move(failure)] {
        // Each report may destroy the owner, which detaches this connection.
        if (events_ != nullptr) {
            events_->OnTrace(reason);
        }
        if (failure && events_ != nullptr) {
            events_->OnSocketError(*failure);
        }
        if (events_ != nullptr) {
            events_->OnClosed();
        }
    });
}

// The socket may be in the middle of one of its signals: it goes once that is over, and its
// handlers go first, so that its last words (abort's disconnected) reach nobody.
void QtConnection::ReleaseResources() {
    peerCloseWait_.stop();
    if (connectWatch_) {
        connectWatch_->setEnabled(false);
        ::close(static_cast<int>(connectWatch_->socket()));
        connectWatch_.release()->deleteLater();
    }
    socketReceiver_.reset();
    if (socket_) {
        socket_->abort();
        socket_.release()->deleteLater();
    }
}

}  // namespace zef::qt
