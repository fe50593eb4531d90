#include "tests/support/Fakes.h"

#include <stdexcept>

#include "common/Error.h"

namespace zef::test {

Bytes FakeGlyph::TextToJis(Text& text) {
    Bytes bytes;
    for (const char16_t unit : text) {
        bytes += unit < 256 ? static_cast<char>(unit) : '?';
    }
    text.clear();
    return bytes;
}

Text FakeGlyph::JisToText(Bytes& bytes) {
    Text text;
    for (const char byte : bytes) {
        text += static_cast<char16_t>(static_cast<unsigned char>(byte));
    }
    bytes.clear();
    return text;
}

Bytes FakeGlyph::AnyToAnsi(Bytes& bytes) {
    Bytes out;
    out.swap(bytes);
    return out;
}

Bytes FakeCodec::DecodeBase64(Bytes& text) {
    if (failDecoders) {
        throw Error(5, "FakeCodec", u"bad base64");
    }
    return "<b64:" + text + ">";
}

Bytes FakeCodec::DecodeQuotedPrintable(Bytes& text) {
    if (failDecoders) {
        throw std::runtime_error("bad quoted-printable");
    }
    return "<qp:" + text + ">";
}

Bytes FakeCodec::DecodeHeader(Bytes& header) {
    if (!failHeaderOn.empty() && header.find(failHeaderOn) != Bytes::npos) {
        throw Error(5, "FakeCodec", u"bad encoded word");
    }
    return header;
}

}  // namespace zef::test
