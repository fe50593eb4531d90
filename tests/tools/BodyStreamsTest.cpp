#include "tools/zefmail/BodyStreams.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/Unicode.h"

namespace zef::zefmail {
namespace {

// An input that hands out at most `step` bytes per read, to cut the data at every position.
class SteppedInput final : public ByteInput {
  public:
    SteppedInput(std::string data, size_t step) : data_(std::move(data)), step_(step) {}
    Bytes Read(size_t size) override {
        size_t take = std::min({size, step_, data_.size() - pos_});
        Bytes out = data_.substr(pos_, take);
        pos_ += take;
        return out;
    }
    const std::string& Name() const override { return name_; }

  private:
    std::string data_;
    size_t step_;
    size_t pos_ = 0;
    std::string name_ = "test input";
};

Bytes Normalise(const std::vector<Bytes>& pieces) {
    LineEndNormaliser<Bytes> normaliser;
    Bytes out;
    for (const auto& piece : pieces) {
        normaliser.Feed(piece, out);
    }
    normaliser.Finish(out);
    return out;
}

Bytes Shape(const std::vector<Bytes>& pieces, bool dotStuff, bool dropFinalLineEnd = true) {
    TextShaper<Bytes> shaper(dotStuff, dropFinalLineEnd);
    Bytes out;
    for (const auto& piece : pieces) {
        out += shaper.Feed(piece);
    }
    out += shaper.Finish();
    return out;
}

std::vector<Bytes> Drain(PieceSource& source) {
    std::vector<Bytes> pieces;
    for (Bytes piece = source.Next(); !piece.empty(); piece = source.Next()) {
        pieces.push_back(piece);
    }
    return pieces;
}

Bytes Joined(PieceSource& source) {
    Bytes all;
    for (const Bytes& piece : Drain(source)) {
        all += piece;
    }
    return all;
}

TEST(LineEndNormaliser, EveryLineEndBecomesCrLf) {
    EXPECT_EQ(Normalise({"a\nb\rc\r\nd"}), "a\r\nb\r\nc\r\nd");
    EXPECT_EQ(Normalise({"\r\r\n\n\r"}), "\r\n\r\n\r\n\r\n");
    EXPECT_EQ(Normalise({"no line end"}), "no line end");
}

TEST(LineEndNormaliser, CrAtThePieceEndWaitsForTheNextPiece) {
    EXPECT_EQ(Normalise({"a\r", "\nb"}), "a\r\nb");  // one CRLF, not two
    EXPECT_EQ(Normalise({"a\r", "b"}), "a\r\nb");    // a bare CR
    EXPECT_EQ(Normalise({"a\r", "\r", "\n"}), "a\r\n\r\n");
    EXPECT_EQ(Normalise({"a\r"}), "a\r\n");  // released at the end
    EXPECT_EQ(Normalise({"a\r", "", "\n"}), "a\r\n");
}

TEST(LineEndNormaliser, WorksOnText) {
    LineEndNormaliser<Text> normaliser;
    Text out;
    normaliser.Feed(u"日本\r", out);
    normaliser.Feed(u"\n語\n", out);
    normaliser.Finish(out);
    EXPECT_EQ(out, u"日本\r\n語\r\n");
}

TEST(DotStuffing, DoublesADotThatStartsALine) {
    EXPECT_EQ(Shape({".a\n.\nb.c\n..d"}, true), "..a\r\n..\r\nb.c\r\n...d");
    EXPECT_EQ(Shape({"x.\n"}, true), "x.");
}

TEST(DotStuffing, FollowsTheLineStartAcrossPieces) {
    EXPECT_EQ(Shape({"x\n", ".y"}, true), "x\r\n..y");
    EXPECT_EQ(Shape({"x\r", "\n.y"}, true), "x\r\n..y");
    EXPECT_EQ(Shape({"x\r", ".y"}, true), "x\r\n..y");  // bare CR ends a line too
    EXPECT_EQ(Shape({"x", ".y"}, true), "x.y");         // same line: no stuffing
    EXPECT_EQ(Shape({"", ".first"}, true), "..first");
}

TEST(DotStuffing, CanBeLeftOut) {
    EXPECT_EQ(Shape({".a\n", ".b"}, false), ".a\r\n.b");
}

TEST(FinalLineEnd, OneTrailingLineEndIsDropped) {
    EXPECT_EQ(Shape({"a\n"}, true), "a");
    EXPECT_EQ(Shape({"a\n", ""}, true), "a");
    EXPECT_EQ(Shape({"a\n\n"}, true), "a\r\n");  // an empty last line stays
    EXPECT_EQ(Shape({"a\n", "b\n"}, true), "a\r\nb");
    EXPECT_EQ(Shape({"a\r"}, true), "a");  // the CR released by Finish is the last line end
    EXPECT_EQ(Shape({"\n"}, true), "");
}

TEST(FinalLineEnd, IsKeptWhenAskedTo) {
    EXPECT_EQ(Shape({"a\n"}, true, false), "a\r\n");
    EXPECT_EQ(Shape({"a\r"}, true, false), "a\r\n");
}

TEST(Utf8PieceDecoder, ASequenceCutByAPieceBoundaryIsKept) {
    const std::string utf8 = "a日本語😀z";
    for (size_t cut = 0; cut <= utf8.size(); ++cut) {
        Utf8PieceDecoder decoder;
        Text text = decoder.Feed(utf8.substr(0, cut));
        text += decoder.Feed(utf8.substr(cut));
        text += decoder.Finish();
        EXPECT_EQ(text, u"a日本語😀z") << "cut at " << cut;
    }
}

TEST(Utf8PieceDecoder, InvalidAndUnfinishedBytesBecomeReplacementCharacters) {
    Utf8PieceDecoder decoder;
    Text text = decoder.Feed(
        "a\xFF"
        "b\xE6\x97");
    text += decoder.Finish();
    EXPECT_EQ(text, u"a\uFFFDb\uFFFD");
}

TEST(TextSource, GivesUtf16LeLinesWhateverTheReadSize) {
    std::string input = "一行目\n.dot line\r\nthird\rlast\n";
    Text expected = u"一行目\r\n..dot line\r\nthird\r\nlast";
    for (size_t step : {1U, 2U, 3U, 7U, 1000U}) {
        auto source = MakeTextSource(std::make_unique<SteppedInput>(input, step), true);
        Text all;
        for (const Bytes& piece : Drain(*source)) {
            ASSERT_EQ(piece.size() % 2, 0U);
            all += Utf16LeToText(piece);
        }
        EXPECT_EQ(all, expected) << "step " << step;
        EXPECT_EQ(source->Consumed(), input.size());
    }
}

TEST(TextSource, CutsLargeTextAfterALineEnd) {
    std::string line(100, 'x');
    line += "\n";
    std::string input;
    for (int i = 0; i < 1000; ++i) {
        input += line;
    }
    auto source = MakeTextSource(std::make_unique<SteppedInput>(input, 4096), false);
    std::vector<Bytes> pieces = Drain(*source);
    ASSERT_GT(pieces.size(), 1U);
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
        Text text = Utf16LeToText(pieces[i]);
        EXPECT_EQ(text.substr(text.size() - 2), u"\r\n") << "piece " << i;
    }
}

TEST(TextSource, APartKeepsItsLastLineEnd) {
    auto source = MakeTextSource(std::make_unique<SteppedInput>("x\n", 1), false);
    EXPECT_EQ(Utf16LeToText(Joined(*source)), u"x\r\n");
}

TEST(TextSource, EmptyInputGivesNoPiece) {
    auto source = MakeTextSource(std::make_unique<SteppedInput>("", 10), true);
    EXPECT_TRUE(source->Next().empty());
}

TEST(ByteTextSource, KeepsTheBytesAndNormalisesLineEnds) {
    std::string html = "<p>\xE6\x97\xA5</p>\n.x\n";
    auto source = MakeByteTextSource(std::make_unique<SteppedInput>(html, 3), false);
    EXPECT_EQ(Joined(*source), "<p>\xE6\x97\xA5</p>\r\n.x\r\n");
}

TEST(AttachmentSource, PiecesAreWholeBase64Lines) {
    std::string data(kAttachmentPieceBytes * 2 + 10, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);
    }
    auto source = MakeAttachmentSource(std::make_unique<SteppedInput>(data, 1 << 20));
    std::vector<Bytes> pieces = Drain(*source);
    ASSERT_EQ(pieces.size(), 3U);
    EXPECT_EQ(kAttachmentPieceBytes % kBase64LineBytes, 0U);
    EXPECT_EQ(pieces[0].size(), kAttachmentPieceBytes);
    EXPECT_EQ(pieces[1].size(), kAttachmentPieceBytes);
    EXPECT_EQ(pieces[2].size(), 10U);
    EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], data);
}

