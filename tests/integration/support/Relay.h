// A TCP relay on 127.0.0.1 between a control and a real server. It keeps every byte the client
// sends, as anyone on the path could read them (a test looks there for secrets sent in the
// clear), and can cut the connection at a chosen moment of the dialogue: when the client sends a
// given command (before or after the server has it), and after a given number of the server's
// bytes that follow it.
#pragma once

#include <array>
#include <asio.hpp>
#include <string>

namespace zef::integration {

class Relay {
  public:
    struct Rule {
        std::string trigger;          // a client command, e.g. "RETR 3\r\n"; empty: never cut
        bool forwardTrigger = true;   // false: the server never gets it
        size_t serverBytesAfter = 0;  // the server's bytes after it that still reach the client
    };

    Relay(asio::io_context& io, std::string serverPort, Rule rule);
    Relay(asio::io_context& io, std::string serverPort);  // never cuts
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    std::string Port() const;
    bool HasCut() const { return cut_; }
    // Everything the client sent, in order.
    const std::string& FromClient() const { return clientStream_; }

  private:
    void Accepted();
    void ReadClient();
    void ReadServer();
    void ToServer(std::string bytes);
    void ToClient(std::string bytes, bool cutAfter);
    void Cut();

    asio::io_context& io_;
    std::string serverPort_;
    Rule rule_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::socket client_;
    asio::ip::tcp::socket server_;
    std::array<char, 16384> clientBuffer_{};
    std::array<char, 16384> serverBuffer_{};
    std::string clientStream_;
    bool triggered_ = false;
    size_t serverBytesAfter_ = 0;
    bool cut_ = false;
};

}  // namespace zef::integration
