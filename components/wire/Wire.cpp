// What the Wire interface does by itself: it has no TLS. A wire that speaks TLS overrides both.
#include "components/Wire.h"

#include "common/Error.h"

namespace zef {

namespace {
constexpr const char* kSource = "zef.Wire";
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
