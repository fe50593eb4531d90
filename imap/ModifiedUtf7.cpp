#include "imap/ModifiedUtf7.h"

#include <cstdint>

#include "common/Unicode.h"

namespace zef::imap {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

bool IsPrintable(char16_t unit) {
    return unit >= 0x20 && unit <= 0x7E;
}

// The UTF-16BE of the units in modified base64, the last bits padded with zeros.
void AppendRun(std::u16string_view units, std::string& wire) {
    uint32_t bits = 0;
    int count = 0;
    for (const char16_t unit : units) {
        bits = (bits << 16) | unit;
        for (count += 16; count >= 6; count -= 6) {
            wire.push_back(kAlphabet[(bits >> (count - 6)) & 0x3F]);
        }
    }
    if (count > 0) {
        wire.push_back(kAlphabet[(bits << (6 - count)) & 0x3F]);
    }
}

// A run between "&" and "-" back to UTF-16 units.
Utf7Fault DecodeRun(std::string_view run, std::u16string& text) {
    uint32_t bits = 0;
    int count = 0;
    for (const char c : run) {
        const size_t sextet = kAlphabet.find(c);
        if (sextet == std::string_view::npos) {
            return Utf7Fault::BadBase64;
        }
        bits = (bits << 6) | static_cast<uint32_t>(sextet);
        count += 6;
        if (count >= 16) {
            count -= 16;
            const auto unit = static_cast<char16_t>(bits >> count);
            if (IsPrintable(unit)) {
                return Utf7Fault::NeedlessShift;
            }
            text.push_back(unit);
        }
    }
    if (count >= 6 || (bits & ((1u << count) - 1)) != 0) {
        return Utf7Fault::BadRunLength;
    }
    return Utf7Fault::None;
}

bool PairedSurrogates(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const bool high = text[i] >= 0xD800 && text[i] <= 0xDBFF;
        const bool low = text[i] >= 0xDC00 && text[i] <= 0xDFFF;
        if (low ||
            (high && (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF))) {
            return false;
        }
        i += high ? 1 : 0;
    }
    return true;
}

}  // namespace

const char* Utf7FaultName(Utf7Fault fault) {
    // In the order of the enumeration.
    static constexpr const char* kNames[] = {
        "NONE",       "BAD UTF-8",      "RAW BYTE",      "UNTERMINATED SHIFT",
        "BAD BASE64", "BAD RUN LENGTH", "BAD SURROGATE", "NEEDLESS SHIFT"};
    return kNames[static_cast<size_t>(fault)];
}

Utf7Fault EncodeModifiedUtf7(std::string_view utf8, std::string& wire) {
    wire.clear();
    if (FirstInvalidUtf8(utf8) != std::string_view::npos) {
        return Utf7Fault::BadUtf8;
    }
    const std::u16string text = Utf8ToText(utf8);
    for (size_t i = 0; i < text.size();) {
        if (IsPrintable(text[i])) {
            wire += text[i] == u'&' ? "&-" : std::string(1, static_cast<char>(text[i]));
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && !IsPrintable(text[end])) {
            ++end;
        }
        wire.push_back('&');
        AppendRun(std::u16string_view(text).substr(i, end - i), wire);
        wire.push_back('-');
        i = end;
    }
    return Utf7Fault::None;
}

Utf7Fault DecodeModifiedUtf7(std::string_view wire, std::string& utf8) {
    utf8.clear();
    std::u16string text;
    size_t runEnd = std::string_view::npos;  // where the last run's "-" was followed
    for (size_t i = 0; i < wire.size();) {
        if (!IsPrintable(static_cast<unsigned char>(wire[i]))) {
            return Utf7Fault::RawByte;
        }
        if (wire[i] != '&') {
            text.push_back(static_cast<char16_t>(wire[i++]));
            continue;
        }
        const size_t end = wire.find('-', i + 1);
        if (end == std::string_view::npos) {
            return Utf7Fault::UnterminatedShift;
        }
        if (end == i + 1) {
            text.push_back(u'&');
        } else if (runEnd == i) {
            return Utf7Fault::NeedlessShift;  // "-&" between two runs
        } else if (const Utf7Fault fault = DecodeRun(wire.substr(i + 1, end - i - 1), text);
                   fault != Utf7Fault::None) {
            return fault;
        } else {
            runEnd = end + 1;
        }
        i = end + 1;
    }
    if (!PairedSurrogates(text)) {
        return Utf7Fault::BadSurrogate;
    }
    utf8 = TextToUtf8(text);
    return Utf7Fault::None;
}

}  // namespace zef::imap
