#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "components/Codec.h"
#include "tests/components/codec/JapaneseSamples.h"
#include "tests/components/codec/WireLines.h"

namespace zef {
namespace {

// ISO-2022-JP bytes and UTF-8 of the texts used here, made with /usr/bin/python3:
// text.encode('iso-2022-jp') and text.encode('utf-8').
const Bytes kNihongo = "\x1B$BF|K\\8l\x1B(B";                      // 日本語
const Bytes kTesuto = "\x1B$B%F%9%H\x1B(B";                        // テスト
const Bytes kTesutoUtf8 = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88";  // テスト
const Bytes kYamada = "\x1B$B;3ED\x1B(B";                          // 山田 (holds ";")
const Bytes kTaro = "\x1B$BB@O:\x1B(B";                            // 太郎
const Bytes kAiu = "\x1B$B%\"%$%&\x1B(B";                          // アイウ (holds a quote)
const Bytes kShiryo = "\x1B$B;qNA\x1B(B";                          // 資料
const Bytes kYamadaTaroUtf8 = "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E";  // 山田 太郎
// Encoded words made with /usr/bin/python3: '=?ISO-2022-JP?B?' + base64.b64encode(jis) + '?='.
// email.header.decode_header of each expected line below gives back the original text.
const Bytes kNihongoWord = "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=";
const Bytes kTesutoWord = "=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=";
const Bytes kYamadaWord = "=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?=";
const Bytes kAiuWord = "=?ISO-2022-JP?B?GyRCJSIlJCUmGyhC?=";
const Bytes kYamadaTaroWord = "=?ISO-2022-JP?B?GyRCOzNFRBsoQiAbJEJCQE86GyhC?=";
const Bytes kShiryoTxtWord = "=?ISO-2022-JP?B?GyRCO3FOQRsoQi50eHQ=?=";
const Bytes kNihongoRomanWord = "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhK?=";  // ends in ESC ( J

std::vector<Bytes> EncodedWords(const Bytes& text) {
    static const std::regex word(R"(=\?ISO-2022-JP\?B\?[A-Za-z0-9+/=]*\?=)");
    std::vector<Bytes> words;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), word);
         it != std::sregex_iterator(); ++it) {
        words.push_back(it->str());
    }
    return words;
}

// RFC 5322 unfolding: CR LF before white space is removed.
Bytes Unfold(const Bytes& text) {
    return std::regex_replace(text, std::regex("\r\n([ \t])"), "$1");
}

class EncodeHeader : public ::testing::Test {
  protected:
    Bytes Encode(Bytes header) { return codec_->EncodeHeader(header); }
    Bytes Decode(Bytes header) { return codec_->DecodeHeader(header); }

    // The base64 payload of an encoded word, as bytes.
    Bytes Payload(const Bytes& word) {
        Bytes text = word.substr(16, word.size() - 18);
        return codec_->DecodeBase64(text);
    }

    // Every word complete in itself and short enough, every line within the fold column.
    void ExpectWellFormed(const Bytes& encoded, std::size_t maxLine) {
        for (const Bytes& line : Lines(encoded)) {
            EXPECT_LE(line.size(), maxLine) << line;
        }
        for (const Bytes& word : EncodedWords(encoded)) {
            EXPECT_LE(word.size(), 75u) << word;
            Bytes payload = Payload(word);
            EXPECT_TRUE(payload.starts_with("\x1B$B")) << word;
            EXPECT_TRUE(payload.ends_with("\x1B(B")) << word;
            // Only whole two-byte characters between the escapes.
            EXPECT_EQ((payload.size() - 6) % 2, 0u) << word;
        }
    }

    std::unique_ptr<Codec> codec_ = MakeCodec();
};

