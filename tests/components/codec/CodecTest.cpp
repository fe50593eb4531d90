// The MIME codec, with vectors from the RFCs and /usr/bin/python3 (base64, quopri, email.header).
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <regex>

#include "components/Codec.h"
#include "components/codec/MimeParameters.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

using Row = std::pair<Bytes, Bytes>;  // input, expected output

class CodecTest : public ::testing::Test {
  protected:
    // Each operation through its returning form and its buffer form, which must agree; the
    // buffer forms append to (AppendBase64) or replace (the decoders) what the buffer held.
    Bytes Encode64(Bytes data) {
        Bytes out = "kept";
        codec_->AppendBase64(data, out);
        EXPECT_EQ(out, "kept" + codec_->EncodeBase64(data));
        return out.substr(4);
    }
    Bytes Decode(Bytes text, bool base64) {
        Bytes out = "left over from an earlier line, longer than this one";
        base64 ? codec_->DecodeBase64Into(text, out) : codec_->DecodeQuotedPrintableInto(text, out);
        EXPECT_EQ(base64 ? codec_->DecodeBase64(text) : codec_->DecodeQuotedPrintable(text), out);
        return out;
    }
    Bytes EncodeQp(Bytes data) { return codec_->EncodeQuotedPrintable(data); }
    Bytes EncodeHeader(Bytes header) { return codec_->EncodeHeader(header); }
    Bytes DecodeHeader(Bytes header) { return codec_->DecodeHeader(header); }

    std::unique_ptr<Codec> codec_ = MakeCodec();
};

// RFC 4648, section 10, and every byte value (python3: b64encode(bytes(range(256)))); decoding
// skips what is not in the alphabet, stops at "=", and keeps the whole bytes of a cut group.
TEST_F(CodecTest, Base64Vectors) {
    Bytes allBytes(256, '\0');
    std::iota(allBytes.begin(), allBytes.end(), '\0');
    const Bytes all =
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BB"
        "QkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKD"
        "hIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TF"
        "xsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==";
    // clang-format off
    const Row both[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {allBytes, all}};
    const Row decodes[] = {
        {"Zm9v\r\n", "foo"},          {"  Zm 9v\tYmFy  ", "foobar"}, {"Zm9v!Yg*==", "foob"},
        {"\x80\xFFZm8=\x01", "fo"},   {"Zg==Zm9v", "f"},             {"Zm9v=Zm9v", "foo"},
        {"====", ""},                 {"Zm9vYg", "foob"},            {"Zm9vYmE", "fooba"},
        {"Zm9vY", "foo"},             {"Z", ""}};
    // clang-format on
    for (const auto& [data, text] : both) {
        EXPECT_EQ(Encode64(data), text);
        EXPECT_EQ(Decode(text, true), data);
    }
    for (const auto& [text, data] : decodes) {
        EXPECT_EQ(Decode(text, true), data) << Escaped(text);
    }
    // Whole groups take the fast paths (32 or 4 characters at a time); a character outside the
    // alphabet anywhere sends its block to the careful path.
    std::mt19937 random(20240611);
    for (size_t size : {57, 96, 750}) {
        Bytes data(size, '\0');
        std::ranges::generate(data, [&] { return static_cast<char>(random()); });
        const Bytes text = Encode64(data);
        for (size_t at = 0; at <= text.size(); at += size > 100 ? 13 : 1) {
            for (const char* foreign : {" ", "\t", "\r\n", "-", "\x80", "*~", "="}) {
                Bytes spoiled = text;
                spoiled.insert(at, foreign);
                ASSERT_EQ(Decode(spoiled, true),
                          *foreign == '=' ? data.substr(0, at * 3 / 4) : data)
                    << Escaped(foreign) << " at " << at << " of " << size;
            }
        }
    }
}

