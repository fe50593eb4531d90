#include "common/Unicode.h"

#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace zef {

namespace {
constexpr UChar32 kReplacement = 0xFFFD;

void PutUnit(char32_t unit, unsigned char*& dst) {
    dst[0] = static_cast<unsigned char>(unit & 0xFF);
    dst[1] = static_cast<unsigned char>(unit >> 8);
    dst += 2;
}
}  // namespace

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

bool Utf8ToUtf16Le(std::string_view utf8, Bytes& out) {
    out.resize(utf8.size() * 2);  // at most one unit, two bytes, per byte of input
    const auto* src = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = src + utf8.size();
    auto* begin = reinterpret_cast<unsigned char*>(out.data());
    auto* dst = begin;
    while (src != end) {
        if (end - src >= 8) {
            std::uint64_t eight = 0;
            std::memcpy(&eight, src, sizeof eight);
            if ((eight & 0x8080808080808080ULL) == 0) {
                for (size_t k = 0; k < 8; ++k) {
                    dst[2 * k] = src[k];
                    dst[2 * k + 1] = 0;
                }
                src += 8;
                dst += 16;
                continue;
            }
        }
        const unsigned lead = *src;
        if (lead < 0x80) {
            PutUnit(lead, dst);
            ++src;
            continue;
        }
        int length = 0;
        char32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (end - src < length) {
            return false;
        }
        for (int k = 1; k < length; ++k) {
            if ((src[k] & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (src[k] & 0x3F);
        }
        const bool overlongOrSurrogate =
            (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF));
        if (overlongOrSurrogate) {
            return false;
        }
        if (code < 0x10000) {
            PutUnit(code, dst);
        } else {
            code -= 0x10000;
            PutUnit(0xD800 + (code >> 10), dst);
            PutUnit(0xDC00 + (code & 0x3FF), dst);
        }
        src += length;
    }
    out.resize(static_cast<size_t>(dst - begin));
    return true;
}

void AppendUtf16Le(std::u16string_view text, Bytes& out) {
    const size_t at = out.size();
    out.resize(at + text.size() * 2);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out.data() + at, text.data(), text.size() * 2);  // already the byte form
    } else {
        auto* dst = reinterpret_cast<unsigned char*>(out.data() + at);
        for (const char16_t unit : text) {
            PutUnit(unit, dst);
        }
    }
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

size_t FirstInvalidUtf8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto length = static_cast<int64_t>(bytes.size());
    for (int64_t at = 0; at < length;) {
        const int64_t start = at;
        UChar32 point = 0;
        U8_NEXT(data, at, length, point);
        if (point < 0) {
            return static_cast<size_t>(start);
        }
    }
    return std::string_view::npos;
}

}  // namespace zef
