// Where bytes matter: body decoding, header decoding and Japanese text with the real
// converter and codec, in the parser and through the whole dialogue.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Unicode.h"
#include "pop/BodyDecoder.h"
#include "pop/MessageParser.h"
#include "tests/pop/PopTestDoubles.h"

namespace zef::testing {
namespace {

const Text kHello = u"\u3053\u3093\u306b\u3061\u306f";  // konnichiwa in hiragana
const std::string kHelloJis = "\x1b$B$3$s$K$A$O\x1b(B";
const std::string kHelloSjis = "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd";
const std::string kHelloEuc = "\xa4\xb3\xa4\xf3\xa4\xcb\xa4\xc1\xa4\xcf";
const std::string kHelloUtf8 = "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf";

class RealBodyDecoding : public ::testing::Test {
  protected:
    std::unique_ptr<Glyph> glyph = MakeGlyph();
    std::unique_ptr<Codec> codec = MakeCodec();
    pop::BodyDecoder decoder{*glyph, *codec};

    Bytes Bytes1(const std::string& encoding, const std::string& line) {
        decoder.BeginPart(AsciiToText(encoding), false);
        return decoder.DecodeLine(line);
    }
    Text Text1(const std::string& encoding, const std::string& line) {
        decoder.BeginPart(AsciiToText(encoding), true);
        return Utf16LeToText(decoder.DecodeLine(line));
    }
};

TEST_F(RealBodyDecoding, Base64BytesHaveNoLineEnd) {
    EXPECT_EQ(Bytes1("base64", "YWJj"), "abc");
    EXPECT_EQ(Bytes1("BASE64", "AP8A/w=="), std::string("\x00\xff\x00\xff", 4));
}

TEST_F(RealBodyDecoding, QuotedPrintableKeepsHardAndDropsSoftLineBreaks) {
    EXPECT_EQ(Bytes1("quoted-printable", "abc="), "abc");
    EXPECT_EQ(Bytes1("quoted-printable", "abc"), "abc\r\n");
    EXPECT_EQ(Bytes1("quoted-printable", "a=3Db"), "a=b\r\n");
    EXPECT_EQ(Bytes1("Quoted-Printable", "=E6=97=A5=E6=9C=AC"), "\xe6\x97\xa5\xe6\x9c\xac\r\n");
}

TEST_F(RealBodyDecoding, SevenBitTextIsTenBytesForAbc) {
    decoder.BeginPart(u"7bit", true);
    EXPECT_EQ(decoder.DecodeLine("abc"), Bytes("a\0b\0c\0\r\0\n\0", 10));
    EXPECT_EQ(Bytes1("7bit", ""), "\r\n");
}

TEST_F(RealBodyDecoding, JapaneseTextInEveryEncodingIsReadable) {
    EXPECT_EQ(Text1("7bit", kHelloJis), kHello + u"\r\n");
    EXPECT_EQ(Text1("8bit", kHelloSjis), kHello + u"\r\n");
    EXPECT_EQ(Text1("8bit", kHelloEuc), kHello + u"\r\n");
    EXPECT_EQ(Text1("8bit", kHelloUtf8), kHello + u"\r\n");
    EXPECT_EQ(Text1("base64", "GyRCJDMkcyRLJEEkTxsoQg0K"), kHello + u"\r\n");
    EXPECT_EQ(Text1("quoted-printable", "=E3=81=93=E3=82=93=E3=81=AB=E3=81=A1=E3=81=AF"),
              kHello + u"\r\n");
}

TEST_F(RealBodyDecoding, CharacterSplitAcrossLinesWaitsInTheTextBuffer) {
    decoder.BeginPart(u"base64", true);
    EXPECT_EQ(Utf16LeToText(decoder.DecodeLine("44E=")), u"");  // two of the three bytes
    EXPECT_EQ(Utf16LeToText(decoder.DecodeLine("gg==")), u"\u3042");
}

// UTF-8 text goes straight to UTF-16LE: ASCII runs longer and shorter than the eight-byte
// fast path, characters of two, three and four bytes (a surrogate pair) at every offset.
TEST_F(RealBodyDecoding, Utf8TextOfEveryLengthReachesUtf16Intact) {
    const std::string pieces[] = {"a", "caf\xc3\xa9", "\xe3\x81\x82", "\xf0\x9f\x98\x80",
                                  "0123456789abcdef"};
    const Text expected[] = {u"a", u"caf\u00e9", u"\u3042", u"\U0001F600", u"0123456789abcdef"};
    for (size_t lead = 0; lead < 10; ++lead) {
        std::string line(lead, 'x');
        Text text(lead, u'x');
        for (size_t i = 0; i < std::size(pieces); ++i) {
            line += pieces[i];
            text += expected[i];
        }
        EXPECT_EQ(Text1("8bit", line), text + u"\r\n") << "lead " << lead;
    }
}

TEST_F(RealBodyDecoding, EightBitBytesPassByteExact) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        if (b != '\n') {
            all.push_back(static_cast<char>(b));
        }
    }
    EXPECT_EQ(Bytes1("8bit", all), all + "\r\n");
    EXPECT_EQ(Bytes1("binary", all), all + "\r\n");
}

