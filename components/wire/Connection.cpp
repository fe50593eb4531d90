#include "components/wire/Connection.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <utility>

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

Connection::Connection(asio::io_context& io, ConnectionEvents& events)
    : io_(io), events_(&events), resolver_(io), socket_(io), peerCloseWait_(io) {}

void Connection::Start(const std::string& host, const std::string& port) {
    CallScope scope(*this);
    target_ = host + ":" + port;
    Trace("resolving " + target_);
    resolver_.async_resolve(
        host, port, asio::ip::tcp::resolver::numeric_service,
        [self = shared_from_this()](const asio::error_code& error,
                                    const asio::ip::tcp::resolver::results_type& endpoints) {
            self->OnResolved(error, endpoints);
        });
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

    state_ = State::kConnected;
    stream_ = MakePlainStream(socket_);
    Trace("connected to " + Describe(endpoint));
    StartRead();
    if (events_ != nullptr && state_ == State::kConnected) {
        events_->OnConnected();
    }
}

void Connection::StartRead() {
    stream_->AsyncReadSome(
        asio::buffer(readBuffer_),
        [self = shared_from_this()](const asio::error_code& error, std::size_t bytes) {
            self->OnRead(error, bytes);
        });
}

void Connection::OnRead(const asio::error_code& error, std::size_t bytes) {
    if (state_ == State::kEnded) {
        return;
    }
    if (error == asio::error::eof) {
        End("closed by peer");
        return;
    }
    if (error) {
        End("receive failed: " + error.message(), error, "zef.Wire.Receive");
        return;
    }
    Bytes data(readBuffer_.data(), bytes);
    if (events_ != nullptr) {
        events_->OnData(data);
    }
    // The handler may have closed the connection, or destroyed its owner.
    if (state_ != State::kEnded && events_ != nullptr) {
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
        End("send failed: " + error.message(), error, "zef.Wire.Send");
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
    } else if (events_ != nullptr) {
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

// Everything queued has gone: a FIN tells the peer, whose own close then ends the connection.
// Reading goes on meanwhile, so a last reply still arrives.
void Connection::CloseSendSide() {
    if (const asio::error_code error = stream_->ShutdownSend()) {
        End("shutdown failed: " + error.message(), error, "zef.Wire.Shutdown");
        return;
    }
    state_ = State::kHalfClosed;
    Trace("sending side closed, waiting for the peer to close");
    peerCloseWait_.expires_after(kPeerCloseWait);
    peerCloseWait_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        self->OnPeerCloseWaitOver(error);
    });
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
    if (state_ == State::kEnded) {
        return;
    }
    state_ = State::kEnded;
    ReleaseResources();
    // Always posted: Close is called by the owner, and the handler of SocketError must not
    // find itself nested inside the completion that failed.
    asio::post(io_, [self = shared_from_this(), reason = std::move(reason), error,
                     source = std::move(source)] {
        // Each report may destroy the owner, which detaches this connection.
        if (self->events_ != nullptr) {
            self->events_->OnTrace(reason);
        }
        if (error && self->events_ != nullptr) {
            self->events_->OnSocketError(error, source);
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
