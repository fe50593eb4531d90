#include "components/qt/QtConnection.h"

#include <QCoreApplication>
#include <QHostInfo>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zef::qt {

namespace {

// How long a shut-down connection waits for the peer to close its side before closing anyway.
constexpr std::chrono::seconds kPeerCloseWait{10};
constexpr std::size_t kReadBufferSize = std::size_t{64} * 1024;
constexpr long kEndOfStream = 2;  // the number the Asio wire gives a handshake cut short

std::string Describe(const QHostAddress& address, const std::string& port) {
    const std::string text = address.toString().toStdString();
    return address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + text + "]:" + port
                                                               : text + ":" + port;
}

}  // namespace

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
    port_ = port;
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
    TryNextAddress(0);
}

// Each address in turn, as the Asio wire's connect does, until one answers.
void QtConnection::TryNextAddress(int previousError) {
    if (previousError != 0) {
        Trace(std::string("failed: ") + std::strerror(previousError));
    }
    if (nextAddress_ >= addresses_.size()) {
        EndForSystemError("cannot connect to " + target_, previousError, "zef.Wire.Connect");
        return;
    }
    const QHostAddress address = addresses_[nextAddress_++];
    Trace("connecting to " + Describe(address, port_));
    if (state_ != State::kConnecting) {
        return;  // the trace's handler closed the wire
    }
    sockaddr_storage storage{};
    socklen_t length = 0;
    const auto port = static_cast<std::uint16_t>(std::stoul(port_));
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&v6->sin6_addr, bytes.c, sizeof bytes.c);
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *v4;
    }
    socket_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        EndForSystemError("cannot connect to " + target_, errno, "zef.Wire.Connect");
        return;
    }
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&storage), length) != 0 &&
        errno != EINPROGRESS) {
        const int error = errno;
        ::close(socket_);
        socket_ = -1;
        TryNextAddress(error);
        return;
    }
    writable_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Write);
    QObject::connect(writable_.get(), &QSocketNotifier::activated, writable_.get(), [this] {
        const auto self = shared_from_this();
        state_ == State::kConnecting ? OnConnectDone() : OnWritable();
    });
}

void QtConnection::OnConnectDone() {
    writable_->setEnabled(false);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    // A peer that accepts and resets at once may do so before the loop came round to this
    // socket: the connection was made, and ends as reset, as it would a turn later.
    if (error == ECONNRESET) {
        OnConnected();
        OnPeerEnd(error);
        return;
    }
    if (error != 0) {
        writable_.release()->deleteLater();  // it is running: it goes once its signal is over
        ::close(socket_);
        socket_ = -1;
        TryNextAddress(error);
        return;
    }
    OnConnected();
}

void QtConnection::OnConnected() {
    // Commands go out as whole lines and bodies in large pieces: Nagle would only add stalls.
    const int on = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Trace("connected to " + Describe(addresses_[nextAddress_ - 1], port_));
    if (state_ != State::kConnecting) {
        return;  // the trace's handler closed the wire
    }
    readable_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
    QObject::connect(readable_.get(), &QSocketNotifier::activated, readable_.get(), [this] {
        const auto self = shared_from_this();
        OnReadable();
    });
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
    try {
        tls_ = std::make_unique<TlsEngine>(tlsSettings_, host_);
    } catch (const std::runtime_error& failure) {
        End(failure.what(), Failure{EINVAL, failure.what(), "zef.Wire.Tls"});
        return;
    }
    Trace(tlsSettings_.verifyPeer ? "TLS handshake started"
                                  : "TLS handshake started (the certificate is not checked)");
    if (state_ != State::kHandshaking) {
        return;
    }
    readable_->setEnabled(true);
    ContinueHandshake();
}