TEST(RealHeaderDecoding, EncodedWordsAndRawJapaneseBecomeText) {
    std::unique_ptr<Glyph> glyph = MakeGlyph();
    std::unique_ptr<Codec> codec = MakeCodec();
    EventRecorder events;
    pop::MessageParser parser(*glyph, *codec, events);
    bool flag = false;
    parser.BeginMessage(1, 1, flag);
    for (const std::string& line :
         {std::string("Subject: =?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?="),
          std::string("X-Utf8: =?UTF-8?B?44GT44KT44Gr44Gh44Gv?= !"), "X-Raw: " + kHelloJis,
          "X-Sjis: " + kHelloSjis, std::string("")}) {
        parser.ParseMessageLine(1, line);
    }
    const std::string hello = TextToUtf8(kHello);
    ASSERT_GE(events.log.size(), 6u);
    EXPECT_EQ(events.log[2], "MailHeadNext 1 [Subject] [" + hello + "]");
    EXPECT_EQ(events.log[3], "MailHeadNext 1 [X-Utf8] [" + hello + " !]");
    EXPECT_EQ(events.log[4], "MailHeadNext 1 [X-Raw] [" + hello + "]");
    EXPECT_EQ(events.log[5], "MailHeadNext 1 [X-Sjis] [" + hello + "]");
}

// --- through the whole dialogue ---

class RealDialogue : public ::testing::Test {
  protected:
    PopHarness h{PopHarness::Options{true, true}};
    std::vector<Bytes> data;

    // Retrieves one message made of `message` (lines with CR LF, dot-stuffed by the caller).
    void Retrieve(const std::string& message) {
        h.control->UidlFirst = [](long, bool& cancel) { cancel = true; };
        h.control->TopFirst = [](long, bool& cancel) { cancel = true; };
        h.control->MimeDataNext = [this](long, long, Bytes& bytes) { data.push_back(bytes); };
        h.LogIn();
        h.Receive("+OK 1 100\r\n+OK 1 100\r\n+OK\r\n" + message + ".\r\n");
        EXPECT_EQ(h.Sent(), "LIST 1\r\nRETR 1\r\nDELE 1\r\n");
    }
};

TEST_F(RealDialogue, EightBitPartArrivesByteExact) {
    h.isText = false;
    const std::string raw("\x00\x01\x80\xff\xfe\r\x1b$B\x93\xfa", 11);
    Retrieve("Content-Transfer-Encoding: 8bit\r\n\r\n" + raw + "\r\n..\r\n");
    EXPECT_EQ(data, (std::vector<Bytes>{raw + "\r\n", ".\r\n"}));
}

TEST_F(RealDialogue, Iso2022JpTextPartIsReadable) {
    Retrieve("Content-Type: text/plain; charset=iso-2022-jp\r\n\r\n" + kHelloJis + "\r\n");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(Utf16LeToText(data[0]), kHello + u"\r\n");
}

TEST_F(RealDialogue, TopLinesAndRepliesAreConvertedText) {
    std::vector<Text> lines;
    h.control->TopNext = [&lines](long, const Text& line) { lines.push_back(line); };
    h.LogIn();
    h.Receive("+OK 1 10\r\n+OK 1 10\r\n+OK 1 u\r\n+OK\r\nSubject: " + kHelloJis + "\r\n" +
              kHelloSjis + "\r\n.\r\n");
    EXPECT_EQ(lines, (std::vector<Text>{u"Subject: " + kHello, kHello}));
}

TEST(RealAny2Unicode, ReadsAnyJapaneseEncoding) {
    PopHarness h{PopHarness::Options{true, true}};
    EXPECT_EQ(h.control->Any2Unicode(kHelloSjis), kHello);
    EXPECT_EQ(h.control->Any2Unicode(kHelloJis), kHello);
    EXPECT_EQ(h.control->Any2Unicode(kHelloUtf8), kHello);
    EXPECT_EQ(h.control->Any2Unicode("plain"), u"plain");
}

}  // namespace
}  // namespace zef::testing
