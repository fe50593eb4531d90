#include "components/glyph/Charsets.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <array>
#include <memory>

#include "common/Unicode.h"
#include "components/glyph/ByteDecoders.h"
#include "components/glyph/JapaneseReader.h"

namespace zef::charsets {

namespace {

enum class Family : uint8_t { kIso2022Jp, kCp932, kEucJp, kOther };

// ASCII case-insensitive comparison of charset names, without building a lowered copy: names
// are looked up for every encoded word of every header.
bool SameName(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

Family FamilyOf(std::string_view name) {
    static constexpr std::array<std::string_view, 12> kIso2022 = {
        "iso-2022-jp",      "iso-2022-jp-1",  "iso-2022-jp-2", "iso-2022-jp-3",
        "iso-2022-jp-2004", "iso-2022-jp-ms", "csiso2022jp",   "csiso2022jp2",
        "cp50220",          "cp50221",        "cp50222",       "us-ascii"};
    static constexpr std::array<std::string_view, 10> kSjis = {
        "shift_jis",   "shift-jis", "sjis",     "x-sjis",     "cp932",
        "windows-31j", "ms932",     "ms_kanji", "csshiftjis", "csWindows31J"};
    static constexpr std::array<std::string_view, 5> kEuc = {"euc-jp", "eucjp", "x-euc-jp",
                                                             "cseucpkdfmtjapanese", "cp51932"};
    auto in = [name](const auto& names) {
        return std::any_of(names.begin(), names.end(), [name](std::string_view candidate) {
            return SameName(candidate, name);
        });
    };
    if (in(kIso2022))
        return Family::kIso2022Jp;
    if (in(kSjis))
        return Family::kCp932;
    if (in(kEuc))
        return Family::kEucJp;
    return Family::kOther;
}

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};

// Every byte sequence the charset does not define becomes U+FFFD, also in the single-byte
// tables whose own substitute is U+001A.
void SubstituteReplacement(const void* /*context*/, UConverterToUnicodeArgs* args,
                           const char* /*bytes*/, int32_t /*length*/,
                           UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR) {
        return;  // reset, close and clone need nothing
    }
    *status = U_ZERO_ERROR;
    const UChar replacement = 0xFFFD;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, status);
}

std::optional<std::string> IcuToUtf8(std::string_view charset, std::string_view bytes) {
    if (charset.empty()) {
        return std::nullopt;  // ICU would take an empty name for the default converter
    }
    const std::string name(charset);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open(name.c_str(), &status));
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    ucnv_setToUCallBack(converter.get(), SubstituteReplacement, nullptr, nullptr, nullptr, &status);
    std::string out(bytes.size() * 3 + 4, '\0');  // at most three UTF-8 bytes per input byte
    for (;;) {
        status = U_ZERO_ERROR;
        const int32_t length = ucnv_toAlgorithmic(UCNV_UTF8, converter.get(), out.data(),
                                                  static_cast<int32_t>(out.size()), bytes.data(),
                                                  static_cast<int32_t>(bytes.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<size_t>(length));
            ucnv_resetToUnicode(converter.get());
            continue;
        }
        if (U_FAILURE(status)) {
            return std::nullopt;
        }
        out.resize(static_cast<size_t>(length));
        return out;
    }
}

}  // namespace

std::optional<std::string> ToUtf8(std::string_view charset, std::string_view bytes) {
    if (SameName(charset, "utf-8") || SameName(charset, "utf8")) {
        // No converter to open: ICU's own UTF-8 routines, invalid bytes becoming U+FFFD.
        return glyph::JapaneseReader::IsPlainAscii(bytes) ? std::string(bytes)
                                                          : TextToUtf8(Utf8ToText(bytes));
    }
    const Family family = FamilyOf(charset);
    if (family == Family::kOther) {
        return IcuToUtf8(charset, bytes);
    }
    if (glyph::JapaneseReader::IsPlainAscii(bytes)) {
        return std::string(bytes);
    }
    Text text;
    text.reserve(bytes.size());
    switch (family) {
        case Family::kCp932:
            glyph::DecodeCp932(bytes, true, text);
            break;
        case Family::kEucJp:
            glyph::DecodeEucJp(bytes, true, glyph::Flavour::kJis, text);
            break;
        default: {
            glyph::JapaneseReader reader;
            reader.Read(bytes, true, text);
            break;
        }
    }
    return TextToUtf8(text);
}

