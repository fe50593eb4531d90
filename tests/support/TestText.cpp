#include "tests/support/TestText.h"

#include <cstdio>

namespace zef::test {

std::string Escaped(std::string_view bytes) {
    std::string out;
    for (const unsigned char b : bytes) {
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out.push_back(static_cast<char>(b));
        }
    }
    return out;
}

std::vector<Bytes> Lines(std::string_view text) {
    std::vector<Bytes> lines;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string_view::npos;
         end = text.find("\r\n", start)) {
        lines.emplace_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size()) {
        lines.emplace_back(text.substr(start));
    }
    return lines;
}

}  // namespace zef::test
