#include "components/codec/Iso2022Scanner.h"

namespace zef::codec {

namespace {

bool IsGraphic(char c) {
    return c >= 0x21 && c <= 0x7E;
}

}  // namespace

std::size_t EscapeSequenceLength(std::string_view text, std::size_t pos) {
    if (pos >= text.size() || text[pos] != kEscape) {
        return 0;
    }
    std::size_t end = pos + 1;
    while (end < text.size() && text[end] >= 0x20 && text[end] <= 0x2F) {
        ++end;
    }
    if (end == pos + 1 || end >= text.size() || text[end] < 0x30 || text[end] > 0x7E) {
        return 0;
    }
    return end + 1 - pos;
}

bool IsRomanDesignation(std::string_view escape) {
    return escape == "\x1B(B" || escape == "\x1B(J";
}

std::string_view ReturnDesignationOf(std::string_view text) {
    for (std::size_t pos = text.find(kEscape); pos != std::string_view::npos;
         pos = text.find(kEscape, pos + 1)) {
        std::string_view escape = text.substr(pos, EscapeSequenceLength(text, pos));
        if (IsRomanDesignation(escape)) {
            return escape;
        }
    }
    return kAsciiDesignation;
}

Iso2022Scanner::Unit Iso2022Scanner::Next() {
    std::size_t escapeLength = EscapeSequenceLength(text_, pos_);
    if (escapeLength > 0) {
        std::string_view escape = text_.substr(pos_, escapeLength);
        pos_ += escapeLength;
        if (IsRomanDesignation(escape)) {
            designation_ = {};
            twoByte_ = false;
        } else {
            designation_ = escape;
            twoByte_ = escape[1] == '$';
        }
        return {escape, true};
    }
    std::size_t length = 1;
    if (twoByte_ && pos_ + 1 < text_.size() && IsGraphic(text_[pos_]) &&
        IsGraphic(text_[pos_ + 1])) {
        length = 2;
    }
    std::string_view character = text_.substr(pos_, length);
    pos_ += length;
    return {character, false};
}

}  // namespace zef::codec
