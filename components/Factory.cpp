#include "components/Components.h"

namespace zef {

Components MakeComponents(asio::io_context& io) {
    Components components;
    components.wire = MakeTcpWire(io);
    components.glyph = MakeGlyph();
    components.codec = MakeCodec();
    components.hash = MakeMd5Hash();
    components.timer = MakeSteadyTimer(io);
    return components;
}

}  // namespace zef
