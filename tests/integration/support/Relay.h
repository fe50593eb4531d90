// A TCP proxy on 127.0.0.1 between a control and a real server that cuts the connection at a
// chosen moment of the dialogue: when the client sends a given command (before or after the
// server has it), and after a given number of the server's bytes that follow it.
#pragma once

#include <array>
#include <asio.hpp>
#include <string>

namespace zef::reliability {

class CuttingProxy {
  public:
    struct Rule {
        std::string trigger;          // a client command, e.g. "RETR 3\r\n"
        bool forwardTrigger = true;   // false: the server never gets it
        size_t serverBytesAfter = 0;  // the server's bytes after it that still reach the client
    };

    CuttingProxy(asio::io_context& io, std::string serverPort, Rule rule);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    std::string Port() const;
    bool HasCut() const { return cut_; }

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
    std::string clientStream_;  // every byte the client sent, to find the trigger in
    bool triggered_ = false;
    size_t serverBytesAfter_ = 0;
    bool cut_ = false;
};

}  // namespace zef::reliability
