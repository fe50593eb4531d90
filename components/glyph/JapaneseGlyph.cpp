// The character-set component: ISO-2022-JP out, any Japanese encoding in.
//
// TextToJis writes as JisWriter.h describes: half-width katakana as full-width katakana,
// other characters outside ISO-2022-JP as their NFKC form or "?". It converts the whole text
// but a high surrogate at its end; a half-width voiced mark that arrives in the piece after
// its kana is written as the spacing mark "゛". The designations must be one to three
// printable ASCII characters; others are refused with error 380 and change nothing.
//
// JisToText reads each call as one line: it starts in ASCII, uses all its bytes (an escape
// or two-byte code cut off at the end becomes U+001B or U+FFFD) and reads JIS X 0208 as
// the JIS standard maps it (0x2141 is U+301C), like Python's iso2022_jp codec.
//
// AnyToAnsi is fed a buffer that grows line by line: it keeps the shift state between calls
// and leaves an incomplete trailing sequence in the buffer. AnyToAnsiAlone reads one call's
// bytes with a fresh reader and shares nothing with it. Its output follows the host code
// page: UTF-8 hosts get the JIS standard mapping, other hosts (CP932 above all) the CP932
// one (0x2141 is U+FF5E), so that every JIS character has a byte form on the host.
//
// Each of the two readers remembers its last certain 8-bit detection (an ESC sequence needs
// none) and uses it for stretches too short to tell; a later stretch that is certain in
// another encoding replaces it, so a new part in another encoding takes over as soon as its
// text shows it.
#include <unicode/utf16.h>

#include <memory>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/CodePage.h"
#include "components/Glyph.h"
#include "components/glyph/JapaneseReader.h"
#include "components/glyph/JisWriter.h"

namespace zef {

namespace {

bool IsPlainAscii(std::u16string_view text) {
    for (char16_t unit : text) {
        if (unit >= 0x80) {
            return false;
        }
    }
    return true;
}

// The characters after ESC of a designation: one to three printable ASCII characters.
void CheckDesignation(const std::string& escape, const char* source) {
    bool valid = !escape.empty() && escape.size() <= 3;
    for (char c : escape) {
        valid = valid && c > 0x20 && c < 0x7F;
    }
    if (!valid) {
        throw Error(error::kInvalidValue, source,
                    u"Invalid escape designation: \"" + Utf8ToText(escape) + u"\"");
    }
}

class JapaneseGlyph final : public Glyph {
  public:
    void KanjiInEscape(const std::string& escape) override {
        CheckDesignation(escape, "zef.Glyph.KanjiInEscape");
        writer_.KanjiIn(escape);
    }

    void KanjiOutEscape(const std::string& escape) override {
        CheckDesignation(escape, "zef.Glyph.KanjiOutEscape");
        writer_.KanjiOut(escape);
    }

    Bytes TextToJis(Text& text) override {
        if (IsPlainAscii(text)) {
            Bytes bytes(text.begin(), text.end());
            text.clear();
            return bytes;
        }
        // A high surrogate at the end waits for its partner in the next piece.
        const size_t end = text.size() - (U16_IS_LEAD(text.back()) ? 1 : 0);
        Bytes bytes;
        writer_.Write(std::u16string_view(text).substr(0, end), bytes);
        text.erase(0, end);
        return bytes;
    }

    Text JisToText(Bytes& bytes) override {
        if (glyph::JapaneseReader::IsPlainAscii(bytes)) {
            Text text(bytes.begin(), bytes.end());
            bytes.clear();
            return text;
        }
        Text text;
        text.reserve(bytes.size());
        lineReader_.ResetShift();
        lineReader_.Read(bytes, true, text);
        bytes.clear();
        return text;
    }

    Bytes AnyToAnsi(Bytes& bytes) override {
        const bool utf8Host = HostCodePageIsUtf8();
        if (utf8Host && anyReader_.InAscii() && glyph::JapaneseReader::IsPlainAscii(bytes)) {
            return std::exchange(bytes, Bytes());
        }
        anyReader_.UseFlavour(utf8Host ? glyph::Flavour::kJis : glyph::Flavour::kMicrosoft);
        Text text;
        text.reserve(bytes.size());
        bytes.erase(0, anyReader_.Read(bytes, false, text));
        return utf8Host ? TextToUtf8(text) : TextToAnsi(text);
    }

    // A reader of its own for each call, used to the end: the parser's reader, with its
    // shift state and its last certain guess, is never touched.
    Bytes AnyToAnsiAlone(const Bytes& bytes) override {
        const bool utf8Host = HostCodePageIsUtf8();
        if (utf8Host && glyph::JapaneseReader::IsPlainAscii(bytes)) {
            return bytes;
        }
        glyph::JapaneseReader reader(utf8Host ? glyph::Flavour::kJis : glyph::Flavour::kMicrosoft);
        Text text;
        text.reserve(bytes.size());
        reader.Read(bytes, true, text);
        return utf8Host ? TextToUtf8(text) : TextToAnsi(text);
    }

    // On a UTF-8 host the ANSI form holds every character the reader gives (whole characters,
    // never a lone surrogate), so the text goes straight to UTF-16LE.
    void AnyToUtf16Le(Bytes& bytes, Bytes& out) override {
        if (!HostCodePageIsUtf8()) {
            Glyph::AnyToUtf16Le(bytes, out);
            return;
        }
        out.clear();
        if (anyReader_.InAscii() && glyph::JapaneseReader::IsPlainAscii(bytes)) {
            AppendUtf16Le(Text(bytes.begin(), bytes.end()), out);
            bytes.clear();
            return;
        }
        anyReader_.UseFlavour(glyph::Flavour::kJis);
        Text text;
        text.reserve(bytes.size());
        bytes.erase(0, anyReader_.Read(bytes, false, text));
        AppendUtf16Le(text, out);
    }

  private:
    glyph::JisWriter writer_;
    glyph::JapaneseReader lineReader_;
    glyph::JapaneseReader anyReader_;
};

}  // namespace

std::unique_ptr<Glyph> MakeGlyph() {
    return std::make_unique<JapaneseGlyph>();
}

}  // namespace zef
