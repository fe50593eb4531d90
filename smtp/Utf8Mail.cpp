#include "smtp/Utf8Mail.h"

#include <idn2.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

#include "common/Unicode.h"

namespace zef::smtp {

namespace {

constexpr std::size_t kParameterChunk = 54;  // percent-encoded characters per continuation

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

Text LowerCase(std::u16string_view text) {
    Text lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
    return lower;
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit < 0xDC00;
}

bool IsAddressField(std::u16string_view name) {
    Text lower = LowerCase(name);
    if (lower.starts_with(u"resent-")) {
        lower.erase(0, 7);
    }
    constexpr std::array<std::u16string_view, 6> kFields = {u"from", u"to",       u"cc",
                                                            u"bcc",  u"reply-to", u"sender"};
    return std::find(kFields.begin(), kFields.end(), lower) != kFields.end();
}

// Where a domain written after "@" ends in a header value.
bool EndsDomain(char16_t c) {
    return std::u16string_view(u" \t\r\n<>,;:()\"[]").find(c) != std::u16string_view::npos;
}

// The domains after each "@" of one field value, as A-labels where they are not ASCII.
void ALabelDomainsIn(Text& value) {
    for (std::size_t at = value.find(u'@'); at != Text::npos; at = value.find(u'@', at + 1)) {
        std::size_t end = at + 1;
        while (end < value.size() && !EndsDomain(value[end])) {
            ++end;
        }
        const Text domain = value.substr(at + 1, end - at - 1);
        if (!IsAscii(domain)) {
            const Text converted = WithALabelDomain(u"@" + domain).substr(1);
            value.replace(at + 1, domain.size(), converted);
        }
    }
}

bool IsAttributeChar(unsigned char c) {
    return std::isalnum(c) != 0 ||
           std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string PercentEncoded(std::string_view utf8) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    std::string out;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsAttributeChar(byte)) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace

bool IsKnownTextCharset(const Text& charset) {
    const Text lower = LowerCase(charset);
    return lower == u"iso-2022-jp" || lower == u"utf-8" || lower == u"auto";
}

bool ChoosesUtf8(const Text& charset, bool fitsJis) {
    const Text lower = LowerCase(charset);
    return lower == u"utf-8" || (lower == u"auto" && !fitsJis);
}

bool IsAscii(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

Bytes TakeUtf8(Text& text) {
    const std::size_t whole =
        !text.empty() && IsHighSurrogate(text.back()) ? text.size() - 1 : text.size();
    Bytes bytes = TextToUtf8(std::u16string_view(text).substr(0, whole));
    text.erase(0, whole);
    return bytes;
}

bool LocalPartIsAscii(const Text& address) {
    const std::size_t at = address.rfind(u'@');
    return IsAscii(std::u16string_view(address).substr(0, at));
}

Text WithALabelDomain(const Text& address) {
    const std::size_t at = address.rfind(u'@');
    if (at == Text::npos || IsAscii(std::u16string_view(address).substr(at + 1))) {
        return address;
    }
    const std::string domain = TextToUtf8(std::u16string_view(address).substr(at + 1));
    char* converted = nullptr;
    const int status =
        idn2_to_ascii_8z(domain.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (status != IDN2_OK) {
        return address;
    }
    Text result = address.substr(0, at + 1) + AsciiToText(converted);
    idn2_free(converted);
    return result;
}

Text HeaderWithALabels(const Text& header) {
    Text out;
    bool addressField = false;
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find(u"\r\n", start);
        end = end == Text::npos ? header.size() : end + 2;
        Text line = header.substr(start, end - start);
        if (line == u"\r\n") {
            return out + header.substr(start);  // the header ends here
        }
        if (line[0] != u' ' && line[0] != u'\t') {
            const std::size_t colon = line.find(u':');
            addressField = colon != Text::npos && IsAddressField(line.substr(0, colon));
        }
        if (addressField) {
            ALabelDomainsIn(line);
        }
        out += line;
        start = end;
    }
    return out;
}

Text Rfc2231FileName(const Text& name) {
    Text out;
    std::string chunk = "UTF-8''";
    int index = 0;
    auto flush = [&] {
        out +=
            u";\r\n\tfilename*" + AsciiToText(std::to_string(index++)) + u"*=" + AsciiToText(chunk);
        chunk.clear();
    };
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t units = IsHighSurrogate(name[i]) && i + 1 < name.size() ? 2 : 1;
        const std::string encoded = PercentEncoded(TextToUtf8(name.substr(i, units)));
        if (chunk.size() + encoded.size() > kParameterChunk) {
            flush();
        }
        chunk += encoded;
        i += units;
    }
    flush();
    return out;
}

}  // namespace zef::smtp
