#include "smtp/RawLines.h"

namespace zef::smtp {

Bytes RawLines::Pass(std::string_view piece) {
    Bytes out;
    out.reserve(piece.size() + piece.size() / 64 + 2);
    for (size_t at = 0; at < piece.size();) {
        const char byte = piece[at];
        if (pendingCr_) {
            pendingCr_ = false;
            out += "\r\n";
            atLineStart_ = true;
            if (byte == '\n') {
                ++at;  // the CR's own LF
                continue;
            }
        }
        if (byte == '\r') {
            pendingCr_ = true;
            ++at;
            continue;
        }
        if (byte == '\n') {
            out += "\r\n";
            atLineStart_ = true;
            ++at;
            continue;
        }
        if (atLineStart_ && byte == '.') {
            out += '.';
        }
        // The rest of the line goes as it stands, in one append.
        size_t end = at + 1;
        while (end < piece.size() && piece[end] != '\r' && piece[end] != '\n') {
            ++end;
        }
        out.append(piece, at, end - at);
        atLineStart_ = false;
        at = end;
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
