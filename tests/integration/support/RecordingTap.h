// A TCP relay on 127.0.0.1 between a control and a server that keeps every byte the client
// sends, as anyone on the path could read them: a test looks there for secrets sent in the
// clear.
#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <string>

namespace zef::integration {

class RecordingTap {
  public:
    // Relays one connection to 127.0.0.1:serverPort.
    RecordingTap(asio::io_context& io, const std::string& serverPort);
    ~RecordingTap();
    RecordingTap(const RecordingTap&) = delete;
    RecordingTap& operator=(const RecordingTap&) = delete;

    std::string Port() const;
    // Everything the client sent, in order.
    const std::string& FromClient() const { return fromClient_; }

  private:
    void Accepted();
    void Pump(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to,
              std::array<char, 16384>& buffer, bool fromClient);
    void CloseBoth();

    unsigned short serverPort_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::socket client_;
    asio::ip::tcp::socket server_;
    std::array<char, 16384> clientBuffer_{};
    std::array<char, 16384> serverBuffer_{};
    std::string fromClient_;
};

}  // namespace zef::integration
