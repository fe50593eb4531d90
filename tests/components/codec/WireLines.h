// The lines of wire text, split at CR LF; text after the last CR LF counts as a line too.
#pragma once

#include <vector>

#include "common/Types.h"

namespace zef {

inline std::vector<Bytes> Lines(const Bytes& text) {
    std::vector<Bytes> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find("\r\n"); end != Bytes::npos; end = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

}  // namespace zef
