#include "components/CodePage.h"

#include <unicode/ucnv.h>

#include <memory>

#include "common/Error.h"
#include "common/Unicode.h"

namespace zef {

namespace {

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// The one process-wide host setting of the library.
struct HostSetting {
    std::string name = "UTF-8";
    bool isUtf8 = true;
    ConverterPtr converter;
};

HostSetting& Host() {
    static HostSetting setting;
    return setting;
}

// The converter's own name, not the alias given: ICU has no canonical name for "UTF-8" under
// the empty standard, and aliases such as "utf8" name the same converter.
bool IsUtf8Converter(UConverter* converter) {
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ucnv_getName(converter, &status);
    return U_SUCCESS(status) && name != nullptr && std::string(name) == "UTF-8";
}

}  // namespace

void SetHostCodePage(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr converter(ucnv_open(name.c_str(), &status));
    if (U_FAILURE(status)) {
        throw Error(error::kInvalidValue, "zef.HostCodePage",
                    u"Unknown code page: " + Utf8ToText(name));
    }
    // Best-fit mappings where the code page has no exact one (U+301C WAVE DASH to CP932's
    // 0x8160), as Windows converts for the same code page.
    ucnv_setFallback(converter.get(), true);
    HostSetting& host = Host();
    host.name = name;
    host.isUtf8 = IsUtf8Converter(converter.get());
    host.converter = std::move(converter);
}

const std::string& HostCodePage() {
    return Host().name;
}

bool HostCodePageIsUtf8() {
    return Host().isUtf8;
}

Text AnsiToText(std::string_view bytes) {
    HostSetting& host = Host();
    if (host.isUtf8 || !host.converter) {
        return Utf8ToText(bytes);
    }
    Text out(bytes.size() + 1,
             u'\0');  // single- and double-byte code pages: one unit per byte at most
    UErrorCode status = U_ZERO_ERROR;
    int32_t length =
        ucnv_toUChars(host.converter.get(), out.data(), static_cast<int32_t>(out.size()),
                      bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<size_t>(length) + 1);
        status = U_ZERO_ERROR;
        length = ucnv_toUChars(host.converter.get(), out.data(), static_cast<int32_t>(out.size()),
                               bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    }
    out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return out;
}

Bytes TextToAnsi(std::u16string_view text) {
    HostSetting& host = Host();
    if (host.isUtf8 || !host.converter) {
        return TextToUtf8(text);
    }
    Bytes out(text.size() * 4 + 1, '\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t length =
        ucnv_fromUChars(host.converter.get(), out.data(), static_cast<int32_t>(out.size()),
                        text.data(), static_cast<int32_t>(text.size()), &status);
    out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return out;
}

}  // namespace zef