TEST_F(EncodeHeader, AsciiHeaderBlockComesThroughUnchanged) {
    Bytes header =
        "From: \"Taro Yamada\" <taro@example.jp>\r\n"
        "To: a@example.jp, b@example.jp\r\n"
        "Subject: Hello world\r\n"
        "X-Note:\tfolded\r\n"
        " continuation\r\n"
        "\r\n";
    EXPECT_EQ(Encode(header), header);
}

TEST_F(EncodeHeader, JapaneseWordsBecomeEncodedWords) {
    EXPECT_EQ(Encode("Subject: " + kNihongo + "\r\n"), "Subject: " + kNihongoWord + "\r\n");
    EXPECT_EQ(Encode("Subject: Re: " + kTesuto + " mail\r\n"),
              "Subject: Re: " + kTesutoWord + " mail\r\n");
    // The space between two Japanese words goes inside the encoded word, where it survives.
    EXPECT_EQ(Encode("Subject: " + kYamada + " " + kTaro + "\r\n"),
              "Subject: " + kYamadaTaroWord + "\r\n");
}

TEST_F(EncodeHeader, AddressesAndQuotesStayOutsideEncodedWords) {
    // The kanji bytes hold ";" and a quote: they must not be read as specials, on the field
    // line nor on its continuation.
    Bytes header =
        "To: " + kYamada + " <yamada@example.jp>,\r\n \"" + kAiu + "\" <aiu@example.jp>\r\n";
    EXPECT_EQ(Encode(header), "To: " + kYamadaWord + " <yamada@example.jp>,\r\n \"" + kAiuWord +
                                  "\" <aiu@example.jp>\r\n");
}

TEST_F(EncodeHeader, ParameterValueKeepsItsQuotes) {
    Bytes header = "Content-Type: text/plain;\r\n\tname=\"" + kShiryo + ".txt\"\r\n";
    EXPECT_EQ(Encode(header), "Content-Type: text/plain;\r\n\tname=\"" + kShiryoTxtWord + "\"\r\n");
}

TEST_F(EncodeHeader, WordsReturnWithTheDesignationTheInputUses) {
    Bytes roman = "\x1B$BF|K\\8l\x1B(J";  // 日本語 as TextToJis writes it by default
    EXPECT_EQ(Encode("Subject: " + roman + "\r\n"), "Subject: " + kNihongoRomanWord + "\r\n");
}

TEST_F(EncodeHeader, EncodedHeaderDecodesBackToTheText) {
    Bytes header = "From: \"" + kYamada + " " + kTaro + "\" <taro@example.jp>\r\n" + "Subject: [" +
                   kTesuto + "] " + kYamada + " " + kTaro + "\r\n";
    Bytes decoded;
    for (const Bytes& line : Lines(Unfold(Encode(header)))) {
        decoded += Decode(line) + "\r\n";
    }
    EXPECT_EQ(decoded, "From: \"" + kYamadaTaroUtf8 + "\" <taro@example.jp>\r\n" + "Subject: [" +
                           kTesutoUtf8 + "] " + kYamadaTaroUtf8 + "\r\n");
}

TEST_F(EncodeHeader, LongTextIsSplitBetweenCharactersAndFoldedAt78) {
    Bytes encoded = Encode("Subject: " + samples::kNovel + "\r\n");
    ASSERT_GT(EncodedWords(encoded).size(), 2u);
    ExpectWellFormed(encoded, 78);
    EXPECT_TRUE(encoded.starts_with("Subject: =?ISO-2022-JP?B?"));
    EXPECT_EQ(Decode(Unfold(encoded)), "Subject: " + samples::kNovelUtf8 + "\r\n");
}

TEST_F(EncodeHeader, FoldLinesZeroKeepsOneLine) {
    codec_->FoldLines(0);
    Bytes encoded = Encode("Subject: " + samples::kNovel + "\r\n");
    EXPECT_EQ(Lines(encoded).size(), 1u);
    ExpectWellFormed(encoded, 10000);
    std::vector<Bytes> words = EncodedWords(encoded);
    Bytes spaced;
    for (const Bytes& word : words) {
        spaced += (spaced.empty() ? "" : " ") + word;
    }
    EXPECT_EQ(encoded, "Subject: " + spaced + "\r\n");
    EXPECT_EQ(Decode(encoded), "Subject: " + samples::kNovelUtf8 + "\r\n");
}

