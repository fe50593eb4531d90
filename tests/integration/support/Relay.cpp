#include "tests/integration/support/Relay.h"

#include <memory>

namespace zef::integration {

Relay::Relay(asio::io_context& io, std::string serverPort, Rule rule)
    : io_(io),
      serverPort_(std::move(serverPort)),
      rule_(std::move(rule)),
      acceptor_(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
      client_(io),
      server_(io) {
    acceptor_.async_accept(client_, [this](std::error_code error) {
        if (!error) {
            Accepted();
        }
    });
}

Relay::Relay(asio::io_context& io, std::string serverPort)
    : Relay(io, std::move(serverPort), Rule{}) {}

Relay::~Relay() {
    std::error_code ignored;
    acceptor_.close(ignored);
    client_.close(ignored);
    server_.close(ignored);
}

std::string Relay::Port() const {
    return std::to_string(acceptor_.local_endpoint().port());
}

// The server is connected at once, before anything is read from the client, so the greeting
// flows as soon as the server sends it.
void Relay::Accepted() {
    const asio::ip::tcp::endpoint server(asio::ip::make_address("127.0.0.1"),
                                         static_cast<unsigned short>(std::stoi(serverPort_)));
    std::error_code error;
    server_.connect(server, error);
    if (error) {
        Cut();
        return;
    }
    ReadClient();
    ReadServer();
}

void Relay::ReadClient() {
    client_.async_read_some(asio::buffer(clientBuffer_), [this](std::error_code error, size_t n) {
        if (error || cut_) {
            Cut();
            return;
        }
        std::string bytes(clientBuffer_.data(), n);
        const size_t searchFrom = clientStream_.size() >= rule_.trigger.size()
                                      ? clientStream_.size() - rule_.trigger.size() + 1
                                      : 0;
        clientStream_ += bytes;
        if (!triggered_ && !rule_.trigger.empty()) {
            const size_t at = clientStream_.find(rule_.trigger, searchFrom);
            if (at != std::string::npos) {
                triggered_ = true;
                if (!rule_.forwardTrigger) {
                    // What came before the command still goes; the command itself does not.
                    const size_t before = at - (clientStream_.size() - bytes.size());
                    if (before > 0) {
                        ToServer(bytes.substr(0, before));
                    }
                    Cut();
                    return;
                }
            }
        }
        ToServer(std::move(bytes));
        ReadClient();
    });
}

void Relay::ReadServer() {
    server_.async_read_some(asio::buffer(serverBuffer_), [this](std::error_code error, size_t n) {
        if (error || cut_) {
            Cut();
            return;
        }
        std::string bytes(serverBuffer_.data(), n);
        if (!triggered_) {
            ToClient(std::move(bytes), false);
            ReadServer();
            return;
        }
        const size_t allowed = rule_.serverBytesAfter - serverBytesAfter_;
        if (bytes.size() < allowed) {
            serverBytesAfter_ += bytes.size();
            ToClient(std::move(bytes), false);
            ReadServer();
            return;
        }
        serverBytesAfter_ += allowed;
        bytes.resize(allowed);
        ToClient(std::move(bytes), true);
    });
}

// Writes are small and synchronous on loopback: the order of the stream is kept simply.
void Relay::ToServer(std::string bytes) {
    std::error_code error;
    asio::write(server_, asio::buffer(bytes), error);
    if (error) {
        Cut();
    }
}

void Relay::ToClient(std::string bytes, bool cutAfter) {
    std::error_code error;
    if (!bytes.empty()) {
        asio::write(client_, asio::buffer(bytes), error);
    }
    if (error || cutAfter) {
        Cut();
    }
}

void Relay::Cut() {
    if (cut_) {
        return;
    }
    cut_ = true;
    std::error_code ignored;
    client_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    client_.close(ignored);
    server_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    server_.close(ignored);
}

}  // namespace zef::integration