// RFC 2045, section 6.7: at most 76 characters a line, soft breaks, no blank at a line's end,
// and (for SMTP) no "." at its start; a piece without CR LF ends in a soft break.
TEST_F(CodecTest, QuotedPrintableVectors) {
    const Bytes a74(74, 'a'), a75(75, 'a');
    const Bytes nul("nul\0", 4);
    // clang-format off
    const Row rows[] = {
        {"a=b\r\n", "a=3Db\r\n"},    {"caf\xE9\r\n", "caf=E9\r\n"},   {nul, "nul=00=\r\n"},
        {"\n\r\n", "=0A\r\n"},       {"a\rb\nc\r\n", "a=0Db=0Ac\r\n"}, {"\r", "=0D=\r\n"},
        {"end \r\n", "end=20\r\n"},  {"end\t\r\n", "end=09\r\n"},      {"abc", "abc=\r\n"},
        {"piece ", "piece =\r\n"},   {"", ""},  {"(ok) 100%!\r\n\r\n", "(ok) 100%!\r\n\r\n"},
        {"a\r\n.b\r\nc.d\r\n", "a\r\n=2Eb\r\nc.d\r\n"},     {a75 + "a\r\n", a75 + "a\r\n"},
        {a75 + "aa\r\n", a75 + "=\r\naa\r\n"},             {a75 + "aaa", a75 + "=\r\naaa=\r\n"},
        {a74 + "=", a74 + "=\r\n=3D=\r\n"},               {a75 + ".", a75 + "=\r\n=2E=\r\n"}};
    // clang-format on
    for (const auto& [data, wire] : rows) {
        EXPECT_EQ(EncodeQp(data), wire) << Escaped(data);
    }
    // Decoding: soft breaks and trailing blanks go, malformed escapes stay; RFC 2045, section
    // 6.7, rule 5; python3's quopri.encodestring(src), with "\n" as CR LF.
    // clang-format off
    const Row decodes[] = {
        {"abc=\r\n", "abc"},          {"abc\r\n", "abc\r\n"},    {"\r\n", "\r\n"},
        {"abc \t \r\n", "abc\r\n"},   {"abc= \t\r\n", "abc"},    {"abc =\r\n", "abc "},
        {"a=\tb\r\n", "a=\tb\r\n"},   {"==\r\n", "="},           {"=4", "=4"},
        {"=e9=3d", "\xE9="},          {"a=ZZb=4\r\n", "a=ZZb=4\r\n"}, {"a\rb\r\n", "a\rb\r\n"},
        {"Now's the time =\r\nfor all folk to come=\r\n to the aid of their country.\r\n",
         "Now's the time for all folk to come to the aid of their country.\r\n"},
        {"Caf=E9 cr=E8me =3D 3 =E2=82=AC; trailing spaces  =20\r\ntab\tinside and tab at end=09\r\n"
         "A long line that goes on and on beyond the seventy-six character limit of q=\r\n"
         "uoted-printable text, with =FF and =00 bytes.\r\nlast line without break",
         Bytes("Caf\xE9 cr\xE8me = 3 \xE2\x82\xAC; trailing spaces   \r\ntab\tinside and tab at end"
               "\t\r\nA long line that goes on and on beyond the seventy-six character limit of "
               "quoted-printable text, with \xFF and \0 bytes.\r\nlast line without break", 209)}};
    // clang-format on
    for (const auto& [wire, data] : decodes) {
        EXPECT_EQ(Decode(wire, false), data) << Escaped(wire);
    }
}

// Arbitrary pieces encoded one by one are valid wire text that decodes to the bytes again.
TEST_F(CodecTest, QuotedPrintablePiecesStayValidAndDecodeBack) {
    const Bytes interesting = Bytes("\r\n\r\n. .\t=a\xE9\xFF\0", 13);
    std::mt19937 random(20240229);
    const std::regex valid(R"((?!\.)[\t -~]{0,75}[!-~]|)");  // no "." first, no blank last
    Bytes allPieces;
    Bytes wire;
    for (int round = 0; round < 1000; ++round) {
        Bytes piece;
        for (auto size = random() % 300; size > 0; --size) {
            const auto choice = random() % 10;
            piece += choice < 6   ? interesting[random() % interesting.size()]
                     : choice < 8 ? 'x'
                                  : static_cast<char>(random());
        }
        const Bytes encoded = EncodeQp(piece);
        ASSERT_TRUE(encoded.empty() || encoded.ends_with("\r\n"));
        for (const Bytes& line : Lines(encoded)) {
            ASSERT_TRUE(std::regex_match(line, valid)) << Escaped(line);
        }
        ASSERT_EQ(Decode(encoded, false), piece) << Escaped(piece);
        allPieces += piece;
        wire += encoded;
    }
    EXPECT_EQ(Decode(wire, false), allPieces);
}

