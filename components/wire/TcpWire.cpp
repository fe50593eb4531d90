// The real socket component: TCP over IPv4 and IPv6 on the application's event loop, with TLS
// from the first byte or after an upgrade.
#include <asio/io_context.hpp>
#include <asio/ip/host_name.hpp>

#include <memory>
#include <string>
#include <system_error>

#include "common/Error.h"
#include "components/Wire.h"
#include "components/wire/Connection.h"
#include "components/wire/ConnectionWire.h"
#include "components/wire/TlsStream.h"

namespace zef {

namespace {

// ConnectionWire's checks, and with a TLS mode a CA file that cannot be loaded refuses the
// Connect (number 380).
class TcpWire final : public wire::ConnectionWire<wire::Connection> {
  public:
    explicit TcpWire(asio::io_context& io) : io_(io) {}

    std::string LocalHostName() const override {
        try {
            return asio::ip::host_name();
        } catch (const std::system_error&) {
            return "localhost";
        }
    }

  private:
    std::shared_ptr<wire::Connection> MakeConnection(wire::ConnectionEvents& events,
                                                     const TlsSettings& tls) override {
        wire::TlsPlan plan{tls.mode, tls.verifyPeer, nullptr};
        if (tls.mode != TlsMode::None) {
            try {
                plan.context = wire::MakeTlsClientContext(tls);
            } catch (const std::system_error& failure) {
                wire::Refuse(error::kInvalidValue,
                             "cannot load the CA file \"" + tls.caFile +
                                 "\": " + wire::DescribeStreamError(failure.code()));
            }
        }
        return std::make_shared<wire::Connection>(io_, events, plan);
    }

    asio::io_context& io_;
};

}  // namespace

std::unique_ptr<Wire> MakeTcpWire(asio::io_context& io) {
    return std::make_unique<TcpWire>(io);
}

}  // namespace zef
