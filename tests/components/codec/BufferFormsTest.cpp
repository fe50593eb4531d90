// The codec operations that write into the caller's buffer: the decoders give what the
// returning decoders give and replace what the buffer held (the base64 fast path for whole
// groups agrees with the careful path whatever stands in a line); AppendBase64 adds exactly
// what EncodeBase64 returns.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "components/Codec.h"

namespace zef {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 read as the codec documents it: characters outside the alphabet are skipped, the
// first "=" ends the data, an unfinished group gives the whole bytes it holds.
Bytes ReferenceBase64(std::string_view text) {
    Bytes out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        const size_t value = kAlphabet.find(c);
        if (value == std::string_view::npos) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

class DecodeInto : public ::testing::Test {
  protected:
    std::unique_ptr<Codec> codec_ = MakeCodec();
    std::mt19937 random_{20240611};

    std::string RandomLine(size_t groups) {
        std::string line;
        for (size_t i = 0; i < groups * 4; ++i) {
            line += kAlphabet[random_() % kAlphabet.size()];
        }
        return line;
    }
};

TEST_F(DecodeInto, Base64AgreesWithTheReferenceWhereverForeignCharactersStand) {
    const std::string foreign[] = {" ", "\t", "\r", "-", "\x80", "=", "==", "*~"};
    Bytes out = "left over from an earlier, much longer line that must not survive";
    for (const std::string& insert : foreign) {
        for (size_t at = 0; at <= 76; ++at) {
            std::string line = RandomLine(19);
            line.insert(at, insert);
            codec_->DecodeBase64Into(line, out);
            ASSERT_EQ(out, ReferenceBase64(line)) << "'" << insert << "' at " << at;
            Bytes copy = line;
            ASSERT_EQ(out, codec_->DecodeBase64(copy));
        }
    }
}

// Long runs go through the block-wise fast path; a foreign character anywhere in a block
// sends that block to the careful path.
TEST_F(DecodeInto, LongBase64TextAgreesWithTheReference) {
    Bytes out;
    for (size_t groups : {7, 8, 9, 16, 17, 250}) {
        const std::string line = RandomLine(groups);
        codec_->DecodeBase64Into(line, out);
        ASSERT_EQ(out, ReferenceBase64(line)) << groups << " groups";
        for (size_t at = 0; at < line.size(); at += 13) {
            std::string spoiled = line;
            spoiled[at] = static_cast<char>(0x80 | (random_() & 0x7F));
            codec_->DecodeBase64Into(spoiled, out);
            ASSERT_EQ(out, ReferenceBase64(spoiled)) << groups << " groups, foreign at " << at;
        }
    }
}

TEST_F(DecodeInto, Base64OfUnfinishedGroupsAndEmptyLines) {
    Bytes out = "stale";
    for (const char* line : {"", "Q", "QU", "QUI", "QUJD", "QUJDRA", "QUJDREU", "Q=UJD"}) {
        codec_->DecodeBase64Into(line, out);
        EXPECT_EQ(out, ReferenceBase64(line)) << line;
    }
}

TEST_F(DecodeInto, QuotedPrintableMatchesTheReturningDecoder) {
    const std::string lines[] = {
        "=E6=97=A5=E6=9C=AC=E8=AA=9E\r\n",
        "soft break=\r\n",
        "trailing blanks \t \r\n",
        "a=3Db=3db\r\n",
        "bad =G1 and =4\r\n",
        "ends with =",
        "=\r\n",
        "",
        "two\r\nlines=\r\n",
    };
    Bytes out = "a buffer that held a longer line before this one came along";
    for (const std::string& line : lines) {
        codec_->DecodeQuotedPrintableInto(line, out);
        Bytes copy = line;
        EXPECT_EQ(out, codec_->DecodeQuotedPrintable(copy)) << line;
    }
    codec_->DecodeQuotedPrintableInto("x=41y\r\n", out);
    EXPECT_EQ(out, "xAy\r\n");
}

TEST_F(DecodeInto, AppendBase64AddsWhatEncodeBase64Returns) {
    Bytes out = "kept\r\n";
    Bytes expected = out;
    for (size_t size = 0; size <= 60; ++size) {
        Bytes data;
        for (size_t i = 0; i < size; ++i) {
            data += static_cast<char>(random_() & 0xFF);
        }
        codec_->AppendBase64(data, out);
        Bytes copy = data;
        expected += codec_->EncodeBase64(copy);
        ASSERT_EQ(out, expected) << "size " << size;
    }
}

// A codec that implements only the returning operations still serves the callers of the
// buffer forms.
class ReturningOnlyCodec final : public Codec {
  public:
    std::vector<Bytes> seen;

    void FoldLines(long /*mode*/) override {}
    Bytes EncodeBase64(Bytes& data) override {
        seen.push_back(data);
        return "enc(" + data + ")";
    }
    Bytes DecodeBase64(Bytes& text) override {
        seen.push_back(text);
        return "b64(" + text + ")";
    }
    Bytes EncodeQuotedPrintable(Bytes& data) override { return data; }
    Bytes DecodeQuotedPrintable(Bytes& text) override {
        seen.push_back(text);
        return "qp(" + text + ")";
    }
    Bytes EncodeHeader(Bytes& header) override { return header; }
    Bytes DecodeHeader(Bytes& header) override { return header; }
};

TEST(BufferFormDefaults, GoThroughTheReturningOperations) {
    ReturningOnlyCodec codec;
    Bytes out = "old";
    codec.DecodeBase64Into("YWJj", out);
    EXPECT_EQ(out, "b64(YWJj)");
    codec.DecodeQuotedPrintableInto("a=3D\r\n", out);
    EXPECT_EQ(out, "qp(a=3D\r\n)");
    codec.AppendBase64("abc", out);
    EXPECT_EQ(out, "qp(a=3D\r\n)enc(abc)");
    EXPECT_EQ(codec.seen, (std::vector<Bytes>{"YWJj", "a=3D\r\n", "abc"}));
}

}  // namespace
}  // namespace zef
