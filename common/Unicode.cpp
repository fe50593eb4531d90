#include "common/Unicode.h"

#include <unicode/ustring.h>

#include <cstdint>

namespace zef {

namespace {
constexpr UChar32 kReplacement = 0xFFFD;
}

Text Utf8ToText(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    Text out(utf8.size(), u'\0');  // UTF-16 never needs more units than UTF-8 has bytes
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, utf8.data(),
                         static_cast<int32_t>(utf8.size()), kReplacement, nullptr, &status);
    out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return out;
}

std::string TextToUtf8(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    std::string out(text.size() * 3, '\0');  // at most three bytes per UTF-16 unit
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), kReplacement, nullptr, &status);
    out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return out;
}

Bytes TextToUtf16Le(std::u16string_view text) {
    Bytes out;
    out.resize(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
        auto unit = static_cast<uint16_t>(text[i]);
        out[2 * i] = static_cast<char>(unit & 0xFF);
        out[2 * i + 1] = static_cast<char>(unit >> 8);
    }
    return out;
}

Text Utf16LeToText(std::string_view bytes) {
    Text out;
    out.resize(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        auto low = static_cast<uint8_t>(bytes[2 * i]);
        auto high = static_cast<uint8_t>(bytes[2 * i + 1]);
        out[i] = static_cast<char16_t>(low | (high << 8));
    }
    return out;
}

}  // namespace zef
