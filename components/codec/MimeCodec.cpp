// The MIME codec component: each operation reads its argument and leaves it as it was.
#include "components/Codec.h"
#include "components/codec/Base64.h"
#include "components/codec/HeaderDecoder.h"
#include "components/codec/HeaderEncoder.h"
#include "components/codec/QuotedPrintable.h"

namespace zef {

namespace {

class MimeCodec final : public Codec {
  public:
    void FoldLines(long mode) override { foldColumn_ = codec::FoldColumnFor(mode); }

    Bytes EncodeBase64(Bytes& data) override { return codec::EncodeBase64(data); }
    void AppendBase64(std::string_view data, Bytes& out) override {
        codec::AppendBase64(data, out);
    }
    Bytes DecodeBase64(Bytes& text) override { return codec::DecodeBase64(text); }

    Bytes EncodeQuotedPrintable(Bytes& data) override { return codec::EncodeQuotedPrintable(data); }
    Bytes DecodeQuotedPrintable(Bytes& text) override { return codec::DecodeQuotedPrintable(text); }

    void DecodeBase64Into(std::string_view text, Bytes& out) override {
        codec::DecodeBase64(text, out);
    }
    void DecodeQuotedPrintableInto(std::string_view text, Bytes& out) override {
        codec::DecodeQuotedPrintable(text, out);
    }

    Bytes EncodeHeader(Bytes& header) override { return codec::EncodeHeader(header, foldColumn_); }
    Bytes EncodeUtf8Header(Bytes& header, bool keepAddresses) override {
        return codec::EncodeUtf8Header(header, foldColumn_, keepAddresses);
    }
    Bytes DecodeHeader(Bytes& header) override { return codec::DecodeHeader(header); }

  private:
    std::size_t foldColumn_ = codec::FoldColumnFor(1);
};

}  // namespace

std::unique_ptr<Codec> MakeCodec() {
    return std::make_unique<MimeCodec>();
}

}  // namespace zef
