// The real socket component: TCP over IPv4 and IPv6 on the application's event loop, with TLS
// from the first byte or after an upgrade.
#include <asio/io_context.hpp>
#include <asio/ip/host_name.hpp>

#include <charconv>
#include <memory>
#include <string>
#include <system_error>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/Wire.h"
#include "components/wire/Connection.h"
#include "components/wire/TlsStream.h"

namespace zef {

namespace {

constexpr const char* kSource = "zef.Wire";

[[noreturn]] void Refuse(long number, const std::string& why) {
    throw Error(number, kSource, Utf8ToText(why));
}

// "[::1]" names the same host as "::1"; the brackets only keep the colons apart from a port.
std::string HostWithoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

bool IsPortNumber(const std::string& port) {
    unsigned value = 0;
    const auto result = std::from_chars(port.data(), port.data() + port.size(), value);
    return !port.empty() && result.ec == std::errc() && result.ptr == port.data() + port.size() &&
           value >= 1 && value <= 65535;
}

// Connect refuses at once (zef::Error, nothing raised later) a request that cannot start: a
// second Connect before the Closed of the previous attempt was raised (number 5), an empty
// host, a port that is not a number from 1 to 65535, or an option other than "0" or ""
// (number 380). SendData while CanSend is False throws number 5 and leaves the data with the
// caller. Close and Shutdown when nothing is open do nothing. With a TLS mode, a CA file that
// cannot be loaded refuses the Connect (number 380); StartTls when the connection cannot be
// upgraded throws number 5.
class TcpWire final : public Wire, private wire::ConnectionEvents {
  public:
    explicit TcpWire(asio::io_context& io) : io_(io) {}
    TcpWire(const TcpWire&) = delete;
    TcpWire& operator=(const TcpWire&) = delete;

    ~TcpWire() override {
        if (connection_) {
            connection_->Detach();
        }
    }

    void Connect(const std::string& host, const std::string& port,
                 const std::string& options) override {
        if (connection_) {
            Refuse(error::kInvalidArgument,
                   "a connection is still open or closing; wait for Closed before connecting");
        }
        const std::string name = HostWithoutBrackets(host);
        if (name.empty()) {
            Refuse(error::kInvalidValue, "the host name is empty");
        }
        if (!IsPortNumber(port)) {
            Refuse(error::kInvalidValue,
                   "the port \"" + port + "\" is not a number from 1 to 65535");
        }
        if (!options.empty() && options != "0") {
            Refuse(error::kInvalidValue, "unknown connect option \"" + options + "\"");
        }
        wire::ConnectionEvents& events = *this;
        connection_ = std::make_shared<wire::Connection>(io_, events, PlanTls());
        connection_->Start(name, port);
    }

    void SetTls(const TlsSettings& settings) override { tls_ = settings; }

    void StartTls() override {
        if (!connection_) {
            Refuse(error::kInvalidArgument, "cannot start TLS: no connection is open");
        }
        if (const std::string why = connection_->WhyNoStartTls(); !why.empty()) {
            Refuse(error::kInvalidArgument, "cannot start TLS: " + why);
        }
        connection_->StartTls();
    }

    void SendData(Bytes& data) override {
        if (!connection_ || !connection_->Send(data)) {
            Refuse(error::kInvalidArgument, "cannot send: the connection is not open");
        }
    }

    bool CanSend() const override { return connection_ && connection_->CanSend(); }

    void Close() override {
        if (connection_) {
            connection_->Close();
        }
    }

    // Every value of `how` asks for the same orderly end.
    void Shutdown(int /*how*/) override {
        if (connection_) {
            connection_->Shutdown();
        }
    }

    std::string LocalHostName() const override {
        try {
            return asio::ip::host_name();
        } catch (const std::system_error&) {
            return "localhost";
        }
    }

  private:
    // The context is made per connection, so a changed CA file counts from the next Connect.
    wire::TlsPlan PlanTls() const {
        wire::TlsPlan plan{tls_.mode, tls_.verifyPeer, nullptr};
        if (tls_.mode == TlsMode::None) {
            return plan;
        }
        try {
            plan.context = wire::MakeTlsClientContext(tls_);
        } catch (const std::system_error& failure) {
            Refuse(error::kInvalidValue, "cannot load the CA file \"" + tls_.caFile +
                                             "\": " + wire::DescribeStreamError(failure.code()));
        }
        return plan;
    }

    // Each handler is copied before the call: it may destroy this object, and with it the
    // std::function being run.
    void OnConnected() override {
        if (const auto handler = Connected) {
            handler();
        }
    }
    void OnData(Bytes& data) override {
        if (const auto handler = DataArrival) {
            handler(data);
        }
    }
    void OnSendComplete() override {
        if (const auto handler = SendComplete) {
            handler();
        }
    }
    void OnTlsReady() override {
        if (const auto handler = TlsReady) {
            handler();
        }
    }
    void OnSocketError(const wire::Failure& failure) override {
        if (const auto handler = SocketError) {
            handler(failure.number, failure.description, failure.source, 0);
        }
    }
    // The attempt is over before Closed runs, so its handler may connect again at once.
    void OnClosed() override {
        connection_->Detach();  // nothing of it can reach this object any more
        connection_.reset();
        if (const auto handler = Closed) {
            handler();
        }
    }
    void OnTrace(const std::string& text) override {
        if (const auto handler = SocketTrace) {
            handler(text);
        }
    }

    asio::io_context& io_;
    TlsSettings tls_;
    std::shared_ptr<wire::Connection> connection_;
};

}  // namespace

std::unique_ptr<Wire> MakeTcpWire(asio::io_context& io) {
    return std::make_unique<TcpWire>(io);
}

}  // namespace zef
