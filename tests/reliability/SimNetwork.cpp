#include "tests/reliability/SimNetwork.h"

#include "common/Error.h"

namespace zef::reliability {

size_t EventLoop::RunUntilIdle(size_t limit) {
    size_t ran = 0;
    while (!queue_.empty() && ran < limit) {
        std::function<void()> handler = std::move(queue_.front());
        queue_.pop_front();
        handler();
        ++ran;
    }
    return ran;
}

void SimWire::Connect(const std::string& host, const std::string& /*port*/,
                      const std::string& /*options*/) {
    if (state_ == State::kConnecting || state_ == State::kOpen) {
        throw Error(5, "SimWire", u"already connected");
    }
    ++connects;
    ++generation_;
    host_ = host;
    state_ = State::kConnecting;
    switch (connectOutcome) {
        case ConnectOutcome::kAccept:
            PostForThisConnection([this] {
                state_ = State::kOpen;
                if (SocketTrace) {
                    SocketTrace("connected to " + host_);
                }
                if (Connected) {
                    Connected();
                }
                if (state_ == State::kOpen) {
                    peer_.OnConnect(link_);
                }
            });
            break;
        case ConnectOutcome::kRefuse:
            PostForThisConnection([this] {
                if (SocketError) {
                    SocketError(111, "Connection refused", "SimWire", 0);
                }
                End();
            });
            break;
        case ConnectOutcome::kNoAnswer:
            break;
    }
}

void SimWire::SendData(Bytes& data) {
    if (state_ != State::kOpen) {
        data.clear();
        return;
    }
    Bytes bytes;
    bytes.swap(data);
    if (onSend) {
        onSend(bytes);
    }
    // The send queue drains at once; the server reads the bytes after that.
    PostForThisConnection([this] {
        if (state_ == State::kOpen && SendComplete) {
            SendComplete();
        }
    });
    PostForThisConnection([this, bytes = std::move(bytes)] {
        if (state_ == State::kOpen) {
            peer_.OnBytes(link_, bytes);
        }
    });
}

void SimWire::Close() {
    ControlClose();
}

void SimWire::Shutdown(int /*how*/) {
    ControlClose();
}

void SimWire::ControlClose() {
    ++closeCalls;
    End();
}

void SimWire::End() {
    if (state_ == State::kIdle || state_ == State::kClosed) {
        return;  // Closed comes once per connection
    }
    state_ = State::kClosed;
    const unsigned connection = generation_;
    loop_.Post([this, connection] {
        if (connection != generation_) {
            return;
        }
        ++closedRaised;
        if (SocketTrace) {
            SocketTrace("closed");
        }
        if (Closed) {
            Closed();
        }
    });
}

void SimWire::PeerSend(std::string_view bytes) {
    if (state_ != State::kOpen) {
        return;
    }
    PostForThisConnection([this, data = Bytes(bytes)]() mutable {
        if (state_ != State::kOpen) {
            return;  // a closed socket reads nothing more
        }
        bytesDelivered += data.size();
        if (DataArrival) {
            DataArrival(data);
        }
    });
}

void SimWire::PostForThisConnection(std::function<void()> handler) {
    const unsigned connection = generation_;
    loop_.Post([this, connection, handler = std::move(handler)] {
        if (connection == generation_) {
            handler();
        }
    });
}

void SimWire::Link::Later(std::function<void()> step) {
    wire_.PostForThisConnection(std::move(step));
}

}  // namespace zef::reliability
