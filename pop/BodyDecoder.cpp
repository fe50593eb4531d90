#include "pop/BodyDecoder.h"

#include "common/Unicode.h"
#include "components/CodePage.h"
#include "pop/HeaderValue.h"

namespace zef::pop {

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
                textBuffer_.append(line).append(kCrLf);
                ConvertText();
            } else {
                data_.assign(line).append(kCrLf);
            }
            return data_;
        case Encoding::Base64:
            scratch_.assign(line);
            break;
        case Encoding::QuotedPrintable:
            scratch_.assign(line).append(kCrLf);
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
    data_ = TextToUtf16Le(AnsiToText(ansi));
}

}  // namespace zef::pop