TEST_F(EncodeHeader, FoldLinesSelectsTheColumn) {
    Bytes header = "Subject: " + samples::kNovel + "\r\n";
    codec_->FoldLines(60);
    ExpectWellFormed(Encode(header), 60);
    codec_->FoldLines(-1);  // True, as hosts write it: the default column
    ExpectWellFormed(Encode(header), 78);
    codec_->FoldLines(5);  // too narrow for an encoded word: the default column too
    ExpectWellFormed(Encode(header), 78);
}

TEST_F(EncodeHeader, LongAsciiLineIsFoldedAtWhiteSpace) {
    Bytes subject = "Subject:";
    for (int i = 0; i < 20; ++i) {
        subject += " word" + std::to_string(i);
    }
    // One word longer than a line: it stays whole.
    Bytes to = "To: " + Bytes(90, 'a') + "@example.jp";
    EXPECT_EQ(Encode(subject + "\r\n" + to + "\r\n"),
              "Subject: word0 word1 word2 word3 word4 word5 word6 word7 word8 word9 word10\r\n"
              " word11 word12 word13 word14 word15 word16 word17 word18 word19\r\n" +
                  to + "\r\n");
}

TEST_F(EncodeHeader, BodyAfterTheHeaderIsNeverTouched) {
    Bytes body = kTesuto + " body\r\n--not-a-part\r\nSubject: " + kTesuto + "\r\n\r\n";
    Bytes encoded = Encode("Subject: " + kTesuto + "\r\n\r\n" + body);
    EXPECT_EQ(encoded, "Subject: " + kTesutoWord + "\r\n\r\n" + body);
}

TEST_F(EncodeHeader, PartHeadersBetweenDelimitersAreEncoded) {
    // A leaf part opened after a nested multipart closed, then a nested multipart header and
    // the header of its first part, as the sending control collects them in one turn.
    Bytes parts = "\r\n--inner--\r\n\r\n--outer\r\nContent-Type: text/plain;\r\n\tname=\"" +
                  kShiryo + ".txt\"\r\n\r\n";
    EXPECT_EQ(Encode(parts),
              "\r\n--inner--\r\n\r\n--outer\r\nContent-Type: text/plain;\r\n\tname=\"" +
                  kShiryoTxtWord + "\"\r\n\r\n");
    Bytes nested =
        "\r\n--outer\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"inner\"\r\n"
        "\r\n--inner\r\nContent-Description: " +
        kNihongo + "\r\n\r\n";
    EXPECT_EQ(Encode(nested),
              "\r\n--outer\r\nContent-Type: multipart/alternative;\r\n"
              "\tboundary=\"inner\"\r\n\r\n--inner\r\nContent-Description: " +
                  kNihongoWord + "\r\n\r\n");
}

TEST_F(EncodeHeader, BytesThatAreNotIso2022JpStayAsTheyAre) {
    Bytes header =
        "Subject: caf\xC3\xA9 \x1B"
        "x alone \x1B\r\n";
    EXPECT_EQ(Encode(header), header);
}

TEST_F(EncodeHeader, MalformedRunsStillGiveCompleteWords) {
    // A kanji run that never returns to ASCII is closed inside the word.
    EXPECT_EQ(Encode("Subject: \x1B$B%F%9%H"), "Subject: " + kTesutoWord);
    // Escape sequences with no character between them carry no text; the spaces stay.
    EXPECT_EQ(Encode("Subject: a \x1B$B\x1B(B b\r\n"), "Subject: a  b\r\n");
}

}  // namespace
}  // namespace zef