// What PartTextReader keeps between pieces.
struct PartTextReader::State {
    enum class Route : uint8_t { kGuess, kCp932, kEucJp, kUtf8, kIcu };
    Route route = Route::kGuess;
    glyph::JapaneseReader guesser{glyph::Flavour::kMicrosoft};
    std::unique_ptr<UConverter, ConverterCloser> converter;
    Bytes pending;  // an incomplete character from the last piece
};

PartTextReader::PartTextReader(std::string_view charset) : state_(std::make_unique<State>()) {
    using Route = State::Route;
    switch (FamilyOf(charset)) {
        case Family::kCp932:
            state_->route = Route::kCp932;
            return;
        case Family::kEucJp:
            state_->route = Route::kEucJp;
            return;
        case Family::kIso2022Jp:
            return;
        case Family::kOther:
            break;
    }
    if (SameName(charset, "utf-8") || SameName(charset, "utf8")) {
        state_->route = Route::kUtf8;
        return;
    }
    if (charset.empty() || SameName(charset, "ascii")) {
        return;
    }
    const std::string name(charset);
    UErrorCode status = U_ZERO_ERROR;
    state_->converter.reset(ucnv_open(name.c_str(), &status));
    if (U_SUCCESS(status)) {
        ucnv_setToUCallBack(state_->converter.get(), SubstituteReplacement, nullptr, nullptr,
                            nullptr, &status);
    }
    state_->route = U_SUCCESS(status) && state_->converter ? Route::kIcu : Route::kGuess;
}

PartTextReader::~PartTextReader() = default;

std::string PartTextReader::Feed(std::string_view bytes) {
    return Read(bytes, false);
}

std::string PartTextReader::Finish() {
    return Read({}, true);
}

std::string PartTextReader::Read(std::string_view bytes, bool atEnd) {
    State& state = *state_;
    std::string_view input = bytes;
    if (!state.pending.empty()) {
        state.pending.append(bytes);
        input = state.pending;
    }
    Text text;
    text.reserve(input.size());
    size_t used = input.size();
    switch (state.route) {
        case State::Route::kGuess:
            used = state.guesser.Read(input, atEnd, text);
            break;
        case State::Route::kCp932:
            used = glyph::DecodeCp932(input, atEnd, text);
            break;
        case State::Route::kEucJp:
            used = glyph::DecodeEucJp(input, atEnd, glyph::Flavour::kMicrosoft, text);
            break;
        case State::Route::kUtf8:
            used = glyph::DecodeUtf8(input, atEnd, text);
            break;
        case State::Route::kIcu: {
            // ICU keeps an incomplete character itself; every byte is handed over.
            const char* source = input.data();
            const char* end = input.data() + input.size();
            UErrorCode status = U_BUFFER_OVERFLOW_ERROR;
            while (status == U_BUFFER_OVERFLOW_ERROR) {
                status = U_ZERO_ERROR;
                const size_t start = text.size();
                text.resize(start + input.size() + 16);
                UChar* target = reinterpret_cast<UChar*>(text.data() + start);
                UChar* const targetStart = target;
                ucnv_toUnicode(state.converter.get(), &target,
                               reinterpret_cast<UChar*>(text.data() + text.size()), &source, end,
                               nullptr, atEnd ? 1 : 0, &status);
                text.resize(start + static_cast<size_t>(target - targetStart));
            }
            break;
        }
    }
    Bytes rest(input.substr(used));
    state.pending = std::move(rest);
    return TextToUtf8(text);
}

}  // namespace zef::charsets