TEST(FileInput, FillsEveryPieceFromAPipeThatDeliversInDribs) {
    auto folder =
        std::filesystem::temp_directory_path() / ("zefmail-fifo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    auto fifo = folder / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const size_t total = kAttachmentPieceBytes + 100;
    std::thread writer([&] {
        std::FILE* out = std::fopen(fifo.c_str(), "wb");
        std::string chunk(1000, 'q');
        for (size_t sent = 0; sent < total; sent += chunk.size()) {
            size_t size = std::min(chunk.size(), total - sent);
            std::fwrite(chunk.data(), 1, size, out);
            std::fflush(out);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::fclose(out);
    });
    auto source = MakeAttachmentSource(OpenFileInput(fifo.string()));
    std::vector<Bytes> pieces = Drain(*source);
    writer.join();
    std::filesystem::remove_all(folder);
    ASSERT_EQ(pieces.size(), 2U);
    EXPECT_EQ(pieces[0].size(), kAttachmentPieceBytes);
    EXPECT_EQ(pieces[1].size(), 100U);
}

TEST(FileInput, AMissingFileIsAClearError) {
    try {
        OpenFileInput("/nonexistent/zefmail/body.txt");
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(),
                     "cannot open /nonexistent/zefmail/body.txt: No such file or directory");
    }
}

}  // namespace
}  // namespace zef::zefmail
