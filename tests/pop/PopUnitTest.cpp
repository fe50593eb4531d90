// The routines under popZef's dialogue: header values, body decoding with the real converter
// and codec, and the parser's bound on nested multiparts.
#include <gtest/gtest.h>

#include "common/Error.h"
#include "common/Unicode.h"
#include "pop/BodyDecoder.h"
#include "pop/HeaderValue.h"
#include "pop/MessageParser.h"
#include "tests/support/ControlDriver.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

TEST(HeaderValue, TrimSplitUnquoteAndCase) {
    EXPECT_EQ(pop::TrimLeadingControls(u"\t \x7f\x01 a b "), u"a b ");
    EXPECT_EQ(pop::TrimLeadingControls(u" \t\x7f"), u"");
    EXPECT_EQ(pop::TrimLeadingControls(u"\u3042 x"), u"\u3042 x");
    struct Split {
        const char16_t* text;
        const char16_t* delimiter;
        long limit, pieces;
        std::vector<Text> fields;
    };
    const Split splits[] = {
        {u"text/plain; charset=\"a;b\"; name=x",
         u";",
         0,
         3,
         {u"text/plain", u" charset=\"a;b\"", u" name=x"}},
        {u"a=\"x\\\";y\";b", u";", 0, 2, {u"a=\"x\\\";y\"", u"b"}},  // \" inside quotes
        {u"a=b=c", u"=", 2, 2, {u"a", u"b"}},                        // the rest is dropped
        {u"a=b=c", u"=", 1, 1, {u"a=b=c"}},
        {u"a=b=c", u"=", -3, 3, {u"a", u"b", u"c"}},
        {u"", u";", 0, 1, {u""}},
        {u"a;", u";", 0, 2, {u"a", u""}},
        {u"\t a;b", u";;", 0, 1, {u"a;b"}},  // a delimiter of two is no delimiter
    };
    for (const Split& s : splits) {
        std::vector<Text> fields;
        long limit = s.limit;
        EXPECT_EQ(pop::SplitQuoted(s.text, s.delimiter, fields, limit), s.pieces) << U(s.text);
        fields.resize(static_cast<size_t>(s.pieces));
        EXPECT_EQ(fields, s.fields) << U(s.text);
        EXPECT_EQ(limit, s.limit < 0 ? 0 : s.limit) << U(s.text);
    }
    EXPECT_EQ(pop::Unquote(u"\"a\\\"b\""), u"a\"b");
    EXPECT_EQ(pop::Unquote(u"x\"y\"z"), u"xyz");
    EXPECT_EQ(pop::Unquote(u"\"a\\\\b\""), u"a\\b");
    EXPECT_EQ(pop::Unquote(u"a\\b"), u"a\\b");  // outside quotes a backslash is ordinary
    EXPECT_EQ(pop::Unquote(u"\"open"), u"open");
    const pop::Parameter charset = pop::SplitParameter(u" charset = \"iso-2022-jp\" ");
    EXPECT_EQ(charset.pieces, 2);
    EXPECT_EQ(charset.name, u"charset");
    EXPECT_EQ(charset.value, u"iso-2022-jp");
    EXPECT_EQ(pop::SplitParameter(u"boundary=\"a=b\"").value, u"a=b");
    const pop::Parameter flag = pop::SplitParameter(u"flag");
    EXPECT_EQ(flag.pieces, 1);
    EXPECT_EQ(flag.name, u"flag");
    EXPECT_EQ(flag.value, u"");
    EXPECT_EQ(pop::AsciiUpper(u"Content-Type\u017f"), u"CONTENT-TYPE\u017f");  // long s stays
    EXPECT_EQ(pop::AsciiLower(u"Multipart/MIXED"), u"multipart/mixed");
}

const std::string kHello = "こんにちは";