// python3: '=?ISO-2022-JP?B?' + b64encode(text.encode('iso-2022-jp')) + '?='. A Subject word is
// encoded whole; in other fields specials, quotes and addresses stay outside the words.
TEST_F(CodecTest, EncodeHeader) {
    const Bytes nihongo = "\x1B$BF|K\\8l\x1B(B", nihongoWord = "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=";
    const Bytes tesuto = "\x1B$B%F%9%H\x1B(B", tesutoWord = "=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=";
    const Bytes yamada = "\x1B$B;3ED\x1B(B";  // 山田 (holds ";")
    const Bytes ascii =
        "From: \"Taro Yamada\" <taro@example.jp>\r\nTo: a@example.jp, b@ex.jp\r\n"
        "Subject: Hello world\r\nX-Note:\tfolded\r\n continuation\r\n\r\n";
    const Bytes shiryo = "Content-Type: text/plain;\r\n\tname=\"\x1B$B;qNA\x1B(B.txt\"\r\n";
    const Bytes shiryoWord =
        "Content-Type: text/plain;\r\n\tname=\"=?ISO-2022-JP?B?GyRCO3FOQRsoQi50eHQ=?=\"\r\n";
    const Bytes body = tesuto + " body\r\n--not-a-part\r\nSubject: " + tesuto + "\r\n\r\n";
    const Bytes parts = "\r\n--inner--\r\n\r\n--outer\r\n";  // a part after a nested multipart
    const Bytes nested =
        "\r\n--outer\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"inner\""
        "\r\n\r\n--inner\r\nContent-Description: ";
    const Bytes longAddress = "To: " + Bytes(90, 'a') + "@example.jp\r\n";  // stays whole
    // clang-format off
    const Row rows[] = {
        {ascii, ascii},
        {"Subject: " + nihongo + "\r\n", "Subject: " + nihongoWord + "\r\n"},
        {"Subject: Re: " + tesuto + " mail\r\n", "Subject: Re: " + tesutoWord + " mail\r\n"},
        // The space between two Japanese words goes inside the word, where it survives.
        {"Subject: " + yamada + " \x1B$BB@O:\x1B(B\r\n",
         "Subject: =?ISO-2022-JP?B?GyRCOzNFRBsoQiAbJEJCQE86GyhC?=\r\n"},
        // Kanji bytes that read as ";" or a quote are no specials, on a line or its continuation.
        {"To: " + yamada + " <y@example.jp>,\r\n \"\x1B$B%\"%$%&\x1B(B\" <a@example.jp>\r\n",
         "To: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <y@example.jp>,\r\n "
         "\"=?ISO-2022-JP?B?GyRCJSIlJCUmGyhC?=\" <a@example.jp>\r\n"},
        {shiryo, shiryoWord},
        // The words return with the designation the input uses (ESC ( J here).
        {"Subject: \x1B$BF|K\\8l\x1B(J\r\n", "Subject: =?ISO-2022-JP?B?GyRCRnxLXDhsGyhK?=\r\n"},
        {"Subject: word0 word1 word2 word3 word4 word5 word6 word7 word8 word9 word10 word11 word12"
         " word13 word14 word15 word16 word17 word18 word19\r\n" + longAddress,
         "Subject: word0 word1 word2 word3 word4 word5 word6 word7 word8 word9 word10\r\n"
         " word11 word12 word13 word14 word15 word16 word17 word18 word19\r\n" + longAddress},
        // The body after the header is never touched; part headers after delimiters are.
        {"Subject: " + tesuto + "\r\n\r\n" + body, "Subject: " + tesutoWord + "\r\n\r\n" + body},
        {parts + shiryo + "\r\n", parts + shiryoWord + "\r\n"},
        {nested + nihongo + "\r\n\r\n", nested + nihongoWord + "\r\n\r\n"},
        // Bytes that are not ISO-2022-JP stay; a run that never returns to ASCII is closed in
        // its word; escape sequences with no character between them carry no text.
        {"Subject: caf\xC3\xA9 \x1B" "x \x1B\r\n", "Subject: caf\xC3\xA9 \x1B" "x \x1B\r\n"},
        {"Subject: \x1B$B%F%9%H", "Subject: " + tesutoWord},
        {"Subject: a \x1B$B\x1B(B b\r\n", "Subject: a  b\r\n"}};
    // clang-format on
    for (const auto& [header, encoded] : rows) {
        EXPECT_EQ(EncodeHeader(header), encoded) << Escaped(header);
    }
    // A long subject: words of whole characters, each at most 75 characters and complete, the
    // lines filled up to the column FoldLines selects (0: none; 1 (default), -1 ("True") and
    // values out of 40..998: 78).
    const Bytes subject =
        "Subject: \x1B$BF|K\\8lF|K\\8lF|K\\8lF|K\\8lF|K\\8lF|K\\8lF|K\\8l"
        "F|K\\8lF|K\\8lF|K\\8lF|K\\8lF|K\\8lF|K\\8lF|K\\8l\x1B(B\r\n";
    const std::string text =
        "Subject: "
        "日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語\r\n";
    const std::regex word(R"(=\?ISO-2022-JP\?B\?([A-Za-z0-9+/=]*)\?=)");
    // clang-format off
    for (const auto& [mode, column] : {std::pair{1L, 78U}, {-1L, 78U}, {5L, 78U}, {39L, 78U},
                                       {40L, 40U}, {60L, 60U}, {998L, 0U}, {0L, 0U}}) {
        // clang-format on
        codec_->FoldLines(mode);
        const Bytes encoded = EncodeHeader(subject);
        const std::vector<Bytes> lines = Lines(encoded);
        const size_t longest =
            std::ranges::max(lines, {}, [](const Bytes& l) { return l.size(); }).size();
        EXPECT_TRUE(column == 0 ? lines.size() == 1 : longest <= column && longest > column - 8)
            << mode << ": " << encoded;
        size_t words = 0;
        for (std::sregex_iterator it(encoded.begin(), encoded.end(), word), end; it != end; ++it) {
            Bytes base64 = (*it)[1];
            const Bytes payload = codec_->DecodeBase64(base64);
            EXPECT_TRUE(it->length() <= 75 && payload.starts_with("\x1B$B") &&
                        payload.ends_with("\x1B(B") && payload.size() % 2 == 0)
                << mode << ": " << Escaped(payload);
            ++words;
        }
        EXPECT_GT(words, 2U);
        EXPECT_EQ(DecodeHeader(std::regex_replace(encoded, std::regex("\r\n "), " ")), text);
    }
}

