#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "components/Codec.h"
#include "tests/components/codec/JapaneseSamples.h"

namespace zef {
namespace {

class DecodeHeader : public ::testing::Test {
  protected:
    Bytes Decode(Bytes header) { return codec_->DecodeHeader(header); }

    std::unique_ptr<Codec> codec_ = MakeCodec();
};

// RFC 2047, section 8: encoded words in comments and the white space between them. The
// results agree with /usr/bin/python3: str(email.header.make_header(decode_header(text))).
TEST_F(DecodeHeader, Rfc2047WhiteSpaceExamples) {
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=)"), "(a)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?= b)"), "(a b)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a_b?=)"), "(a b)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)"), "(a b)");
}

// RFC 2047, section 8: the example header fields. Expected: the parts of
// email.header.decode_header joined, each decoded from its charset, written as UTF-8.
TEST_F(DecodeHeader, Rfc2047ExampleFields) {
    EXPECT_EQ(Decode("From: =?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>"),
              "From: Keith Moore <moore@cs.utk.edu>");
    EXPECT_EQ(Decode("To: =?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>"),
              "To: Keld J\xC3\xB8rn Simonsen <keld@dkuug.dk>");
    EXPECT_EQ(Decode("CC: =?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>"),
              "CC: Andr\xC3\xA9 Pirard <PIRARD@vm1.ulg.ac.be>");
    EXPECT_EQ(Decode("Subject: =?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?=\r\n"
                     "    =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?="),
              "Subject: If you can read this you understand the example.");
}

// Made with /usr/bin/python3: email.header.Header(text, 'iso-2022-jp').encode(), folded lines
// joined with CR LF; the expected UTF-8 is text.encode('utf-8').
TEST_F(DecodeHeader, Iso2022JpWordsFromPython) {
    // 日本語の件名です
    EXPECT_EQ(Decode("Subject: =?iso-2022-jp?b?GyRCRnxLXDhsJE43b0w+JEckORsoQg==?="),
              "Subject: \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE4\xBB\xB6\xE5\x90\x8D"
              "\xE3\x81\xA7\xE3\x81\x99");
    // 吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。何でも薄暗いじめじめした
    // 所でニャーニャー泣いていた事だけは記憶している。
    Bytes folded =
        "=?iso-2022-jp?b?GyRCOGNHWiRPRy0kRyQiJGshI0w+QTAkTyReJEBMNSQkGyhC?=\r\n"
        " =?iso-2022-jp?b?GyRCISMkSSQzJEdAOCRsJD8kKyRIJHMkSDgrRXYkLCREJCskTCEjGyhC?=\r\n"
        " =?iso-2022-jp?b?GyRCMj8kRyRiR3YwRSQkJDgkYSQ4JGEkNyQ/PWokRyVLJWMhPCVLGyhC?=\r\n"
        " =?iso-2022-jp?b?GyRCJWMhPDVjJCQkRiQkJD87diRAJDEkTzUtMjEkNyRGJCQkayEjGyhC?=";
    EXPECT_EQ(Decode(folded), samples::kNovelUtf8);
}

TEST_F(DecodeHeader, CaseOfCharsetAndEncodingIsIgnored) {
    EXPECT_EQ(Decode("=?Utf-8?q?caf=C3=A9?= =?UTF-8?b?Y2Fmw6k=?="),
              "caf\xC3\xA9"
              "caf\xC3\xA9");
}

// あ (E3 81 82) cut after its second byte. Made with /usr/bin/python3: base64 of the two
// pieces; str(make_header(decode_header(text))) gives 'あ'.
TEST_F(DecodeHeader, CharacterSplitOverTwoWordsSurvives) {
    EXPECT_EQ(Decode("Subject: =?UTF-8?B?44E=?= =?UTF-8?B?gg==?= end"),
              "Subject: \xE3\x81\x82 end");
    EXPECT_EQ(Decode("=?iso-2022-jp?B?GyRCRnw=?= =?ISO-2022-JP?B?S1wbKEI=?="),
              "\xE6\x97\xA5\xE6\x9C\xAC");  // ESC $ B F| / K\ ESC ( B: 日本
}

TEST_F(DecodeHeader, RestOfTheLineComesBackUnchanged) {
    // A raw ISO-2022-JP run stays for the caller's own conversion.
    Bytes line = "Subject: \x1B$B%F%9%H\x1B(J =?UTF-8?Q?x?= tail  ";
    EXPECT_EQ(Decode(line), "Subject: \x1B$B%F%9%H\x1B(J x tail  ");
    EXPECT_EQ(Decode("No words here = ? at all"), "No words here = ? at all");
    EXPECT_EQ(Decode(""), "");
}

TEST_F(DecodeHeader, EqualsQuestionMarkInsideKanjiRunIsNotAWord) {
    // Inside the two-byte run these bytes are the kanji pairs "=?" "ut" "f-" "8?" "Q?" "ab" "?=".
    Bytes line = "Subject: \x1B$B=?utf-8?Q?ab?=\x1B(B";
    EXPECT_EQ(Decode(line), line);
}

TEST_F(DecodeHeader, UnknownCharsetLeavesTheWordAsItStood) {
    EXPECT_EQ(Decode("A =?x-no-such-charset?Q?abc?= =?UTF-8?Q?d?= B"),
              "A =?x-no-such-charset?Q?abc?= d B");
    EXPECT_EQ(Decode("=?UTF-8?Q?a?= =?x-no-such-charset?Q?b?=  =?x-no-such-charset?Q?c?="),
              "a =?x-no-such-charset?Q?b?=  =?x-no-such-charset?Q?c?=");
}

TEST_F(DecodeHeader, LanguageSuffixOfCharsetIsIgnored) {
    EXPECT_EQ(Decode("=?US-ASCII*EN?Q?Keith_Moore?="), "Keith Moore");
}

TEST_F(DecodeHeader, MalformedWordsHaveADefinedResult) {
    // Not encoded words: left as they are.
    EXPECT_EQ(Decode("=?UTF-8?X?abc?="), "=?UTF-8?X?abc?=");
    EXPECT_EQ(Decode("=??Q?abc?="), "=??Q?abc?=");
    EXPECT_EQ(Decode("=?UTF-8?Q?abc"), "=?UTF-8?Q?abc");
    EXPECT_EQ(Decode("=?UTF-8?Q?a b?="), "=?UTF-8?Q?a b?=");
    EXPECT_EQ(Decode("=?UTF-8?Q?"), "=?UTF-8?Q?");
    // Encoded words with bad content: decoded as far as it goes.
    EXPECT_EQ(Decode("=?UTF-8?Q?a=ZZ=4?="), "a=ZZ=4");
    EXPECT_EQ(Decode("=?UTF-8?B?Y!W*Jj?="), "abc");
    EXPECT_EQ(Decode("=?UTF-8?B?YWJjZA?="), "abcd");
    EXPECT_EQ(Decode("=?UTF-8?B?"
                     "?="),
              "");
    // Invalid UTF-8 bytes become U+FFFD, so the result is valid text.
    EXPECT_EQ(Decode("=?UTF-8?Q?=FF?="), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace zef