TEST(BodyDecoder, EveryTransferEncodingAndJapaneseEncodingWithTheRealComponents) {
    std::unique_ptr<Glyph> glyph = MakeGlyph();
    std::unique_ptr<Codec> codec = MakeCodec();
    pop::BodyDecoder decoder(*glyph, *codec);
    struct Case {
        const char16_t* encoding;
        bool text;
        std::string line, data;  // data: bytes, or UTF-8 for a text part
    };
    std::string all;
    for (int b = 0; b < 256; ++b) {
        if (b != '\n') {
            all.push_back(static_cast<char>(b));
        }
    }
    const Case cases[] = {
        {u"base64", false, "YWJj", "abc"},
        {u"BASE64", false, "AP8A/w==", std::string("\x00\xff\x00\xff", 4)},
        {u"quoted-printable", false, "abc=", "abc"},  // a soft break ends without CR LF
        {u"quoted-printable", false, "a=3Db", "a=b\r\n"},
        {u"Quoted-Printable", false, "=E6=97=A5", "\xe6\x97\xa5\r\n"},
        {u"8bit", false, all, all + "\r\n"},
        {u"binary", false, all, all + "\r\n"},
        {u"7bit", false, "", "\r\n"},
        {u"7bit", true, "abc", "abc\r\n"},
        {u"7bit", true, "\x1b$B$3$s$K$A$O\x1b(B", kHello + "\r\n"},
        {u"8bit", true, "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd", kHello + "\r\n"},
        {u"8bit", true, "\xa4\xb3\xa4\xf3\xa4\xcb\xa4\xc1\xa4\xcf", kHello + "\r\n"},
        {u"8bit", true, kHello, kHello + "\r\n"},
        {u"base64", true, "GyRCJDMkcyRLJEEkTxsoQg0K", kHello + "\r\n"},
        {u"quoted-printable", true, "=E3=81=93=E3=82=93=E3=81=AB=E3=81=A1=E3=81=AF",
         kHello + "\r\n"},
    };
    for (const Case& c : cases) {
        decoder.BeginPart(c.encoding, c.text);
        const Bytes data = decoder.DecodeLine(c.line);
        EXPECT_EQ(c.text ? U(Utf16LeToText(data)) : data, c.data) << Escaped(c.line);
    }
    // A character split across two lines waits for its second half.
    decoder.BeginPart(u"base64", true);
    EXPECT_EQ(decoder.DecodeLine("44E="), "");
    EXPECT_EQ(Utf16LeToText(decoder.DecodeLine("gg==")), u"\u3042");
    // UTF-8 goes straight to UTF-16LE: ASCII runs around the fast path's eight bytes,
    // characters of two, three and four bytes at every offset.
    for (size_t lead = 0; lead < 10; ++lead) {
        const std::string line = std::string(lead, 'x') +
                                 "acaf\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80" + "0123456789abcdef";
        decoder.BeginPart(u"8bit", true);
        EXPECT_EQ(U(Utf16LeToText(decoder.DecodeLine(line))), line + "\r\n") << lead;
    }
}

// Every multipart stays open until its end: the message's own and 999 nested in it are read,
// one more ends the transfer and the message stays on the server.
TEST(MessageParser, MultipartsNestedBeyondTheLimitEndTheTransfer) {
    for (const long nested : {999L, 1000L}) {
        PopDriver d;
        d.answers = {{"UidlFirst", true}, {"TopFirst", true}};
        d.Start();
        std::string message =
            "+OK\r\n+OK\r\n+OK\r\n+OK 1 9\r\n+OK 1 9\r\n+OK\r\n"
            "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
        for (long depth = 1; depth <= nested; ++depth) {
            message += "--b" + std::to_string(depth - 1) +
                       "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(depth) +
                       "\r\n\r\n";
        }
        d.wire->Deliver(message + ".\r\n");
        d.wire->RaiseClosed();
        EXPECT_EQ(d.log.back(),
                  nested < pop::MessageParser::kMaxOpenMultiparts
                      ? "= Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT)"
                      : "= Done -1 MULTIPART NESTED TOO DEEPLY | DONE(FAIL)");
        EXPECT_EQ(d.wire->sent.find("DELE 1") != Bytes::npos, nested < 1000) << nested;
    }
}

}  // namespace
}  // namespace zef::test
