// The MIME codec: base64, quoted-printable and the encoded words of header text.
// Each operation takes its input by reference and returns its result.
#pragma once

#include <memory>
#include <string_view>

#include "common/Types.h"

namespace zef {

class Codec {
  public:
    virtual ~Codec() = default;

    // How EncodeHeader folds long header lines (the sending control's Fold78 property).
    virtual void FoldLines(long mode) = 0;

    // Standard alphabet with "=" padding, never a line break, any length.
    virtual Bytes EncodeBase64(Bytes& data) = 0;
    // The same, appended to `out`, for a caller that builds a piece of many lines in one
    // buffer. The default passes a copy of the data to EncodeBase64.
    virtual void AppendBase64(std::string_view data, Bytes& out) {
        Bytes copy(data);
        out += EncodeBase64(copy);
    }
    // One line of whole four-character groups decodes by itself.
    virtual Bytes DecodeBase64(Bytes& text) = 0;

    // Valid wire text with its own soft line breaks.
    virtual Bytes EncodeQuotedPrintable(Bytes& data) = 0;
    // RFC 2045: a line ending in "=" is a soft break and yields no CR LF.
    virtual Bytes DecodeQuotedPrintable(Bytes& text) = 0;

    // The two decoders for a caller that decodes line after line into a buffer of its own:
    // the result replaces the content of `out`, whose capacity is reused, so that a line costs
    // no allocation. The defaults pass a copy of the text to the operations above.
    virtual void DecodeBase64Into(std::string_view text, Bytes& out) {
        Bytes copy(text);
        out = DecodeBase64(copy);
    }
    virtual void DecodeQuotedPrintableInto(std::string_view text, Bytes& out) {
        Bytes copy(text);
        out = DecodeQuotedPrintable(copy);
    }

    // Header text (ISO-2022-JP bytes) with non-ASCII words turned into encoded words.
    virtual Bytes EncodeHeader(Bytes& header) = 0;
    // Header text in UTF-8 with non-ASCII words turned into UTF-8 encoded words, split between
    // whole characters. `keepAddresses`: words joined to "@" stay as written (SMTPUTF8).
    virtual Bytes EncodeUtf8Header(Bytes& header, bool keepAddresses) = 0;
    // Every encoded word replaced by the text it stands for, written as UTF-8 (whatever its
    // charset), the rest of the line unchanged; a word in an unknown charset stays as it
    // was. Throws zef::Error on failure.
    virtual Bytes DecodeHeader(Bytes& header) = 0;
};

std::unique_ptr<Codec> MakeCodec();

}  // namespace zef
