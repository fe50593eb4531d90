#include "components/qt/QtComponents.h"

namespace zef {

Components MakeQtComponents() {
    Components components;
    components.wire = MakeQtWire();
    components.glyph = MakeGlyph();
    components.codec = MakeCodec();
    components.hash = MakeMd5Hash();
    components.timer = MakeQtTimer();
    return components;
}

}  // namespace zef
