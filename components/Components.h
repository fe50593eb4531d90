// The child components a control owns for its whole life. The real ones come from
// MakeComponents; tests and special hosts inject their own (a scripted Wire, a ManualTimer).
#pragma once

#include <memory>

#include "components/Codec.h"
#include "components/Glyph.h"
#include "components/Hash.h"
#include "components/Timer.h"
#include "components/Wire.h"

namespace asio {
class io_context;
}

namespace zef {

struct Components {
    std::unique_ptr<Wire> wire;
    std::unique_ptr<Glyph> glyph;
    std::unique_ptr<Codec> codec;
    std::unique_ptr<Hash> hash;
    std::unique_ptr<Timer> timer;
};

// TCP on the given event loop, an Asio steady timer on the same loop, and the real converter,
// codec and MD5.
Components MakeComponents(asio::io_context& io);

}  // namespace zef
