#include "components/Glyph.h"

#include "common/Unicode.h"
#include "components/CodePage.h"

namespace zef {

Bytes Glyph::AnyToAnsiAlone(const Bytes& bytes) {
    Bytes copy = bytes;
    return AnyToAnsi(copy);
}

void Glyph::AnyToUtf16Le(Bytes& bytes, Bytes& out) {
    const Bytes ansi = AnyToAnsi(bytes);
    if (HostCodePageIsUtf8() && Utf8ToUtf16Le(ansi, out)) {
        return;  // straight into the caller's buffer, without a text in between
    }
    out.clear();
    AppendUtf16Le(AnsiToText(ansi), out);
}

}  // namespace zef
