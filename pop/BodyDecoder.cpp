#include "pop/BodyDecoder.h"

#include "common/Unicode.h"
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
    // The converter takes out what it converts and leaves an incomplete trailing character.
    glyph_.AnyToUtf16Le(textBuffer_, data_);
}

}  // namespace zef::pop
