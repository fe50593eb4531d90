#include "components/wire/Connection.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>

#include <cerrno>
#include <chrono>
#include <utility>

#include <asio/ssl/error.hpp>

namespace zef::wire {

namespace {

// How long a shut-down connection waits for the peer to close its side before closing anyway.
constexpr std::chrono::seconds kPeerCloseWait{10};

std::string Describe(const asio::ip::tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    const std::string port = std::to_string(endpoint.port());
    return endpoint.address().is_v6() ? "[" + address + "]:" + port : address + ":" + port;
}

}  // namespace

Connection::Connection(asio::io_context& io, ConnectionEvents& events, TlsPlan tls)
    : io_(io),
      events_(&events),
      resolver_(io),
      socket_(io),
      tlsPlan_(std::move(tls)),
      peerCloseWait_(io) {}

void Connection::Start(const std::string& host, const std::string& port) {
    CallScope scope(*this);
    host_ = host;
    target_ = host + ":" + port;
    Trace("resolving " + target_);
    if (StartWithAddress(host, port)) {
        return;
    }
    resolver_.async_resolve(
        host, port, asio::ip::tcp::resolver::numeric_service,
        [self = shared_from_this()](const asio::error_code& error,
                                    const asio::ip::tcp::resolver::results_type& endpoints) {
            self->OnResolved(error, endpoints);
        });
}

// A host given as an IP address and a port given as a number need no resolver, whose lookup
// runs on a thread of its own: the address is connected to straight away (still from a
// handler of its own, as a resolved one would be).
bool Connection::StartWithAddress(const std::string& host, const std::string& port) {
    asio::error_code notAnAddress;
    const asio::ip::address address = asio::ip::make_address(host, notAnAddress);
    const bool numericPort = !port.empty() && port.size() <= 5 &&
                             port.find_first_not_of("0123456789") == std::string::npos;
    if (notAnAddress || !numericPort || std::stoul(port) > 65535) {
        return false;
    }
    const asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(std::stoul(port)));
    asio::post(io_, [self = shared_from_this(),
                     results = asio::ip::tcp::resolver::results_type::create(
                         endpoint, host, port)] { self->OnResolved({}, results); });
    return true;
}

void Connection::OnResolved(const asio::error_code& error,
                            const asio::ip::tcp::resolver::results_type& endpoints) {
    if (state_ != State::kResolving) {
        return;  // closed meanwhile
    }
    if (error) {
        End("cannot resolve " + target_ + ": " + error.message(), error, "zef.Wire.Resolve");
        return;
    }
    state_ = State::kConnecting;
    auto self = shared_from_this();
    asio::async_connect(
        socket_, endpoints,
        [self](const asio::error_code& previousError, const asio::ip::tcp::endpoint& next) {
            return self->OnTryingEndpoint(previousError, next);
        },
        [self](const asio::error_code& connectError, const asio::ip::tcp::endpoint& endpoint) {
            self->OnConnected(connectError, endpoint);
        });
}

bool Connection::OnTryingEndpoint(const asio::error_code& previousError,
                                  const asio::ip::tcp::endpoint& next) {
    if (state_ != State::kConnecting) {
        return false;  // closed while trying: skip the remaining addresses
    }
    if (previousError) {
        Trace("failed: " + previousError.message());
    }
    Trace("connecting to " + Describe(next));
    return true;
}

void Connection::OnConnected(const asio::error_code& error,
                             const asio::ip::tcp::endpoint& endpoint) {
    if (state_ != State::kConnecting) {
        return;
    }
    if (error) {
        End("cannot connect to " + target_ + ": " + error.message(), error, "zef.Wire.Connect");
        return;
    }
    // Commands go out as whole lines and bodies in large pieces, so Nagle's algorithm would
    // only add a delayed-acknowledgement stall to every command of the dialogue.
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);

    stream_ = MakePlainStream(socket_);
    Trace("connected to " + Describe(endpoint));
    if (state_ != State::kConnecting) {
        return;  // the trace's handler closed the wire
    }
    if (tlsPlan_.mode == TlsMode::Implicit) {
        StartHandshake();
        return;
    }
    state_ = State::kConnected;
    StartRead();
    if (events_ != nullptr && state_ == State::kConnected) {
        events_->OnConnected();
    }
}

