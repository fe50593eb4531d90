#include "components/codec/EncodedWord.h"

#include "common/Hex.h"
#include "components/codec/Base64.h"

namespace zef::codec {

namespace {

bool IsWordCharacter(char c) {
    return c > 32 && c < 127 && c != '?';
}

Bytes DecodeQ(std::string_view text) {
    Bytes out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            out += ' ';
            continue;
        }
        if (c == '=' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
            HexDigitValue(text[i + 2]) >= 0) {
            out +=
                static_cast<char>((HexDigitValue(text[i + 1]) << 4) | HexDigitValue(text[i + 2]));
            i += 2;
            continue;
        }
        out += c;
    }
    return out;
}

// The end of a run of word characters from pos, which must be followed by "?".
std::optional<std::size_t> FieldEnd(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && IsWordCharacter(text[end])) {
        ++end;
    }
    if (end >= text.size() || text[end] != '?') {
        return std::nullopt;
    }
    return end;
}

}  // namespace

std::optional<EncodedWord> ParseEncodedWord(std::string_view text, std::size_t pos) {
    if (text.substr(pos, 2) != "=?") {
        return std::nullopt;
    }
    std::size_t charsetBegin = pos + 2;
    std::optional<std::size_t> charsetEnd = FieldEnd(text, charsetBegin);
    if (!charsetEnd || *charsetEnd == charsetBegin || *charsetEnd + 3 > text.size()) {
        return std::nullopt;
    }
    char encoding = text[*charsetEnd + 1];
    bool base64 = encoding == 'B' || encoding == 'b';
    if ((!base64 && encoding != 'Q' && encoding != 'q') || text[*charsetEnd + 2] != '?') {
        return std::nullopt;
    }
    std::size_t textBegin = *charsetEnd + 3;
    std::optional<std::size_t> textEnd = FieldEnd(text, textBegin);
    if (!textEnd || *textEnd + 1 >= text.size() || text[*textEnd + 1] != '=') {
        return std::nullopt;
    }
    std::string_view charset = text.substr(charsetBegin, *charsetEnd - charsetBegin);
    charset = charset.substr(0, charset.find('*'));
    if (charset.empty()) {
        return std::nullopt;
    }
    std::string_view encoded = text.substr(textBegin, *textEnd - textBegin);
    return EncodedWord{pos, *textEnd + 2, charset,
                       base64 ? DecodeBase64(encoded) : DecodeQ(encoded)};
}

}  // namespace zef::codec
