// What the Wire interface does by itself: it has no TLS. A wire that speaks TLS overrides both.
#include "components/Wire.h"

#include <utility>

#include "common/Error.h"

namespace zef {

namespace {
constexpr const char* kSource = "zef.Wire";
}

TlsSettings TlsSettings::ForSecurity(long security, bool verifyPeer, std::string caFile) {
    TlsSettings settings;
    switch (security) {
        case 1:
            settings.mode = TlsMode::Implicit;
            break;
        case 2:
            settings.mode = TlsMode::Upgrade;
            break;
        default:
            settings.mode = TlsMode::None;
            break;
    }
    settings.verifyPeer = verifyPeer;
    settings.caFile = std::move(caFile);
    return settings;
}

void Wire::SetTls(const TlsSettings& settings) {
    if (settings.mode != TlsMode::None) {
        throw Error(error::kInvalidValue, kSource, u"this wire has no TLS");
    }
}

void Wire::StartTls() {
    throw Error(error::kInvalidArgument, kSource, u"cannot start TLS: this wire has no TLS");
}

}  // namespace zef
