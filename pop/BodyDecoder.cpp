#include "pop/BodyDecoder.h"

#include <bit>
#include <cstring>

#include "common/Unicode.h"
#include "components/CodePage.h"
#include "pop/HeaderValue.h"

namespace zef::pop {

namespace {
constexpr std::string_view kLineEnd = "\r\n";
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
            scratch_.assign(line);
            break;
        case Encoding::QuotedPrintable:
            scratch_.assign(line).append(kLineEnd);
            break;
    }
    Bytes decoded = encoding_ == Encoding::Base64 ? codec_.DecodeBase64(scratch_)
                                                  : codec_.DecodeQuotedPrintable(scratch_);
    if (isText_) {
        textBuffer_.append(decoded);
        ConvertText();
    } else {
        data_ = std::move(decoded);
    }
    return data_;
}

void BodyDecoder::ConvertText() {
    // AnyToAnsi takes out what it converts and leaves an incomplete trailing character.
    const Bytes ansi = glyph_.AnyToAnsi(textBuffer_);
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
