// The socket component on Qt's event loop, with the contract of the Asio wire: Connect refuses
// at once what cannot start, each attempt ends with exactly one Closed, and every event comes
// from the loop, never from inside a call.
#include <QHostInfo>
#include <QSslSocket>

#include <charconv>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/qt/QtComponents.h"
#include "components/qt/QtConnection.h"

namespace zef {

namespace {

constexpr const char* kSource = "zef.Wire";

[[noreturn]] void Refuse(long number, const std::string& why) {
    throw Error(number, kSource, Utf8ToText(why));
}

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

class QtWire final : public Wire, private qt::ConnectionEvents {
  public:
    QtWire() = default;
    QtWire(const QtWire&) = delete;
    QtWire& operator=(const QtWire&) = delete;

    ~QtWire() override {
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
        if (tls_.mode != TlsMode::None) {
            if (!QSslSocket::supportsSsl()) {
                Refuse(error::kInvalidValue,
                       "TLS is not available: Qt found no TLS backend (its OpenSSL plugin)");
            }
            try {
                qt::QtConnection::LoadCaFile(tls_.caFile);
            } catch (const std::runtime_error& failure) {
                Refuse(error::kInvalidValue,
                       "cannot load the CA file \"" + tls_.caFile + "\": " + failure.what());
            }
        }
        qt::ConnectionEvents& events = *this;
        connection_ = std::make_shared<qt::QtConnection>(events, tls_);
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

    void Shutdown(int /*how*/) override {
        if (connection_) {
            connection_->Shutdown();
        }
    }

    std::string LocalHostName() const override {
        const std::string name = QHostInfo::localHostName().toStdString();
        return name.empty() ? "localhost" : name;
    }

  private:
    // Each handler is copied before the call: it may destroy this object.
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
    void OnSocketError(const qt::Failure& failure) override {
        if (const auto handler = SocketError) {
            handler(failure.number, failure.description, failure.source, 0);
        }
    }
    // The attempt is over before Closed runs, so its handler may connect again at once.
    void OnClosed() override {
        connection_->Detach();
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

    TlsSettings tls_;
    std::shared_ptr<qt::QtConnection> connection_;
};

}  // namespace

std::unique_ptr<Wire> MakeQtWire() {
    return std::make_unique<QtWire>();
}

}  // namespace zef
