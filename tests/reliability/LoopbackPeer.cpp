#include "tests/reliability/LoopbackPeer.h"

namespace zef::reliability {

// One accepted connection. Writes go out one after another; a step asked for with Later runs
// once what was written has drained, so that a model sending a long stream never queues more
// than one piece.
class LoopbackPeer::Link final : public PeerLink, public std::enable_shared_from_this<Link> {
  public:
    Link(asio::ip::tcp::socket socket, Peer& peer) : socket_(std::move(socket)), peer_(peer) {}

    void Start() {
        peer_.OnConnect(*this);
        Read();
    }

    void Send(std::string_view bytes) override {
        if (!open_) {
            return;
        }
        queue_.emplace_back(bytes);
        if (queue_.size() == 1) {
            Write();
        }
    }

    void Close() override {
        if (!open_) {
            return;
        }
        open_ = false;
        std::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    bool Open() const override { return open_; }

    void Later(std::function<void()> step) override {
        if (queue_.empty()) {
            asio::post(socket_.get_executor(), std::move(step));
        } else {
            afterDrain_.push_back(std::move(step));
        }
    }

  private:
    void Read() {
        socket_.async_read_some(
            asio::buffer(buffer_), [self = shared_from_this()](std::error_code error, size_t size) {
                if (error) {
                    self->Close();
                    return;
                }
                if (self->open_) {
                    self->peer_.OnBytes(*self, std::string_view(self->buffer_.data(), size));
                }
                if (self->open_) {
                    self->Read();
                }
            });
    }

    void Write() {
        asio::async_write(socket_, asio::buffer(queue_.front()),
                          [self = shared_from_this()](std::error_code error, size_t /*size*/) {
                              self->queue_.pop_front();
                              if (error) {
                                  self->Close();
                                  self->queue_.clear();
                              }
                              if (!self->queue_.empty()) {
                                  self->Write();
                                  return;
                              }
                              auto steps = std::move(self->afterDrain_);
                              self->afterDrain_.clear();
                              for (auto& step : steps) {
                                  asio::post(self->socket_.get_executor(), std::move(step));
                              }
                          });
    }

    asio::ip::tcp::socket socket_;
    Peer& peer_;
    std::array<char, 16384> buffer_{};
    std::deque<std::string> queue_;
    std::deque<std::function<void()>> afterDrain_;
    bool open_ = true;
};

LoopbackPeer::LoopbackPeer(asio::io_context& io, Peer& peer)
    : io_(io),
      peer_(peer),
      acceptor_(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    Accept();
}

LoopbackPeer::~LoopbackPeer() {
    std::error_code ignored;
    acceptor_.close(ignored);
    if (link_) {
        link_->Close();
    }
}

std::string LoopbackPeer::Port() const {
    return std::to_string(acceptor_.local_endpoint().port());
}

void LoopbackPeer::Accept() {
    acceptor_.async_accept([this](std::error_code error, asio::ip::tcp::socket socket) {
        if (error) {
            return;
        }
        link_ = std::make_shared<Link>(std::move(socket), peer_);
        link_->Start();
        Accept();
    });
}

}  // namespace zef::reliability
