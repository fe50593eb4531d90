#include "tests/integration/support/RecordingTap.h"

#include <asio/write.hpp>

namespace zef::integration {

namespace {

asio::ip::tcp::endpoint Loopback(unsigned short port) {
    return {asio::ip::make_address("127.0.0.1"), port};
}

}  // namespace

RecordingTap::RecordingTap(asio::io_context& io, const std::string& serverPort)
    : serverPort_(static_cast<unsigned short>(std::stoi(serverPort))),
      acceptor_(io, Loopback(0)),
      client_(io),
      server_(io) {
    acceptor_.async_accept(client_, [this](std::error_code error) {
        if (!error) {
            Accepted();
        }
    });
}

RecordingTap::~RecordingTap() {
    std::error_code ignored;
    acceptor_.close(ignored);
    CloseBoth();
}

std::string RecordingTap::Port() const {
    return std::to_string(acceptor_.local_endpoint().port());
}

// The server is connected before anything is relayed, so its greeting flows at once.
void RecordingTap::Accepted() {
    std::error_code error;
    server_.connect(Loopback(serverPort_), error);
    if (error) {
        CloseBoth();
        return;
    }
    Pump(client_, server_, clientBuffer_, true);
    Pump(server_, client_, serverBuffer_, false);
}

// Reads a piece, writes it on whole, then reads again; an end on either side ends both.
void RecordingTap::Pump(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to,
                        std::array<char, 16384>& buffer, bool fromClient) {
    from.async_read_some(asio::buffer(buffer), [this, &from, &to, &buffer, fromClient](
                                                   std::error_code error, size_t n) {
        if (error) {
            CloseBoth();
            return;
        }
        if (fromClient) {
            fromClient_.append(buffer.data(), n);
        }
        asio::async_write(to, asio::buffer(buffer.data(), n),
                          [this, &from, &to, &buffer, fromClient](std::error_code written, size_t) {
                              if (written) {
                                  CloseBoth();
                                  return;
                              }
                              Pump(from, to, buffer, fromClient);
                          });
    });
}

void RecordingTap::CloseBoth() {
    std::error_code ignored;
    client_.close(ignored);
    server_.close(ignored);
}

}  // namespace zef::integration
