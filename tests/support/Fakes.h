// Stand-ins for the charset converter and the MIME codec whose work stays visible in the bytes,
// so a test sees exactly which bytes went through which routine.
#pragma once

#include <string>

#include "components/Codec.h"
#include "components/Glyph.h"

namespace zef::test {

// One byte per code unit and back; code units above 255 become "?". Records the escapes.
class FakeGlyph final : public Glyph {
  public:
    std::string kanjiIn = "(unset)", kanjiOut = "(unset)";

    void KanjiInEscape(const std::string& escape) override { kanjiIn = escape; }
    void KanjiOutEscape(const std::string& escape) override { kanjiOut = escape; }
    Bytes TextToJis(Text& text) override;
    Text JisToText(Bytes& bytes) override;
    Bytes AnyToAnsi(Bytes& bytes) override;
};

// Encoders wrap their input in "[B64:...]" and "[QP:...]", decoders in "<b64:...>" and
// "<qp:...>". EncodeHeader passes its input through, or wraps it in braces with `markHeaders`;
// DecodeHeader passes it through. With `failDecoders` the body decoders throw (base64 a
// zef::Error 5, quoted-printable a std::runtime_error); DecodeHeader throws for input holding
// `failHeaderOn`.
class FakeCodec final : public Codec {
  public:
    bool markHeaders = false;
    bool failDecoders = false;
    std::string failHeaderOn;
    long foldLines = -1;

    void FoldLines(long mode) override { foldLines = mode; }
    Bytes EncodeBase64(Bytes& data) override { return "[B64:" + data + "]"; }
    Bytes DecodeBase64(Bytes& text) override;
    Bytes EncodeQuotedPrintable(Bytes& data) override { return "[QP:" + data + "]"; }
    Bytes DecodeQuotedPrintable(Bytes& text) override;
    Bytes EncodeHeader(Bytes& header) override { return markHeaders ? "{" + header + "}" : header; }
    Bytes EncodeUtf8Header(Bytes& header, bool /*keepAddresses*/) override {
        return EncodeHeader(header);
    }
    Bytes DecodeHeader(Bytes& header) override;
};

}  // namespace zef::test
