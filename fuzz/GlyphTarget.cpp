// The character-set converter: received bytes in any Japanese encoding, arbitrary text out,
// and the buffers that callers keep and only append to. The first byte picks the operation.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "common/Error.h"
#include "common/Types.h"
#include "components/CodePage.h"
#include "components/Glyph.h"
#include "components/glyph/Charsets.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"

namespace zef::fuzz {
namespace {

// Arbitrary UTF-16: two bytes of the input per code unit, lone surrogates included.
Text CodeUnits(std::string_view bytes) {
    Text text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                      (static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    return text;
}

// A received line of any bytes becomes text, using all of its bytes; the text can be written
// out again.
void ReceivedLine(FuzzInput& input) {
    const auto glyph = MakeGlyph();
    Bytes line(input.Rest());
    Text text = glyph->JisToText(line);
    ZEF_FUZZ_CHECK(line.empty());
    glyph->TextToJis(text);
}

// A text part fed to AnyToAnsi as it arrives: after each piece the buffer holds at most an
// incomplete trailing sequence (at most three bytes: an escape sequence or a multibyte code
// cut short), and a UTF-8 host gets well-formed UTF-8.
void TextPartInPieces(FuzzInput& input) {
    const bool cp932Host = input.Bool();
    const std::string_view lengths = input.Piece(8);
    const std::string_view data = input.Rest();
    SetHostCodePage(cp932Host ? "CP932" : "UTF-8");
    const auto glyph = MakeGlyph();
    Bytes buffer;
    DeliverInPieces(data, lengths, [&](std::string_view piece) {
        buffer += piece;
        const Bytes before = buffer;
        const Bytes ansi = glyph->AnyToAnsi(buffer);
        ZEF_FUZZ_CHECK(buffer.size() <= 3);
        ZEF_FUZZ_CHECK(before.ends_with(buffer));
        if (!cp932Host) {
            ZEF_FUZZ_CHECK(IsValidUtf8(ansi));
        }
        AnsiToText(ansi);
    });
    SetHostCodePage("UTF-8");
}

// A designation the sending control may be given: one of the usual ones, or (marked by a
// high first byte) whatever the input says.
std::string Designation(FuzzInput& input, const char* const* usual, size_t count, bool& isUsual) {
    const uint8_t choice = input.Byte();
    isUsual = choice < 0xF0;
    return isUsual ? usual[choice % count] : std::string(input.Piece(4));
}

// Arbitrary text written as ISO-2022-JP in pieces, as the sending control writes a body: each
// piece is converted whole but for a high surrogate at its end and the bytes are 7-bit. With
// the usual designations, reading the bytes back and writing the result again gives the same
// bytes, unless the text itself holds ESC, SO or SI, which read back as shifts.
void WriteTextInPieces(FuzzInput& input) {
    static const char* const kIn[] = {"$B", "$@"};
    static const char* const kOut[] = {"(J", "(B", "(H"};
    const auto glyph = MakeGlyph();
    bool usualIn = false;
    bool usualOut = false;
    try {
        glyph->KanjiInEscape(Designation(input, kIn, std::size(kIn), usualIn));
        glyph->KanjiOutEscape(Designation(input, kOut, std::size(kOut), usualOut));
    } catch (const Error& error) {
        ZEF_FUZZ_CHECK(error.number() == error::kInvalidValue);
        return;
    }
    const std::string_view lengths = input.Piece(8);
    const Text text = CodeUnits(input.Rest());
    const bool readsBack = usualIn && usualOut && text.find_first_of(u"\x1B\x0E\x0F") == Text::npos;
    Text pending;
    for (size_t start = 0, turn = 0; start < text.size(); ++turn) {
        const size_t length =
            lengths.empty() ? text.size()
                            : static_cast<uint8_t>(lengths[turn % lengths.size()]) + size_t{1};
        pending += text.substr(start, length);
        start += length;
        Bytes jis = glyph->TextToJis(pending);
        ZEF_FUZZ_CHECK(pending.size() <= 1);
        for (char c : jis) {
            ZEF_FUZZ_CHECK(static_cast<uint8_t>(c) < 0x80);
        }
        if (readsBack) {
            const Bytes written = jis;
            Text readBack = glyph->JisToText(jis);
            ZEF_FUZZ_CHECK(glyph->TextToJis(readBack) == written);
        }
    }
}

// Charset names as encoded words carry them, and whatever the input says.
void CharsetToUtf8(FuzzInput& input) {
    static const char* const kNames[] = {"iso-2022-jp", "ISO-2022-JP-2", "shift_jis", "cp932",
                                         "windows-31j", "euc-jp",        "utf-8",     "us-ascii",
                                         "iso-8859-1",  "koi8-r",        "gb2312",    "utf-16"};
    const uint8_t choice = input.Byte();
    const std::string name =
        choice < 0xE0 ? kNames[choice % std::size(kNames)] : std::string(input.Piece(24));
    const auto utf8 = charsets::ToUtf8(name, input.Rest());
    if (utf8) {
        ZEF_FUZZ_CHECK(IsValidUtf8(*utf8));
    }
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_OPERATIONS(ReceivedLine, TextPartInPieces, WriteTextInPieces, CharsetToUtf8)