void QtConnection::ContinueHandshake() {
    const TlsEngine::Outcome outcome = tls_->Handshake();
    Queue(tls_->TakeOutgoing());
    if (outcome == TlsEngine::Outcome::kMore) {
        return;
    }
    if (outcome != TlsEngine::Outcome::kDone) {
        Failure failure = tls_->HandshakeFailure();
        std::string reason = failure.description;
        End(std::move(reason), std::move(failure));
        return;
    }
    secured_ = true;
    Trace("TLS handshake completed (" + tls_->SessionSummary() + ")");
    if (state_ != State::kHandshaking) {
        return;
    }
    state_ = State::kConnected;
    if (events_ == nullptr) {
        return;
    }
    tlsSettings_.mode == TlsMode::Upgrade ? events_->OnTlsReady() : events_->OnConnected();
    if (state_ == State::kConnected && events_ != nullptr) {
        OnTlsData(nullptr, 0);  // records that came with the end of the handshake
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
            return tls_ != nullptr ? "the connection already uses TLS" : "";
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

// Reading stops until the handshake: what the server sends meanwhile must not be taken in clear.
void QtConnection::StartTls() {
    CallScope scope(*this);
    state_ = State::kUpgrading;
    readable_->setEnabled(false);
    Trace("starting TLS on the open connection");
    ContinueUpgrade();
}

// The handshake begins once everything queued has gone. Until the client's hello has gone the
// server has nothing to say: bytes waiting now were sent in clear after its go-ahead.
void QtConnection::ContinueUpgrade() {
    if (writable_->isEnabled()) {
        return;  // OnDrained comes back here
    }
    int waiting = 0;
    if (::ioctl(socket_, FIONREAD, &waiting) != 0) {
        EndForSystemError("receive failed", errno, "zef.Wire.Receive");
        return;
    }
    if (waiting > 0) {
        const std::string why = "the server sent data in clear after agreeing to start TLS";
        End(why, Failure{EPROTO, why, "zef.Wire.Tls"});
        return;
    }
    StartHandshake();
}

void QtConnection::OnReadable() {
    std::array<char, kReadBufferSize> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    const ssize_t got = ::recv(socket_, buffer.data(), buffer.size(), 0);
    if (got > 0) {
        tls_ ? OnTlsData(buffer.data(), static_cast<std::size_t>(got))
             : OnPlainData(buffer.data(), static_cast<std::size_t>(got));
    } else if (got == 0) {
        OnPeerEnd(0);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        OnPeerEnd(errno);
    }
}

void QtConnection::OnPlainData(const char* data, std::size_t size) {
    Bytes bytes(data, size);
    Deliver(bytes);
}

void QtConnection::OnTlsData(const char* data, std::size_t size) {
    tls_->Feed(data, size);
    if (state_ == State::kHandshaking) {
        ContinueHandshake();
        return;
    }
    Bytes plain;
    const TlsEngine::Outcome outcome = tls_->Decrypt(plain);
    Queue(tls_->TakeOutgoing());
    if (!plain.empty()) {
        Deliver(plain);
    }
    if (state_ == State::kEnded || events_ == nullptr) {
        return;  // the handler closed the connection or destroyed its owner
    }
    if (outcome == TlsEngine::Outcome::kClosed) {
        End("closed by peer");
    } else if (outcome == TlsEngine::Outcome::kFailed) {
        Failure failure = tls_->StreamFailure("zef.Wire.Receive");
        std::string reason = "receive failed: " + failure.description;
        End(std::move(reason), std::move(failure));
    }
}

// A TLS peer that closes the socket without close_notify has still ended the stream; the
// dialogue above knows whether everything it expected came.
void QtConnection::OnPeerEnd(int error) {
    if (state_ == State::kHandshaking) {
        Failure failure =
            error == 0
                ? Failure{kEndOfStream, "TLS handshake failed: the server closed the connection",
                          "zef.Wire.Tls"}
                : Failure{error, std::string("TLS handshake failed: ") + std::strerror(error),
                          "zef.Wire.Tls"};
        std::string reason = failure.description;
        End(std::move(reason), std::move(failure));
    } else if (error != 0) {
        EndForSystemError("receive failed", error, "zef.Wire.Receive");
    } else {
        End(secured_ ? "closed by peer without TLS close_notify" : "closed by peer");
    }
}

void QtConnection::Deliver(Bytes& data) {
    if (events_ != nullptr) {
        events_->OnData(data);
    }
}

void QtConnection::Queue(Bytes bytes) {
    if (!bytes.empty() && state_ != State::kEnded) {
        sendQueue_.push_back(std::move(bytes));
        writable_->setEnabled(true);
    }
}

bool QtConnection::Send(Bytes& data) {
    if (state_ != State::kConnected) {
        return false;
    }
    if (tls_) {
        if (tls_->Encrypt(data) == TlsEngine::Outcome::kFailed) {
            Failure failure = tls_->StreamFailure("zef.Wire.Send");
            std::string reason = "send failed: " + failure.description;
            End(std::move(reason), std::move(failure));
        }
        sendQueue_.push_back(tls_->TakeOutgoing());
    } else {
        sendQueue_.push_back(std::move(data));
    }
    data.clear();
    ownerBytesQueued_ = true;
    writable_->setEnabled(state_ != State::kEnded);  // even an empty send completes
    return true;
}

void QtConnection::OnWritable() {
    while (!sendQueue_.empty()) {
        const Bytes& front = sendQueue_.front();
        if (sentOfFront_ < front.size()) {
            const ssize_t sent = ::send(socket_, front.data() + sentOfFront_,
                                        front.size() - sentOfFront_, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    EndForSystemError("send failed", errno, "zef.Wire.Send");
                }
                return;
            }
            sentOfFront_ += static_cast<std::size_t>(sent);
            if (sentOfFront_ < front.size()) {
                continue;
            }
        }
        sendQueue_.pop_front();
        sentOfFront_ = 0;
    }
    writable_->setEnabled(false);
    OnDrained();
}

void QtConnection::OnDrained() {
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
            if (!writable_->isEnabled()) {
                CloseSendSide();
            }
            break;
        case State::kDraining:
        case State::kHalfClosed:
        case State::kEnded:
            break;  // already on its way out
    }
}

// Everything queued has gone: a FIN (over TLS, close_notify) tells the peer, whose own close
// then ends the connection. Reading goes on meanwhile, so a last reply still arrives.
void QtConnection::CloseSendSide() {
    state_ = State::kHalfClosed;
    if (secured_) {
        tls_->CloseSend();
        Queue(tls_->TakeOutgoing());
    } else if (::shutdown(socket_, SHUT_WR) != 0) {
        EndForSystemError("shutdown failed", errno, "zef.Wire.Shutdown");
        return;
    }
    Trace(secured_ ? "TLS close_notify sent, waiting for the peer to close"
                   : "sending side closed, waiting for the peer to close");
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

void QtConnection::EndForSystemError(const std::string& what, int error, const char* source) {
    const std::string description = std::strerror(error);
    End(what + ": " + description, Failure{error, description, source});
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

void QtConnection::ReleaseResources() {
    peerCloseWait_.stop();
    if (readable_) {
        readable_->setEnabled(false);
    }
    if (writable_) {
        writable_->setEnabled(false);
    }
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

}  // namespace zef::qt