// RFC 2047, section 8 (as python3's str(make_header(decode_header(text))) reads them), python3's
// ISO-2022-JP words; what is no encoded word, or one of an unknown charset, stays as it stood.
TEST_F(CodecTest, DecodeHeaderVectors) {
    // clang-format off
    const Row rows[] = {
        {"(=?ISO-8859-1?Q?a?=)", "(a)"},     {"(=?ISO-8859-1?Q?a?= b)", "(a b)"},
        {"(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)", "(ab)"},
        {"(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)", "(ab)"},
        {"(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)", "(ab)"},
        {"(=?ISO-8859-1?Q?a_b?=)", "(a b)"}, {"(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)", "(a b)"},
        {"From: =?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>",
         "From: Keith Moore <moore@cs.utk.edu>"},
        {"To: =?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>",
         "To: Keld J\xC3\xB8rn Simonsen <keld@dkuug.dk>"},
        {"CC: =?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>",
         "CC: Andr\xC3\xA9 Pirard <PIRARD@vm1.ulg.ac.be>"},
        {"Subject: =?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?=\r\n"
         "    =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=",
         "Subject: If you can read this you understand the example."},
        {"=?US-ASCII*EN?Q?Keith_Moore?=", "Keith Moore"},  // RFC 2231 language suffix
        // email.header.Header('日本語の件名です', 'iso-2022-jp').encode()
        {"=?iso-2022-jp?b?GyRCRnxLXDhsJE43b0w+JEckORsoQg==?=", "日本語の件名です"},
        {"=?Utf-8?q?caf=C3=A9?= =?UTF-8?b?Y2Fmw6k=?=", "cafécafé"},
        // A character cut over two words of one charset survives.
        {"Subject: =?UTF-8?B?44E=?= =?UTF-8?B?gg==?= end", "Subject: あ end"},
        {"=?iso-2022-jp?B?GyRCRnw=?= =?ISO-2022-JP?B?S1wbKEI=?=", "日本"},
        // A raw ISO-2022-JP run stays for the caller; inside it "=?" is a kanji, not a word.
        {"Subject: \x1B$B%F%9%H\x1B(J =?UTF-8?Q?x?= tail ", "Subject: \x1B$B%F%9%H\x1B(J x tail "},
        {"Subject: \x1B$B=?utf-8?Q?ab?=\x1B(B", "Subject: \x1B$B=?utf-8?Q?ab?=\x1B(B"},
        {"No words here = ? at all", "No words here = ? at all"}, {"", ""},
        {"A =?x-no-such-charset?Q?abc?= =?UTF-8?Q?d?= B", "A =?x-no-such-charset?Q?abc?= d B"},
        {"=?UTF-8?Q?a?= =?x-no-such-charset?Q?b?=  =?x-no-such-charset?Q?c?=",
         "a =?x-no-such-charset?Q?b?=  =?x-no-such-charset?Q?c?="},
        // Malformed words stay; words with bad content decode as far as they go, invalid UTF-8
        // as U+FFFD.
        {"=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="}, {"=??Q?abc?=", "=??Q?abc?="},
        {"=?UTF-8?Q?abc", "=?UTF-8?Q?abc"},     {"=?UTF-8?Q?a b?=", "=?UTF-8?Q?a b?="},
        {"=?UTF-8?Q?a=ZZ=4?=", "a=ZZ=4"},       {"=?UTF-8?B?Y!W*Jj?=", "abc"},
        {"=?UTF-8?Q?=FF?=", "\uFFFD"}};
    // clang-format on
    for (const auto& [header, text] : rows) {
        EXPECT_EQ(DecodeHeader(header), text) << Escaped(header);
    }
}

