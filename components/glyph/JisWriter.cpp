#include "components/glyph/JisWriter.h"

#include <unicode/unorm2.h>
#include <unicode/utf16.h>

#include "components/glyph/JisTables.h"

namespace zef::glyph {

// The output with the set it is currently in.
class JisWriter::Run {
  public:
    Run(const JisWriter& writer, Bytes& out) : writer_(writer), out_(out) {}

    void Ascii(std::u16string_view ascii) {
        if (twoByte_) {
            out_ += writer_.kanjiOut_;
            twoByte_ = false;
        }
        out_.append(ascii.begin(), ascii.end());
    }
    void Code(uint16_t code) {
        if (!twoByte_) {
            out_ += writer_.kanjiIn_;
            twoByte_ = true;
        }
        out_.push_back(static_cast<char>(code >> 8));
        out_.push_back(static_cast<char>(code & 0xFF));
    }
    void Finish() { Ascii({}); }

  private:
    const JisWriter& writer_;
    Bytes& out_;
    bool twoByte_ = false;
};

namespace {

constexpr char16_t kCombiningVoicedMark = 0x3099;
constexpr char16_t kCombiningSemiVoicedMark = 0x309A;
constexpr char16_t kVoicedMark = 0x309B;
constexpr char16_t kSemiVoicedMark = 0x309C;

// The JIS code of a code point, or 0.
uint16_t CodeOf(char32_t cp) {
    if (cp > 0xFFFF) {
        return 0;
    }
    const JisTables& tables = JisTables::Get();
    if (cp == kCombiningVoicedMark || cp == kCombiningSemiVoicedMark) {
        cp += kVoicedMark - kCombiningVoicedMark;
    }
    return tables.ToJis(static_cast<char16_t>(cp));
}

Text CompatibilityForm(std::u16string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfkc = unorm2_getNFKCInstance(&status);
    if (U_FAILURE(status)) {
        return Text(text);
    }
    Text out(text.size() * 4 + 4, u'\0');
    int32_t length = unorm2_normalize(nfkc, text.data(), static_cast<int32_t>(text.size()),
                                      out.data(), static_cast<int32_t>(out.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<size_t>(length));
        status = U_ZERO_ERROR;
        length = unorm2_normalize(nfkc, text.data(), static_cast<int32_t>(text.size()), out.data(),
                                  static_cast<int32_t>(out.size()), &status);
    }
    if (U_FAILURE(status)) {
        return Text(text);
    }
    out.resize(static_cast<size_t>(length));
    return out;
}

}  // namespace

JisWriter::JisWriter() {
    KanjiIn("$B");
    KanjiOut("(J");
}

void JisWriter::Write(std::u16string_view text, Bytes& out) const {
    const JisTables& tables = JisTables::Get();
    out.reserve(out.size() + text.size() * 2 + 8);
    Run run(*this, out);
    size_t i = 0;
    while (i < text.size()) {
        size_t end = i;
        while (end < text.size() && text[end] < 0x80) {
            ++end;
        }
        if (end > i) {
            run.Ascii(text.substr(i, end - i));
            i = end;
            continue;
        }
        if (const uint16_t code = tables.ToJis(text[i]); code != 0) {
            run.Code(code);
            ++i;
            continue;
        }
        while (end < text.size() && text[end] >= 0x80 && tables.ToJis(text[end]) == 0) {
            ++end;
        }
        WriteOutsideRepertoire(text.substr(i, end - i), run);
        i = end;
    }
    run.Finish();
}

void JisWriter::WriteOutsideRepertoire(std::u16string_view text, Run& run) const {
    const Text form = CompatibilityForm(text);
    const auto length = static_cast<int32_t>(form.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 cp = 0;
        U16_NEXT(form.data(), i, length, cp);
        if (cp < 0x80) {
            run.Ascii(std::u16string_view(form).substr(static_cast<size_t>(start), 1));
        } else if (const uint16_t code = CodeOf(static_cast<char32_t>(cp)); code != 0) {
            run.Code(code);
        } else {
            run.Ascii(u"?");
        }
    }
}

}  // namespace zef::glyph
