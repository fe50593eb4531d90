#include "smtp/RawLines.h"

namespace zef::smtp {

Bytes RawLines::Pass(std::string_view piece) {
    Bytes out;
    out.reserve(piece.size() + piece.size() / 64 + 2);
    for (const char byte : piece) {
        if (pendingCr_) {
            pendingCr_ = false;
            out += "\r\n";
            atLineStart_ = true;
            if (byte == '\n') {
                continue;  // the CR's own LF
            }
        }
        if (byte == '\r') {
            pendingCr_ = true;
            continue;
        }
        if (byte == '\n') {
            out += "\r\n";
            atLineStart_ = true;
            continue;
        }
        if (atLineStart_ && byte == '.') {
            out += '.';
        }
        out += byte;
        atLineStart_ = false;
    }
    return out;
}

Bytes RawLines::Finish() {
    Bytes out = pendingCr_ || !atLineStart_ ? "\r\n.\r\n" : ".\r\n";
    Reset();
    return out;
}

void RawLines::Reset() {
    atLineStart_ = true;
    pendingCr_ = false;
}

}  // namespace zef::smtp
