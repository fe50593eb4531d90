// The socket component on Qt's event loop, with the contract of the Asio wire: Connect refuses
// at once what cannot start, each attempt ends with exactly one Closed, and every event comes
// from the loop, never from inside a call.
#include <QHostInfo>
#include <QSslSocket>

#include <memory>
#include <stdexcept>
#include <string>

#include "common/Error.h"
#include "components/qt/QtComponents.h"
#include "components/qt/QtConnection.h"
#include "components/wire/ConnectionWire.h"

namespace zef {

namespace {

class QtWire final : public wire::ConnectionWire<qt::QtConnection> {
  public:
    std::string LocalHostName() const override {
        const std::string name = QHostInfo::localHostName().toStdString();
        return name.empty() ? "localhost" : name;
    }

  private:
    std::shared_ptr<qt::QtConnection> MakeConnection(wire::ConnectionEvents& events,
                                                     const TlsSettings& tls) override {
        if (tls.mode != TlsMode::None) {
            if (!QSslSocket::supportsSsl()) {
                wire::Refuse(error::kInvalidValue,
                             "TLS is not available: Qt found no TLS backend (its OpenSSL plugin)");
            }
            try {
                qt::QtConnection::LoadCaFile(tls.caFile);
            } catch (const std::runtime_error& failure) {
                wire::Refuse(error::kInvalidValue,
                             "cannot load the CA file \"" + tls.caFile + "\": " + failure.what());
            }
        }
        return std::make_shared<qt::QtConnection>(events, tls);
    }
};

}  // namespace

std::unique_ptr<Wire> MakeQtWire() {
    return std::make_unique<QtWire>();
}

}  // namespace zef
