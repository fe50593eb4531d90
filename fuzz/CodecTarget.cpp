// The MIME codec: the decoders on arbitrary received text, and the encoders (ISO-2022-JP and
// UTF-8 header words among them) checked by decoding what they wrote. The first byte picks the
// operation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "common/Error.h"
#include "common/Types.h"
#include "components/Codec.h"
#include "components/Glyph.h"
#include "components/codec/HeaderEncoder.h"
#include "components/glyph/Charsets.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"

namespace zef::fuzz {
namespace {

Codec& TheCodec() {
    static const std::unique_ptr<Codec> codec = MakeCodec();
    return *codec;
}

// FoldLines values worth telling apart: none, the default, the usual "True", the narrowest and
// widest columns, and whatever the byte says.
long FoldMode(uint8_t choice) {
    static constexpr long kModes[] = {0, 1, -1, 40, 998};
    return choice % 6 < 5 ? kModes[choice % 6] : static_cast<long>(choice) * 4;
}

bool IsBase64Alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

Bytes Without(std::string_view text, std::string_view what) {
    Bytes result;
    for (size_t start = 0;;) {
        const size_t found = text.find(what, start);
        result.append(text.substr(start, found - start));
        if (found == std::string_view::npos) {
            return result;
        }
        start = found + what.size();
    }
}

// RFC 5322 unfolding: a CR LF followed by white space is removed, the white space stays.
Bytes Unfold(std::string_view text) {
    Bytes result;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool fold = text.substr(i, 2) == "\r\n" && i + 2 < text.size() &&
                          (text[i + 2] == ' ' || text[i + 2] == '\t');
        if (fold) {
            ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

// Received base64 and quoted-printable lines never fail to decode.
void DecodeReceived(FuzzInput& input) {
    Bytes text(input.Rest());
    TheCodec().DecodeBase64(text);
    TheCodec().DecodeQuotedPrintable(text);
    Bytes line = text + "\r\n";
    TheCodec().DecodeQuotedPrintable(line);
}

// A header line without "=?" holds no encoded word and comes back unchanged.
void DecodeReceivedHeader(FuzzInput& input) {
    const Bytes header(input.Rest());
    Bytes argument = header;
    try {
        const Bytes decoded = TheCodec().DecodeHeader(argument);
        if (header.find("=?") == Bytes::npos) {
            ZEF_FUZZ_CHECK(decoded == header);
        }
    } catch (const Error&) {
        // The parser keeps the undecoded line when the decoder gives up.
    }
}

// Base64 of any bytes is one line of the alphabet that decodes back, whole and in the chunks
// of 57 bytes that the sending control encodes one line at a time.
void Base64RoundTrip(FuzzInput& input) {
    const Bytes data(input.Rest());
    Bytes argument = data;
    Bytes encoded = TheCodec().EncodeBase64(argument);
    ZEF_FUZZ_CHECK(encoded.size() == (data.size() + 2) / 3 * 4);
    for (char c : encoded) {
        ZEF_FUZZ_CHECK(IsBase64Alphabet(c));
    }
    ZEF_FUZZ_CHECK(TheCodec().DecodeBase64(encoded) == data);

    Bytes decodedLines;
    for (size_t start = 0; start < data.size(); start += 57) {
        Bytes chunk = data.substr(start, 57);
        Bytes line = TheCodec().EncodeBase64(chunk);
        decodedLines += TheCodec().DecodeBase64(line);
    }
    ZEF_FUZZ_CHECK(decodedLines == data);
}

// Quoted-printable of body pieces is wire text (short lines of printable characters and tabs,
// none starting with a dot) whose lines, each decoded with its CR LF as the receiving control
// does, give back the pieces one after another.
void QuotedPrintableRoundTrip(FuzzInput& input) {
    const std::string_view lengths = input.Piece(8);
    const std::string_view data = input.Rest();
    Bytes wire;
    DeliverInPieces(data, lengths, [&](std::string_view piece) {
        Bytes argument(piece);
        wire += TheCodec().EncodeQuotedPrintable(argument);
    });
    ZEF_FUZZ_CHECK(data.empty() || wire.ends_with("\r\n"));

    Bytes decoded;
    for (size_t start = 0; start < wire.size();) {
        const size_t end = wire.find("\r\n", start);
        ZEF_FUZZ_CHECK(end != Bytes::npos);
        const std::string_view line = std::string_view(wire).substr(start, end - start);
        ZEF_FUZZ_CHECK(line.size() <= 76);
        ZEF_FUZZ_CHECK(!line.starts_with("."));
        for (char c : line) {
            ZEF_FUZZ_CHECK((c >= 0x20 && c < 0x7F) || c == '\t');
        }
        Bytes withLineEnd = Bytes(line) + "\r\n";
        decoded += TheCodec().DecodeQuotedPrintable(withLineEnd);
        start = end + 2;
    }
    ZEF_FUZZ_CHECK(decoded == data);
}

// Header text without escape sequences has nothing to encode: folding may add line breaks,
// and nothing else changes.
void EncodeArbitraryHeader(FuzzInput& input) {
    const long mode = FoldMode(input.Byte());
    const Bytes header(input.Rest());
    TheCodec().FoldLines(mode);
    Bytes argument = header;
    const Bytes encoded = TheCodec().EncodeHeader(argument);
    if (header.find('\x1B') == Bytes::npos) {
        if (mode == 0) {
            ZEF_FUZZ_CHECK(encoded == header);
        } else {
            ZEF_FUZZ_CHECK(Without(encoded, "\r\n") == Without(header, "\r\n"));
        }
    }
}

// Characters a Japanese subject is made of: ASCII letters and white space, kana, kanji, NEC
// circled digits, full-width and half-width forms. None of them is lost by ISO-2022-JP, and
// none can start an encoded word by itself.
constexpr char16_t kSubjectAlphabet[] = u"abcXYZ019 .,-()日本語漢字あいうカタナ①②～Ａｶﾞｯ髙";

// A subject written in ISO-2022-JP, encoded into words and folded, reads back as the same
// text once unfolded and decoded.
void HeaderRoundTrip(FuzzInput& input) {
    const long mode = FoldMode(input.Byte());
    Text subject;
    for (char c : input.Rest()) {
        subject += kSubjectAlphabet[static_cast<uint8_t>(c) % (std::size(kSubjectAlphabet) - 1)];
    }
    static const std::unique_ptr<Glyph> glyph = MakeGlyph();
    const Bytes jis = glyph->TextToJis(subject);
    const auto expected = charsets::ToUtf8("iso-2022-jp", jis);
    ZEF_FUZZ_CHECK(expected.has_value());

    TheCodec().FoldLines(mode);
    Bytes header = "Subject: " + jis + "\r\n";
    Bytes unfolded = Unfold(TheCodec().EncodeHeader(header));
    try {
        ZEF_FUZZ_CHECK(TheCodec().DecodeHeader(unfolded) == "Subject: " + *expected + "\r\n");
    } catch (const Error&) {
        ZEF_FUZZ_CHECK(!"DecodeHeader refused the encoder's own words");
    }
}

// Characters of a subject as written today: ASCII letters and white space, accented letters
// (two bytes in UTF-8), kana, kanji and half-width katakana (three), emoji (four). None of
// them can start an encoded word by itself.
constexpr std::string_view kUtf8Alphabet[] = {"a",
                                              "Z",
                                              "0",
                                              " ",
                                              " ",
                                              ".",
                                              "-",
                                              "(",
                                              "\xC3\xA9",
                                              "\xC3\xB1",
                                              "\xE6\x97\xA5",
                                              "\xE3\x81\x82",
                                              "\xEF\xBD\xB6",
                                              "\xF0\x9F\x8E\x89",
                                              "\xF0\x9F\x98\x80",
                                              "\xF4\x8F\xBF\xBD"};

// Every UTF-8 word is at most 75 characters and holds whole characters.
void CheckUtf8Words(std::string_view encoded) {
    constexpr std::string_view kStart = "=?UTF-8?B?";
    for (size_t at = encoded.find(kStart); at != std::string_view::npos;
         at = encoded.find(kStart, at + 1)) {
        const size_t end = encoded.find("?=", at + kStart.size());
        ZEF_FUZZ_CHECK(end != std::string_view::npos && end + 2 - at <= 75);
        Bytes payload(encoded.substr(at + kStart.size(), end - at - kStart.size()));
        const Bytes text = TheCodec().DecodeBase64(payload);
        ZEF_FUZZ_CHECK(!text.empty() && IsValidUtf8(text));
    }
}

// A line past the fold column holds a single word (after the field name or the folding white
// space): the writer folds at white space only and never cuts a word. White space that ends
// the field counts for nothing, as no fold can take it.
void CheckLineLengths(std::string_view encoded, size_t column) {
    for (size_t start = 0; start < encoded.size();) {
        const size_t end = encoded.find("\r\n", start);
        std::string_view line = encoded.substr(start, end - start);
        start = end == std::string_view::npos ? encoded.size() : end + 2;
        line = line.substr(0, line.find_last_not_of(" \t") + 1);
        if (line.size() <= column) {
            continue;
        }
        if (line.starts_with("Subject:")) {
            line.remove_prefix(8);
        }
        line.remove_prefix(line.find_first_not_of(" \t"));
        ZEF_FUZZ_CHECK(line.find_first_of(" \t") == std::string_view::npos);
    }
}

// A subject in UTF-8, encoded into words and folded: words within their limits, lines within
// the fold column, and the same text once unfolded and decoded.
void Utf8HeaderRoundTrip(FuzzInput& input) {
    const long mode = FoldMode(input.Byte());
    Bytes subject;
    for (char c : input.Rest()) {
        subject += kUtf8Alphabet[static_cast<uint8_t>(c) % std::size(kUtf8Alphabet)];
    }
    TheCodec().FoldLines(mode);
    const Bytes header = "Subject: " + subject + "\r\n";
    Bytes argument = header;
    const Bytes encoded = TheCodec().EncodeUtf8Header(argument, false);
    CheckUtf8Words(encoded);
    if (mode != 0) {
        CheckLineLengths(encoded, codec::FoldColumnFor(mode));
    }
    Bytes unfolded = Unfold(encoded);
    try {
        ZEF_FUZZ_CHECK(TheCodec().DecodeHeader(unfolded) == header);
    } catch (const Error&) {
        ZEF_FUZZ_CHECK(!"DecodeHeader refused the encoder's own words");
    }
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_OPERATIONS(DecodeReceived, DecodeReceivedHeader, Base64RoundTrip, QuotedPrintableRoundTrip,
                    EncodeArbitraryHeader, HeaderRoundTrip, Utf8HeaderRoundTrip)
