#include "pop/LineAssembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zef::pop {
namespace {

// Appends each arrival and collects every complete line it yields.
std::vector<std::string> Lines(LineAssembler& assembler, const std::vector<std::string>& arrivals) {
    std::vector<std::string> lines;
    for (const std::string& arrival : arrivals) {
        assembler.Append(arrival);
        std::string_view line;
        while (assembler.NextLine(line) == LineAssembler::Result::Line) {
            lines.emplace_back(line);
        }
    }
    return lines;
}

TEST(LineAssembler, JoinsALineSplitAcrossArrivals) {
    LineAssembler assembler(1000);
    EXPECT_EQ(Lines(assembler, {"+OK", " ready\r", "\n"}), std::vector<std::string>{"+OK ready"});
    EXPECT_EQ(assembler.Pending(), 0u);
}

TEST(LineAssembler, SeveralLinesInOneArrivalInOrder) {
    LineAssembler assembler(1000);
    EXPECT_EQ(Lines(assembler, {"a\r\nb\r\n\r\nc"}), (std::vector<std::string>{"a", "b", ""}));
    EXPECT_EQ(assembler.Pending(), 1u);
    EXPECT_EQ(Lines(assembler, {"\n"}), std::vector<std::string>{"c"});
}

TEST(LineAssembler, LfAloneEndsALineAndStrayCrsStay) {
    LineAssembler assembler(1000);
    EXPECT_EQ(Lines(assembler, {"one\ntwo\r\nth\rree\r\r\n\rx\n"}),
              (std::vector<std::string>{"one", "two", "th\rree\r", "\rx"}));
}

TEST(LineAssembler, ByteByByteGivesTheSameLines) {
    const std::string stream = "+OK 2 320\r\n..x\r\n\r\nend\n";
    std::vector<std::string> arrivals;
    for (char c : stream) {
        arrivals.emplace_back(1, c);
    }
    LineAssembler whole(1000);
    LineAssembler split(1000);
    EXPECT_EQ(Lines(split, arrivals), Lines(whole, {stream}));
}

TEST(LineAssembler, BinaryBytesPassUnchanged) {
    LineAssembler assembler(1000);
    const std::string binary("\x00\xff\x1b$B\x80", 6);
    EXPECT_EQ(Lines(assembler, {binary + "\r\n"}), std::vector<std::string>{binary});
}

TEST(LineAssembler, CompleteLineOverTheLimitIsRefused) {
    LineAssembler assembler(4);
    assembler.Append("abcd\r\nabcde\r\n");
    std::string_view line;
    ASSERT_EQ(assembler.NextLine(line), LineAssembler::Result::Line);
    EXPECT_EQ(line, "abcd");
    EXPECT_EQ(assembler.NextLine(line), LineAssembler::Result::TooLong);
}

TEST(LineAssembler, OpenLineOverTheLimitIsRefusedBeforeItsEndArrives) {
    LineAssembler assembler(4);
    std::string_view line;
    assembler.Append("abcd\r");  // the CR may still belong to the line end
    EXPECT_EQ(assembler.NextLine(line), LineAssembler::Result::NeedMore);
    assembler.Append("e");
    EXPECT_EQ(assembler.NextLine(line), LineAssembler::Result::TooLong);
}

TEST(LineAssembler, ClearDropsEverything) {
    LineAssembler assembler(100);
    assembler.Append("partial");
    assembler.Clear();
    EXPECT_EQ(assembler.Pending(), 0u);
    EXPECT_EQ(Lines(assembler, {"x\n"}), std::vector<std::string>{"x"});
}

TEST(LineAssembler, LongLineInSmallPiecesIsAssembledWhole) {
    LineAssembler assembler(1 << 20);
    std::vector<std::string> arrivals(1000, std::string(100, 'a'));
    arrivals.emplace_back("\r\nnext\r\n");
    const std::vector<std::string> lines = Lines(assembler, arrivals);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(100000, 'a'));
    EXPECT_EQ(lines[1], "next");
}

}  // namespace
}  // namespace zef::pop
