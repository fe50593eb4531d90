#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/Unicode.h"
#include "components/CodePage.h"
#include "components/Glyph.h"
#include "tests/components/glyph/JapaneseLetter.h"

namespace zef {
namespace {

// The ISO-2022-JP forms mailers write for "①㈱髙〜ｶﾀ": NEC row 13 (0x2D21, 0x2D6A),
// NEC-selected IBM row 92 (0x7C62), 0x2141, and half-width katakana after ESC ( I.
const Bytes kExtendedJis = "\x1B$B-!-j|b!A\x1B(I6@\x1B(B";

class AnyToAnsiTest : public ::testing::Test {
  protected:
    void TearDown() override { SetHostCodePage("UTF-8"); }

    Bytes Convert(Bytes bytes) {
        Bytes out = glyph->AnyToAnsi(bytes);
        EXPECT_TRUE(bytes.empty());
        return out;
    }

    std::unique_ptr<Glyph> glyph = MakeGlyph();
};

const Bytes* const kLetters[] = {&test::kLetterUtf8, &test::kLetterIso2022Jp, &test::kLetterCp932,
                                 &test::kLetterEucJp};

TEST_F(AnyToAnsiTest, RecognisesEachEncodingOfALetter) {
    for (const Bytes* letter : kLetters) {
        glyph = MakeGlyph();
        EXPECT_EQ(Convert(*letter), test::kLetterUtf8) << *letter;
    }
    EXPECT_EQ(Convert("Dear all,\r\n"), "Dear all,\r\n");
}

TEST_F(AnyToAnsiTest, WritesTheCodePageOfTheHost) {
    SetHostCodePage("utf8");  // any name of UTF-8: 0x2141 stays U+301C WAVE DASH
    EXPECT_EQ(Convert(kExtendedJis), "①㈱髙〜ｶﾀ");
    SetHostCodePage("CP932");
    for (const Bytes* letter : kLetters) {
        glyph = MakeGlyph();
        EXPECT_EQ(Convert(*letter), test::kLetterCp932) << *letter;
    }
    // Windows' CP932 writes U+9AD9 as the IBM extension 0xFBFC (python3 writes the NEC-selected
    // 0xEEE0); python3 cp932 reads these bytes as "①㈱髙～ｶﾀ".
    const Bytes cp932 = "\x87\x40\x87\x8A\xFB\xFC\x81\x60\xB6\xC0";
    EXPECT_EQ(Convert(kExtendedJis), cp932);
    EXPECT_EQ(Convert("①㈱髙〜ｶﾀ"), cp932);  // U+301C by the code page's best fit
}

TEST_F(AnyToAnsiTest, PiecesGiveTheSameOutputAsTheWhole) {
    for (const Bytes* letter : kLetters) {
        for (size_t piece : {1, 2, 3, 5, 7}) {
            glyph = MakeGlyph();
            Bytes buffer;
            Bytes out;
            for (size_t at = 0; at < letter->size(); at += piece) {
                buffer += letter->substr(at, piece);
                out += glyph->AnyToAnsi(buffer);
                EXPECT_LE(buffer.size(), 3U) << "at " << at;
            }
            EXPECT_TRUE(buffer.empty());
            EXPECT_EQ(out, test::kLetterUtf8) << "pieces of " << piece << " of " << *letter;
        }
    }
}

TEST_F(AnyToAnsiTest, ShortLinesFollowTheLastCertainEncoding) {
    // 0xB1 0xB2 is "ｱｲ" in cp932 and "渦" in euc_jp (python3).
    EXPECT_EQ(Convert("\xB1\xB2\r\n"), "渦\r\n");
    glyph = MakeGlyph();
    Convert(test::kLetterCp932);
    EXPECT_EQ(Convert("\xB1\xB2\r\n"), "ｱｲ\r\n");
    // The next part, in EUC-JP, takes over as soon as its text is certain.
    EXPECT_EQ(Convert(test::kLetterEucJp), test::kLetterUtf8);
    EXPECT_EQ(Convert("\xB1\xB2\r\n"), "渦\r\n");
}

// Random bytes rich in what the reader reacts to: escapes, shifts, line ends, 8-bit bytes.
Bytes RandomBytes(std::mt19937& random) {
    static const char kAlphabet[] = "\x1B\x1B$$((BJI@\x0E\x0F\r\n\"a!";
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 2 + 24);
    std::uniform_int_distribution<int> high(0x80, 0xFF);
    Bytes bytes;
    for (int n = length(random); n > 0; --n) {
        const int choice = pick(random);
        bytes.push_back(choice < static_cast<int>(sizeof kAlphabet - 1)
                            ? kAlphabet[choice]
                            : static_cast<char>(high(random)));
    }
    return bytes;
}

TEST_F(AnyToAnsiTest, ArbitraryBytesKeepTheBufferRules) {
    std::mt19937 random(20240601);
    for (int round = 0; round < 3000; ++round) {
        const Bytes input = RandomBytes(random);
        Bytes line = input;
        glyph->JisToText(line);
        EXPECT_TRUE(line.empty());

        Bytes buffer;
        for (size_t at = 0; at < input.size(); at += 4) {
            buffer += input.substr(at, 4);
            const Bytes out = glyph->AnyToAnsi(buffer);
            EXPECT_EQ(TextToUtf8(Utf8ToText(out)), out) << "not UTF-8 for " << input;
            ASSERT_LE(buffer.size(), 3U) << input;
            ASSERT_EQ(input.substr(0, at + 4).rfind(buffer) + buffer.size(),
                      input.substr(0, at + 4).size())
                << "the rest is not the end of the input " << input;
        }
    }
}

// The text form of a part must be exactly the ANSI form read as text, on either host, however
// the input is cut; the UTF-8 host takes a shorter road to it.
TEST_F(AnyToAnsiTest, TextFormIsTheAnsiFormReadAsText) {
    std::mt19937 random(11);
    std::vector<Bytes> inputs = {
        test::kLetterUtf8,  test::kLetterIso2022Jp,
        test::kLetterCp932, test::kLetterEucJp,
        kExtendedJis,       "emoji \xF0\x9F\x98\x80 and an encoded surrogate \xED\xA0\x80\r\n"};
    for (int round = 0; round < 500; ++round) {
        inputs.push_back(RandomBytes(random));
    }
    for (const char* host : {"UTF-8", "CP932"}) {
        SetHostCodePage(host);
        for (const Bytes& input : inputs) {
            for (size_t piece : {3, 64}) {
                auto shortWay = MakeGlyph();
                auto longWay = MakeGlyph();
                Bytes shortBuffer;
                Bytes longBuffer;
                Bytes shortText;
                Bytes longText;
                for (size_t at = 0; at < input.size(); at += piece) {
                    shortBuffer += input.substr(at, piece);
                    longBuffer += input.substr(at, piece);
                    Bytes out;
                    shortWay->AnyToUtf16Le(shortBuffer, out);
                    shortText += out;
                    longText += TextToUtf16Le(AnsiToText(longWay->AnyToAnsi(longBuffer)));
                    ASSERT_EQ(shortBuffer, longBuffer) << host << " " << input;
                }
                EXPECT_EQ(shortText, longText) << host << ", pieces of " << piece << ": " << input;
            }
        }
    }
}

TEST_F(AnyToAnsiTest, EverythingTextToJisWritesReadsBack) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> unit(0x80, 0xFFFF);
    for (int round = 0; round < 300; ++round) {
        Text text;
        for (int n = 0; n < 30; ++n) {
            text.push_back(static_cast<char16_t>(unit(random)));
        }
        text.push_back(u'.');  // no high surrogate left at the end
        Bytes bytes = glyph->TextToJis(text);
        EXPECT_TRUE(text.empty());
        for (char byte : bytes) {
            ASSERT_LT(static_cast<unsigned char>(byte), 0x80);
        }
        const Text back = glyph->JisToText(bytes);
        EXPECT_EQ(back.find(u'\uFFFD'), Text::npos) << TextToUtf8(back);
    }
}

}  // namespace
}  // namespace zef
