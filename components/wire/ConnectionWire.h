// The Wire in front of a connection class, shared by the Asio wire and the Qt wire: one
// connection object per attempt, which reports through ConnectionEvents. The Wire checks each
// request, refuses at once (zef::Error, nothing raised later) what cannot start, and hands the
// reports on to the event handlers. Nothing here knows of an event loop.
#pragma once

#include <memory>
#include <string>

#include "common/Error.h"
#include "common/Types.h"
#include "components/Wire.h"

namespace zef::wire {

// A failure as SocketError reports it.
struct Failure {
    long number = 0;
    std::string description;
    std::string source;
};

// What a connection reports to its owner. Nothing is ever reported from inside a call that the
// owner makes on the connection: such reports are posted to the event loop.
class ConnectionEvents {
  public:
    virtual void OnConnected() = 0;
    virtual void OnData(Bytes& data) = 0;
    virtual void OnSendComplete() = 0;  // the send queue has drained
    virtual void OnTlsReady() = 0;      // the upgrade asked for by StartTls succeeded
    virtual void OnSocketError(const Failure& failure) = 0;
    virtual void OnClosed() = 0;  // last report of the attempt, exactly once
    virtual void OnTrace(const std::string& text) = 0;

  protected:
    ~ConnectionEvents() = default;
};

// Throws the zef::Error by which a wire refuses a request.
[[noreturn]] void Refuse(long number, const std::string& why);

// The host name to connect to, once the request has passed the checks: no attempt still open
// (`busy`), a host, a port from 1 to 65535 and an option "0" or "" (number 5 for the first,
// 380 for the others).
std::string CheckConnectRequest(bool busy, const std::string& host, const std::string& port,
                                const std::string& options);

// `Connection` offers Start, Send, CanSend, Shutdown, WhyNoStartTls, StartTls, Close and
// Detach. SendData while CanSend is False throws number 5 and leaves the data with the caller;
// Close and Shutdown when nothing is open do nothing; StartTls when the connection cannot be
// upgraded throws number 5.
template <typename Connection>
class ConnectionWire : public Wire, private ConnectionEvents {
  public:
    ConnectionWire() = default;
    ConnectionWire(const ConnectionWire&) = delete;
    ConnectionWire& operator=(const ConnectionWire&) = delete;

    ~ConnectionWire() override {
        if (connection_) {
            connection_->Detach();
        }
    }

    void Connect(const std::string& host, const std::string& port,
                 const std::string& options) final {
        const std::string name = CheckConnectRequest(connection_ != nullptr, host, port, options);
        ConnectionEvents& events = *this;
        connection_ = MakeConnection(events, tls_);
        connection_->Start(name, port);
    }

    void SetTls(const TlsSettings& settings) final { tls_ = settings; }

    void StartTls() final {
        if (!connection_) {
            Refuse(error::kInvalidArgument, "cannot start TLS: no connection is open");
        }
        if (const std::string why = connection_->WhyNoStartTls(); !why.empty()) {
            Refuse(error::kInvalidArgument, "cannot start TLS: " + why);
        }
        connection_->StartTls();
    }

    void SendData(Bytes& data) final {
        if (!connection_ || !connection_->Send(data)) {
            Refuse(error::kInvalidArgument, "cannot send: the connection is not open");
        }
    }

    bool CanSend() const final { return connection_ && connection_->CanSend(); }

    void Close() final {
        if (connection_) {
            connection_->Close();
        }
    }

    // Every value of `how` asks for the same orderly end.
    void Shutdown(int /*how*/) final {
        if (connection_) {
            connection_->Shutdown();
        }
    }

  private:
    // A connection for the next attempt with the TLS settings of that moment (a changed CA file
    // counts from the next Connect); may refuse with zef::Error.
    virtual std::shared_ptr<Connection> MakeConnection(ConnectionEvents& events,
                                                       const TlsSettings& tls) = 0;

    // Each handler is copied before the call: it may destroy this object, and with it the
    // std::function being run.
    void OnConnected() final {
        if (const auto handler = Connected) {
            handler();
        }
    }
    void OnData(Bytes& data) final {
        if (const auto handler = DataArrival) {
            handler(data);
        }
    }
    void OnSendComplete() final {
        if (const auto handler = SendComplete) {
            handler();
        }
    }
    void OnTlsReady() final {
        if (const auto handler = TlsReady) {
            handler();
        }
    }
    void OnSocketError(const Failure& failure) final {
        if (const auto handler = SocketError) {
            handler(failure.number, failure.description, failure.source, 0);
        }
    }
    // The attempt is over before Closed runs, so its handler may connect again at once.
    void OnClosed() final {
        connection_->Detach();  // nothing of it can reach this object any more
        connection_.reset();
        if (const auto handler = Closed) {
            handler();
        }
    }
    void OnTrace(const std::string& text) final {
        if (const auto handler = SocketTrace) {
            handler(text);
        }
    }

    TlsSettings tls_;
    std::shared_ptr<Connection> connection_;
};

}  // namespace zef::wire