// TLS takes over the socket from the plain stream, which has nothing under way any more.
void Connection::StartHandshake() {
    state_ = State::kHandshaking;
    auto tls = MakeTlsStream(socket_, *tlsPlan_.context, host_, tlsPlan_.verifyPeer);
    tls_ = tls.get();
    stream_ = std::move(tls);
    Trace(tlsPlan_.verifyPeer ? "TLS handshake started"
                              : "TLS handshake started (the certificate is not checked)");
    tls_->AsyncHandshake(
        [self = shared_from_this()](const asio::error_code& error) { self->OnHandshake(error); });
}

// Implicit TLS reports the connection only now; an upgrade reports that it is done.
void Connection::OnHandshake(const asio::error_code& error) {
    if (state_ != State::kHandshaking) {
        return;
    }
    if (error) {
        Failure failure = tls_->DescribeHandshakeFailure(error);
        std::string reason = failure.description;
        End(std::move(reason), std::move(failure));
        return;
    }
    Trace("TLS handshake completed (" + tls_->SessionSummary() + ")");
    if (state_ != State::kHandshaking) {
        return;  // the trace's handler closed the wire
    }
    const bool upgraded = tlsPlan_.mode == TlsMode::Upgrade;
    state_ = State::kConnected;
    StartRead();
    if (events_ == nullptr || state_ != State::kConnected) {
        return;
    }
    if (upgraded) {
        events_->OnTlsReady();
    } else {
        events_->OnConnected();
    }
}

