#include "tools/zefmail/TextDecoders.h"

#include <unicode/ucnv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "common/Unicode.h"

namespace zef::zefmail {

namespace {

// Charsets read through Any2Unicode: the Japanese ones, whose mail often holds the extensions
// Japanese mailers write, and text that declares nothing or only ASCII.
constexpr std::array<std::string_view, 17> kJapaneseCharsets{"",
                                                             "us-ascii",
                                                             "ascii",
                                                             "iso-2022-jp",
                                                             "iso-2022-jp-1",
                                                             "iso-2022-jp-2",
                                                             "iso-2022-jp-3",
                                                             "csiso2022jp",
                                                             "shift_jis",
                                                             "shift-jis",
                                                             "sjis",
                                                             "x-sjis",
                                                             "cp932",
                                                             "ms932",
                                                             "windows-31j",
                                                             "euc-jp",
                                                             "x-euc-jp"};

// Whole lines through Any2Unicode: its guess of the encoding and the ISO-2022-JP shift state
// both work line by line, as they do for IsText data.
class JapaneseDecoder final : public TextDecoder {
  public:
    explicit JapaneseDecoder(AnyToText anyToText) : anyToText_(std::move(anyToText)) {}

    std::string Feed(const Bytes& bytes) override {
        pending_ += bytes;
        size_t lastLf = pending_.rfind('\n');
        if (lastLf == Bytes::npos) {
            return {};
        }
        Bytes lines = pending_.substr(0, lastLf + 1);
        pending_.erase(0, lastLf + 1);
        return TextToUtf8(anyToText_(lines));
    }

    std::string Finish() override {
        if (pending_.empty()) {
            return {};
        }
        Bytes rest;
        rest.swap(pending_);
        return TextToUtf8(anyToText_(rest));
    }

  private:
    AnyToText anyToText_;
    Bytes pending_;
};

class IcuDecoder final : public TextDecoder {
  public:
    explicit IcuDecoder(UConverter* converter) : converter_(converter) {}
    ~IcuDecoder() override { ucnv_close(converter_); }
    IcuDecoder(const IcuDecoder&) = delete;
    IcuDecoder& operator=(const IcuDecoder&) = delete;

    std::string Feed(const Bytes& bytes) override { return Convert(bytes, false); }
    std::string Finish() override { return Convert({}, true); }

  private:
    std::string Convert(std::string_view bytes, bool flush) {
        const char* source = bytes.data();
        const char* sourceEnd = bytes.data() + bytes.size();
        Text text;
        std::array<UChar, 4096> buffer{};
        UErrorCode status = U_BUFFER_OVERFLOW_ERROR;
        while (status == U_BUFFER_OVERFLOW_ERROR) {
            status = U_ZERO_ERROR;
            UChar* target = buffer.data();
            ucnv_toUnicode(converter_, &target, buffer.data() + buffer.size(), &source, sourceEnd,
                           nullptr, flush ? 1 : 0, &status);
            text.append(buffer.data(), static_cast<size_t>(target - buffer.data()));
        }
        return TextToUtf8(text);
    }

    UConverter* converter_;
};

std::string Lower(const std::string& text) {
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

std::unique_ptr<TextDecoder> MakeTextDecoder(const std::string& charset, AnyToText anyToText) {
    std::string name = Lower(charset);
    if (std::find(kJapaneseCharsets.begin(), kJapaneseCharsets.end(), name) ==
        kJapaneseCharsets.end()) {
        UErrorCode status = U_ZERO_ERROR;
        UConverter* converter = ucnv_open(name.c_str(), &status);
        if (U_SUCCESS(status) && converter != nullptr) {
            return std::make_unique<IcuDecoder>(converter);
        }
    }
    return std::make_unique<JapaneseDecoder>(std::move(anyToText));
}

}  // namespace zef::zefmail
