#include "pop/BodyDecoder.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/Unicode.h"
#include "components/CodePage.h"
#include "pop/HeaderValue.h"

namespace zef::pop {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

void PutUnit(char32_t unit, unsigned char*& dst) {
    dst[0] = static_cast<unsigned char>(unit & 0xFF);
    dst[1] = static_cast<unsigned char>(unit >> 8);
    dst += 2;
}

// Valid UTF-8 to UTF-16LE bytes, written straight into `out`, with a fast path for runs of
// ASCII. False at the first byte that does not begin a valid sequence (`out` then holds
// nothing of use): the caller converts that input the general way, which substitutes U+FFFD.
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

}  // namespace

void BodyDecoder::BeginPart(std::u16string_view transferEncoding, bool isText) {
    const Text lower = AsciiLower(transferEncoding);
    if (lower == u"base64") {
        encoding_ = Encoding::Base64;
    } else if (lower == u"quoted-printable") {
        encoding_ = Encoding::QuotedPrintable;
    } else {
        encoding_ = Encoding::Plain;
    }
    isText_ = isText;
}

Bytes& BodyDecoder::DecodeLine(std::string_view line) {
    switch (encoding_) {
        case Encoding::Plain:
            if (isText_) {
                textBuffer_.append(line).append(kLineEnd);
                ConvertText();
            } else {
                data_.assign(line).append(kLineEnd);
            }
            return data_;
        case Encoding::Base64:
            codec_.DecodeBase64Into(line, isText_ ? decoded_ : data_);
            break;
        case Encoding::QuotedPrintable:
            scratch_.assign(line).append(kLineEnd);
            codec_.DecodeQuotedPrintableInto(scratch_, isText_ ? decoded_ : data_);
            break;
    }
    if (isText_) {
        textBuffer_.append(decoded_);
        ConvertText();
    }
    return data_;
}

void BodyDecoder::ConvertText() {
    // AnyToAnsi takes out what it converts and leaves an incomplete trailing character.
    const Bytes ansi = glyph_.AnyToAnsi(textBuffer_);
    if (HostCodePageIsUtf8() && Utf8ToUtf16Le(ansi, data_)) {
        return;  // straight into the reused buffer, without a text in between
    }
    const Text text = AnsiToText(ansi);
    if constexpr (std::endian::native == std::endian::little) {
        // The units already have their UTF-16LE form: copy them into the reused buffer.
        data_.resize(text.size() * sizeof(char16_t));
        std::memcpy(data_.data(), text.data(), data_.size());
    } else {
        data_ = TextToUtf16Le(text);
    }
}

}  // namespace zef::pop