std::string Connection::WhyNoStartTls() const {
    if (tlsPlan_.mode != TlsMode::Upgrade) {
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

void Connection::StartTls() {
    CallScope scope(*this);
    state_ = State::kUpgrading;
    Trace("starting TLS on the open connection");
    ContinueUpgrade();
}

// The handshake may only begin once the plain stream is idle: nothing left to write, and no
// read that could take the server's first handshake bytes for itself.
void Connection::ContinueUpgrade() {
    if (writing_) {
        return;  // OnWritten comes back here once the queue has drained
    }
    if (reading_) {
        if (!readCalledOff_) {
            readCalledOff_ = true;
            asio::error_code ignored;
            socket_.cancel(ignored);  // only the read is pending: the queue is empty
        }
        return;  // OnRead comes back here
    }
    // Until the client's hello has gone, the server has nothing to say: whatever is waiting was
    // sent in clear after its go-ahead, and must not pass for protected data.
    asio::error_code error;
    const std::size_t waiting = socket_.available(error);
    if (error) {
        End("receive failed: " + error.message(), error, "zef.Wire.Receive");
        return;
    }
    if (waiting > 0) {
        EndForClearDataAfterGoAhead();
        return;
    }
    StartHandshake();
}

// The pending plain read ends either called off, or with data the server sent after its
// go-ahead, which ends the connection.
void Connection::OnReadWhileUpgrading(const asio::error_code& error, std::size_t bytes) {
    if (bytes > 0) {
        EndForClearDataAfterGoAhead();
    } else if (error == asio::error::operation_aborted) {
        ContinueUpgrade();
    } else if (error == asio::error::eof) {
        End("closed by peer");
    } else {
        End("receive failed: " + error.message(), error, "zef.Wire.Receive");
    }
}

void Connection::EndForClearDataAfterGoAhead() {
    const std::string why = "the server sent data in clear after agreeing to start TLS";
    End(why, Failure{EPROTO, why, "zef.Wire.Tls"});
}

void Connection::StartRead() {
    reading_ = true;
    stream_->AsyncReadSome(
        asio::buffer(readBuffer_),
        [self = shared_from_this()](const asio::error_code& error, std::size_t bytes) {
            self->OnRead(error, bytes);
        });
}

void Connection::OnRead(const asio::error_code& error, std::size_t bytes) {
    reading_ = false;
    if (state_ == State::kEnded) {
        return;
    }
    if (state_ == State::kUpgrading) {
        OnReadWhileUpgrading(error, bytes);
        return;
    }
    if (error == asio::error::eof) {
        End("closed by peer");
        return;
    }
    // A TLS peer that closes the socket without close_notify has still ended the stream; the
    // dialogue above knows whether everything it expected came.
    if (error == asio::ssl::error::stream_truncated) {
        End("closed by peer without TLS close_notify");
        return;
    }
    if (error) {
        End("receive failed: " + DescribeStreamError(error), error, "zef.Wire.Receive");
        return;
    }
    Bytes data(readBuffer_.data(), bytes);
    if (events_ != nullptr) {
        events_->OnData(data);
    }
    // The handler may have closed the connection, destroyed its owner, or asked for TLS (then
    // the upgrade goes on without a plain read, and the handshake may have begun already).
    const bool readsGoOn =
        state_ == State::kConnected || state_ == State::kDraining || state_ == State::kHalfClosed;
    if (readsGoOn && events_ != nullptr) {
        StartRead();
    }
}

bool Connection::Send(Bytes& data) {
    if (state_ != State::kConnected) {
        return false;
    }
    sendQueue_.push_back(std::move(data));
    data.clear();  // a moved-from string is valid but unspecified; leave it plainly empty
    if (!writing_) {
        StartWrite();
    }
    return true;
}

// One queued buffer at a time; an empty one completes at once and still counts as sent.
void Connection::StartWrite() {
    writing_ = true;
    stream_->AsyncWrite(asio::buffer(sendQueue_.front()),
                        [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                            self->OnWritten(error);
                        });
}

void Connection::OnWritten(const asio::error_code& error) {
    if (state_ == State::kEnded) {
        return;
    }
    if (error) {
        End("send failed: " + DescribeStreamError(error), error, "zef.Wire.Send");
        return;
    }
    sendQueue_.pop_front();
    if (!sendQueue_.empty()) {
        StartWrite();
        return;
    }
    writing_ = false;
    if (state_ == State::kDraining) {
        CloseSendSide();
        return;
    }
    if (state_ == State::kUpgrading) {
        ContinueUpgrade();
    }
    if (state_ != State::kEnded && events_ != nullptr) {
        events_->OnSendComplete();
    }
}

void Connection::Shutdown() {
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
            if (!writing_) {
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
void Connection::CloseSendSide() {
    stream_->ShutdownSend([self = shared_from_this()](const asio::error_code& error) {
        self->OnSendSideClosed(error);
    });
    if (state_ == State::kEnded) {
        return;  // the plain shutdown failed at once
    }
    state_ = State::kHalfClosed;
    Trace(tls_ != nullptr ? "TLS close_notify sent, waiting for the peer to close"
                          : "sending side closed, waiting for the peer to close");
    peerCloseWait_.expires_after(kPeerCloseWait);
    peerCloseWait_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        self->OnPeerCloseWaitOver(error);
    });
}

// Over TLS the outcome only says how the peer answered close_notify: the read that goes on
// meanwhile sees the end of the stream and ends the connection itself.
void Connection::OnSendSideClosed(const asio::error_code& error) {
    if (state_ == State::kEnded || tls_ != nullptr || !error) {
        return;
    }
    End("shutdown failed: " + error.message(), error, "zef.Wire.Shutdown");
}

void Connection::OnPeerCloseWaitOver(const asio::error_code& error) {
    if (!error && state_ == State::kHalfClosed) {
        End("the peer did not close in time; closed");
    }
}

void Connection::Close() {
    CallScope scope(*this);
    End("closed");
}

void Connection::Detach() {
    events_ = nullptr;
    state_ = State::kEnded;
    ReleaseResources();
}

void Connection::Trace(std::string text) {
    if (callDepth_ == 0) {
        if (events_ != nullptr) {
            events_->OnTrace(text);
        }
        return;
    }
    asio::post(io_, [self = shared_from_this(), text = std::move(text)] {
        if (self->events_ != nullptr) {
            self->events_->OnTrace(text);
        }
    });
}

void Connection::End(std::string reason, const asio::error_code& error, std::string source) {
    End(std::move(reason), Failure{error.value(), DescribeStreamError(error), std::move(source)});
}

void Connection::End(std::string reason, std::optional<Failure> failure) {
    if (state_ == State::kEnded) {
        return;
    }
    state_ = State::kEnded;
    ReleaseResources();
    // Always posted: Close is called by the owner, and the handler of SocketError must not
    // find itself nested inside the completion that failed.
    asio::post(
        io_, [self = shared_from_this(), reason = std::move(reason), failure = std::move(failure)] {
            // Each report may destroy the owner, which detaches this connection.
            if (self->events_ != nullptr) {
                self->events_->OnTrace(reason);
            }
            if (failure && self->events_ != nullptr) {
                self->events_->OnSocketError(*failure);
            }
            if (self->events_ != nullptr) {
                self->events_->OnClosed();
            }
        });
}

void Connection::ReleaseResources() {
    resolver_.cancel();
    peerCloseWait_.cancel();
    if (stream_) {
        stream_->Close();
    }
    asio::error_code ignored;
    socket_.close(ignored);
    // The send queue stays: an aborted write may still name its buffer until it completes.
}

}  // namespace zef::wire
