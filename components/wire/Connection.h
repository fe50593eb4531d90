// One connection attempt of a TcpWire, from the name lookup to the end. A new Connect makes a
// new Connection, so a late completion of an old attempt can never touch the next one.
#pragma once

#include <asio/error_code.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <deque>
#include <memory>
#include <string>

#include "common/Types.h"
#include "components/wire/ByteStream.h"

namespace zef::wire {

// What a connection reports to its owner. Nothing is ever reported from inside a call that the
// owner makes on the connection: such reports are posted to the event loop.
class ConnectionEvents {
  public:
    virtual void OnConnected() = 0;
    virtual void OnData(Bytes& data) = 0;
    virtual void OnSendComplete() = 0;  // the send queue has drained
    virtual void OnSocketError(const asio::error_code& error, const std::string& source) = 0;
    virtual void OnClosed() = 0;  // last report of the attempt, exactly once
    virtual void OnTrace(const std::string& text) = 0;

  protected:
    ~ConnectionEvents() = default;
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(asio::io_context& io, ConnectionEvents& events);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Resolves host and port (both IPv4 and IPv6) and connects to each address in turn until
    // one answers. The port must be numeric.
    void Start(const std::string& host, const std::string& port);

    // True while connected and no shutdown or close was asked for.
    bool CanSend() const { return state_ == State::kConnected; }

    // Queues the bytes, taking them out of `data`. Returns false, leaving `data` as it was,
    // when the connection takes no more data.
    bool Send(Bytes& data);

    // Sends what is queued, then tells the peer that nothing more comes and waits (a bounded
    // time) for it to close its side. Before the connection is up, the same as Close.
    void Shutdown();

    // Ends the connection at once, in any state.
    void Close();

    // Cuts the connection off its owner (which is going away): it ends without any report.
    void Detach();

    // True once the end has begun: Closed is on its way or was raised.
    bool Ended() const { return state_ == State::kEnded; }

  private:
    enum class State { kResolving, kConnecting, kConnected, kDraining, kHalfClosed, kEnded };

    // Counts the calls of the owner in progress; reports made meanwhile are posted.
    class CallScope {
      public:
        explicit CallScope(Connection& connection) : connection_(connection) {
            ++connection_.callDepth_;
        }
        ~CallScope() { --connection_.callDepth_; }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

      private:
        Connection& connection_;
    };

    void OnResolved(const asio::error_code& error,
                    const asio::ip::tcp::resolver::results_type& endpoints);
    bool OnTryingEndpoint(const asio::error_code& previousError,
                          const asio::ip::tcp::endpoint& next);
    void OnConnected(const asio::error_code& error, const asio::ip::tcp::endpoint& endpoint);
    void StartRead();
    void OnRead(const asio::error_code& error, std::size_t bytes);
    void StartWrite();
    void OnWritten(const asio::error_code& error);
    void CloseSendSide();
    void OnPeerCloseWaitOver(const asio::error_code& error);

    void Trace(std::string text);
    // Begins the end: releases the socket at once and posts the closing reports (the trace
    // `reason`, SocketError when `error` is set, then Closed). Does nothing the second time.
    void End(std::string reason, const asio::error_code& error = {}, std::string source = {});
    void ReleaseResources();

    asio::io_context& io_;
    ConnectionEvents* events_;
    State state_ = State::kResolving;
    int callDepth_ = 0;

    asio::ip::tcp::resolver resolver_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<ByteStream> stream_;
    asio::steady_timer peerCloseWait_;
    std::string target_;  // "host:port" as asked for, for traces

    static constexpr std::size_t kReadBufferSize = std::size_t{64} * 1024;
    std::array<char, kReadBufferSize> readBuffer_{};
    std::deque<Bytes> sendQueue_;
    bool writing_ = false;
};

}  // namespace zef::wire
