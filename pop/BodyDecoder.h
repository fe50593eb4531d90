// Decoding of the data lines of one body part: the transfer encoding is undone on the line's
// received bytes, and for a text part the result is read as Japanese text in any encoding and
// handed on as UTF-16LE. 7bit, 8bit and binary data therefore reach the application
// byte-exact.
#pragma once

#include <string_view>

#include "common/Types.h"
#include "components/Codec.h"
#include "components/Glyph.h"

namespace zef::pop {

class BodyDecoder {
  public:
    BodyDecoder(Glyph& glyph, Codec& codec) : glyph_(glyph), codec_(codec) {}

    // Starts a part. `transferEncoding` is matched without case and without trimming:
    // "base64" and "quoted-printable" are decoded, anything else is taken as it is.
    void BeginPart(std::u16string_view transferEncoding, bool isText);

    // The data of one received line (without its line end): base64 gives the bytes the line
    // encodes, quoted-printable the decoded line (with CR LF unless it ends in a soft break),
    // anything else the line followed by CR LF. For a text part the bytes join the text
    // buffer and what converts of it comes back as UTF-16LE. The returned buffer is reused
    // by the next call; the caller may move its content out. Decoder failures propagate.
    Bytes& DecodeLine(std::string_view line);

  private:
    enum class Encoding { Plain, Base64, QuotedPrintable };

    // Converts what it can of the text buffer into data_.
    void ConvertText();

    Glyph& glyph_;
    Codec& codec_;
    Encoding encoding_ = Encoding::Plain;
    bool isText_ = true;
    Bytes textBuffer_;  // decoded text bytes not yet converted (an incomplete trailing character)
    Bytes scratch_;     // the codec's input, reused
    Bytes decoded_;     // the codec's output for a text part, reused
    Bytes data_;        // what MimeDataNext hands out, reused (the codec's output for bytes)
};

}  // namespace zef::pop