// A parameter as mail programs write it (python3: email.message_from_string(...,
// policy=email.policy.default).get_filename() where it reads one); "(none)" when absent.
TEST(MimeParameter, Rfc2231AndEncodedWordsToUtf8) {
    // clang-format off
    const Row rows[] = {
        {"attachment; filename*=UTF-8''%E8%AD%B0%E4%BA%8B.pdf", "議事.pdf"},
        {"attachment; filename*=ISO-2022-JP'ja'%1B%24B5D%3BvO%3F%1B%28B.txt", "議事録.txt"},
        {"attachment;filename*2*=%B2.txt;filename*1*=%E4%BA%8B%E9%8C;filename*0*=utf-8'en'%E8%AD%B0",
         "議事録.txt"},
        {"inline; filename*0=\"long \"; filename*1=name.txt; size=3", "long name.txt"},
        {"attachment; filename*0=a; filename*2=c", "a"},  // the value ends at a missing section
        {"attachment; filename*=\"utf-8''%E6%97%A5%E6%9C%AC.txt\"", "日本.txt"},
        {"a; filename*0*=\"utf-8''%E6%97%A5\"; filename*1*=\"%E6%9C%AC\"", "日本"},
        // the plain form stands for a missing section 0; "filenameX1" is another parameter
        {"a; filename*1=b.txt; filename=\"plain\"", "plainb.txt"},
        {"a; filename=plain.txt; filenameX1=b", "plain.txt"},
        {"attachment; filename=\"=?Shift_JIS?B?i2OOlphe?=.doc\"", "議事録.doc"},
        {"attachment; filename=\"=?EUC-JP?B?tcS79s+/?=\"; size=10", "議事録"},
        {"attachment; FILENAME=\"x y.pdf\"", "x y.pdf"},
        // The RFC 2231 form carries the whole name and wins (Python takes the first form).
        {"attachment; filename=\"plain.txt\"; filename*=UTF-8''ext.txt", "ext.txt"},
        {"attachment; filename=\"a;b \\\"c\\\".txt\"; x=\"", "a;b \"c\".txt"},
        {"attachment; filename*=x-no-such''%C3%A9%zz%2", "é%zz%2"},
        {"attachment; filename=\xE5\xA0\xB1.txt", "\xE5\xA0\xB1.txt"},
        {"attachment; filenames=x; name=y", "(none)"}, {"filename=x", "(none)"}, {"", "(none)"}};
    // clang-format on
    for (const auto& [value, name] : rows) {
        EXPECT_EQ(codec::MimeParameter(value, "filename").value_or("(none)"), name) << value;
    }
}

}  // namespace
}  // namespace zef::test
