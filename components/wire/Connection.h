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
#include <optional>
#include <string>

#include "common/Types.h"
#include "components/wire/ByteStream.h"
#include "components/wire/ConnectionWire.h"
#include "components/wire/TlsStream.h"

namespace zef::wire {

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(asio::io_context& io, ConnectionEvents& events, TlsPlan tls);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Resolves host and port (both IPv4 and IPv6) and connects to each address in turn until
    // one answers. The port must be numeric. With implicit TLS the handshake follows at once,
    // and OnConnected waits for it. `host` is also the name the server's certificate must bear.
    void Start(const std::string& host, const std::string& port);

    // True while connected and no shutdown or close was asked for.
    bool CanSend() const { return state_ == State::kConnected; }

    // Queues the bytes, taking them out of `data`. Returns false, leaving `data` as it was,
    // when the connection takes no more data.
    bool Send(Bytes& data);

    // Sends what is queued, then tells the peer that nothing more comes (over TLS with
    // close_notify) and waits (a bounded time) for it to close its side. Before the connection
    // is up or while TLS is being set up, the same as Close.
    void Shutdown();

    // Why StartTls cannot run now, or "" when it can: the connection must have been made for a
    // TLS upgrade, be up and still plain, and not be shutting down.
    std::string WhyNoStartTls() const;

    // Sends what is queued, stops reading in clear, then runs the TLS handshake over the same
    // socket; OnTlsReady follows, or the end with a SocketError. Check WhyNoStartTls first.
    void StartTls();

    // Ends the connection at once, in any state.
    void Close();

    // Cuts the connection off its owner (which is going away): it ends without any report.
    void Detach();

    // True once the end has begun: Closed is on its way or was raised.
    bool Ended() const { return state_ == State::kEnded; }

  private:
    // kUpgrading: StartTls was asked for and the plain stream is settling (queued data going
    // out, a pending read being called off). kHandshaking: the TLS handshake runs, right after
    // the TCP connect or at the end of kUpgrading.
    enum class State {
        kResolving,
        kConnecting,
        kHandshaking,
        kConnected,
        kUpgrading,
        kDraining,
        kHalfClosed,
        kEnded
    };

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

    bool StartWithAddress(const std::string& host, const std::string& port);
    void OnResolved(const asio::error_code& error,
                    const asio::ip::tcp::resolver::results_type& endpoints);
    bool OnTryingEndpoint(const asio::error_code& previousError,
                          const asio::ip::tcp::endpoint& next);
    void OnConnected(const asio::error_code& error, const asio::ip::tcp::endpoint& endpoint);
    void StartHandshake();
    void OnHandshake(const asio::error_code& error);
    void ContinueUpgrade();
    void OnReadWhileUpgrading(const asio::error_code& error, std::size_t bytes);
    void EndForClearDataAfterGoAhead();
    void StartRead();
    void OnRead(const asio::error_code& error, std::size_t bytes);
    void StartWrite();
    void OnWritten(const asio::error_code& error);
    void CloseSendSide();
    void OnSendSideClosed(const asio::error_code& error);
    void OnPeerCloseWaitOver(const asio::error_code& error);

    void Trace(std::string text);
    // Begins the end: releases the socket at once and posts the closing reports (the trace
    // `reason`, SocketError when there is a failure, then Closed). Does nothing the second time.
    void End(std::string reason, std::optional<Failure> failure = std::nullopt);
    void End(std::string reason, const asio::error_code& error, std::string source);
    void ReleaseResources();

    asio::io_context& io_;
    ConnectionEvents* events_;
    State state_ = State::kResolving;
    int callDepth_ = 0;

    asio::ip::tcp::resolver resolver_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<ByteStream> stream_;
    TlsPlan tlsPlan_;
    std::string host_;          // the name the server's certificate must bear
    TlsStream* tls_ = nullptr;  // stream_ once TLS took over; null while plain
    asio::steady_timer peerCloseWait_;
    std::string target_;  // "host:port" as asked for, for traces

    static constexpr std::size_t kReadBufferSize = std::size_t{64} * 1024;
    std::array<char, kReadBufferSize> readBuffer_{};
    std::deque<Bytes> sendQueue_;
    bool writing_ = false;
    bool reading_ = false;
    bool readCalledOff_ = false;  // a pending plain read was cancelled for the TLS upgrade
};

}  // namespace zef::wire
