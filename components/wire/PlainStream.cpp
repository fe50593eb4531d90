#include <asio/write.hpp>

#include "components/wire/ByteStream.h"

namespace zef::wire {

namespace {

class PlainStream final : public ByteStream {
  public:
    explicit PlainStream(asio::ip::tcp::socket& socket) : socket_(socket) {}

    void AsyncReadSome(asio::mutable_buffer buffer, Handler handler) override {
        socket_.async_read_some(buffer, std::move(handler));
    }

    void AsyncWrite(asio::const_buffer buffer, Handler handler) override {
        asio::async_write(socket_, buffer, std::move(handler));
    }

    void ShutdownSend(DoneHandler handler) override {
        asio::error_code error;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_send, error);
        handler(error);
    }

    void Close() override {
        asio::error_code ignored;
        socket_.close(ignored);
    }

  private:
    asio::ip::tcp::socket& socket_;
};

}  // namespace

std::unique_ptr<ByteStream> MakePlainStream(asio::ip::tcp::socket& socket) {
    return std::make_unique<PlainStream>(socket);
}

}  // namespace zef::wire
