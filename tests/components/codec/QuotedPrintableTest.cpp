#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "components/Codec.h"
#include "tests/components/codec/WireLines.h"

namespace zef {
namespace {

class QuotedPrintable : public ::testing::Test {
  protected:
    Bytes Encode(Bytes data) { return codec_->EncodeQuotedPrintable(data); }
    Bytes Decode(Bytes text) { return codec_->DecodeQuotedPrintable(text); }

    // As the receiving control decodes: each line without its CR LF, then with CR LF added.
    Bytes DecodeLineByLine(const Bytes& text) {
        Bytes decoded;
        for (const Bytes& line : Lines(text)) {
            decoded += Decode(line + "\r\n");
        }
        return decoded;
    }

    std::unique_ptr<Codec> codec_ = MakeCodec();
};

TEST_F(QuotedPrintable, EncodesWhatIsNotPlainPrintable) {
    EXPECT_EQ(Encode("a=b\r\n"), "a=3Db\r\n");
    EXPECT_EQ(Encode("caf\xE9\r\n"), "caf=E9\r\n");
    EXPECT_EQ(Encode(Bytes("nul\0", 4)), "nul=00=\r\n");
    EXPECT_EQ(Encode("plain text, 100% (ok)!\r\n"), "plain text, 100% (ok)!\r\n");
}

TEST_F(QuotedPrintable, CrLfIsALineBreakButLoneCrOrLfIsEncoded) {
    EXPECT_EQ(Encode("one\r\ntwo\r\n"), "one\r\ntwo\r\n");
    EXPECT_EQ(Encode("a\rb\nc\r\n"), "a=0Db=0Ac\r\n");
    EXPECT_EQ(Encode("\n\r\n"), "=0A\r\n");
    EXPECT_EQ(Encode("\r"), "=0D=\r\n");
    EXPECT_EQ(Encode("\r\n\r\n"), "\r\n\r\n");
}

TEST_F(QuotedPrintable, NoLineStartsWithDotOrEndsWithWhiteSpace) {
    EXPECT_EQ(Encode(".\r\n"), "=2E\r\n");
    EXPECT_EQ(Encode("a\r\n.b\r\nc.d\r\n"), "a\r\n=2Eb\r\nc.d\r\n");
    EXPECT_EQ(Encode("end \r\n"), "end=20\r\n");
    EXPECT_EQ(Encode("end\t\r\n"), "end=09\r\n");
    EXPECT_EQ(Encode("in between\r\n"), "in between\r\n");
    // Before a soft break white space is safe: the "=" ends the line.
    EXPECT_EQ(Encode("piece "), "piece =\r\n");
}

TEST_F(QuotedPrintable, PieceWithoutCrLfEndsWithSoftBreak) {
    EXPECT_EQ(Encode("abc"), "abc=\r\n");
    EXPECT_EQ(Encode(""), "");
    // Two pieces sent one after the other decode to the two pieces joined.
    Bytes wire = Encode("first half, ") + Encode("second half\r\n");
    EXPECT_EQ(wire, "first half, =\r\nsecond half\r\n");
    EXPECT_EQ(Decode(wire), "first half, second half\r\n");
}

TEST_F(QuotedPrintable, LinesAreAtMost76Characters) {
    Bytes exactly76(76, 'a');
    EXPECT_EQ(Encode(exactly76 + "\r\n"), exactly76 + "\r\n");
    EXPECT_EQ(Encode(Bytes(77, 'a') + "\r\n"), Bytes(75, 'a') + "=\r\naa\r\n");
    EXPECT_EQ(Encode(Bytes(80, 'a')), Bytes(75, 'a') + "=\r\n" + Bytes(5, 'a') + "=\r\n");
    // An escape is never cut by a soft break.
    EXPECT_EQ(Encode(Bytes(74, 'a') + "="), Bytes(74, 'a') + "=\r\n=3D=\r\n");
    // A dot pushed to the start of a line by a soft break is encoded as well.
    EXPECT_EQ(Encode(Bytes(75, 'a') + "."), Bytes(75, 'a') + "=\r\n=2E=\r\n");
}

// RFC 2045, section 6.7, rule 5: the soft line break example.
TEST_F(QuotedPrintable, Rfc2045SoftBreakExample) {
    Bytes wire =
        "Now's the time =\r\n"
        "for all folk to come=\r\n"
        " to the aid of their country.\r\n";
    EXPECT_EQ(DecodeLineByLine(wire),
              "Now's the time for all folk to come to the aid of their country.\r\n");
}

// Made with /usr/bin/python3: quopri.encodestring(src) with "\n" line ends, which are CR LF
// here on both sides; quopri.decodestring of it gives src back.
TEST_F(QuotedPrintable, DecodesPythonEncodedText) {
    Bytes wire =
        "Caf=E9 cr=E8me =3D 3 =E2=82=AC; trailing spaces  =20\r\n"
        "tab\tinside and tab at end=09\r\n"
        "A long line that goes on and on beyond the seventy-six character limit of q=\r\n"
        "uoted-printable text, with =FF and =00 bytes.\r\n"
        "last line without break";
    Bytes original = Bytes(
        "Caf\xE9 cr\xE8me = 3 \xE2\x82\xAC; trailing spaces   \r\n"
        "tab\tinside and tab at end\t\r\n"
        "A long line that goes on and on beyond the seventy-six character limit of "
        "quoted-printable text, with \xFF and \0 bytes.\r\n"
        "last line without break",
        209);
    EXPECT_EQ(Decode(wire), original);
    EXPECT_EQ(DecodeLineByLine(wire), original + "\r\n");
}

TEST_F(QuotedPrintable, DecodesReceivedLines) {
    EXPECT_EQ(Decode("abc=\r\n"), "abc");
    EXPECT_EQ(Decode("abc\r\n"), "abc\r\n");
    EXPECT_EQ(Decode("a=3Db\r\n"), "a=b\r\n");
    EXPECT_EQ(Decode("lower=3d=e9\r\n"), "lower=\xE9\r\n");
    EXPECT_EQ(Decode("\r\n"), "\r\n");
}

TEST_F(QuotedPrintable, TrailingWhiteSpaceIsRemoved) {
    EXPECT_EQ(Decode("abc \t \r\n"), "abc\r\n");
    EXPECT_EQ(Decode("abc= \t\r\n"), "abc");
    EXPECT_EQ(Decode("abc =\r\n"), "abc ");
}

TEST_F(QuotedPrintable, MalformedEscapesPassThroughLiterally) {
    EXPECT_EQ(Decode("a=ZZb\r\n"), "a=ZZb\r\n");
    EXPECT_EQ(Decode("a=4\r\n"), "a=4\r\n");
    EXPECT_EQ(Decode("a=\tb\r\n"), "a=\tb\r\n");
    EXPECT_EQ(Decode("==\r\n"), "=");
    EXPECT_EQ(Decode("bare\rcr\r\n"), "bare\rcr\r\n");
    EXPECT_EQ(Decode("=4"), "=4");
}

// Arbitrary pieces, rich in the bytes that need care, encoded one by one and decoded line by
// line as the receiving control does: the bytes come back, and every line is valid wire text.
TEST_F(QuotedPrintable, EncodedPiecesDecodeBackAndStayValidOnTheWire) {
    const Bytes interesting = Bytes("\r\n\r\n. .\t=a\xE9\xFF", 12) + Bytes(1, '\0');
    std::mt19937 random(20240229);
    std::uniform_int_distribution<int> pick(0, 9);
    std::uniform_int_distribution<int> length(0, 300);
    std::uniform_int_distribution<int> anyByte(0, 255);

    Bytes allPieces;
    Bytes wire;
    for (int round = 0; round < 2000; ++round) {
        Bytes piece;
        int size = length(random);
        for (int i = 0; i < size; ++i) {
            int choice = pick(random);
            piece += choice < 6   ? interesting[random() % interesting.size()]
                     : choice < 8 ? 'x'
                                  : static_cast<char>(anyByte(random));
        }
        Bytes encoded = Encode(piece);
        ASSERT_TRUE(encoded.empty() || encoded.ends_with("\r\n"));
        for (const Bytes& line : Lines(encoded)) {
            ASSERT_LE(line.size(), 76u) << line;
            ASSERT_FALSE(line.starts_with(".")) << line;
            ASSERT_FALSE(line.ends_with(" ") || line.ends_with("\t")) << line;
            for (char c : line) {
                ASSERT_TRUE(c == '\t' || (c >= 32 && c < 127)) << static_cast<int>(c);
            }
        }
        ASSERT_EQ(DecodeLineByLine(encoded), piece);
        allPieces += piece;
        wire += encoded;
    }
    EXPECT_EQ(DecodeLineByLine(wire), allPieces);
}

}  // namespace
}  // namespace zef
