// Cutting received bytes into reply lines, and the bound on one line.
#include <gtest/gtest.h>

#include "smtp/ReplyLineReader.h"

namespace zef::smtp {
namespace {

std::vector<std::string> Drain(ReplyLineReader& reader) {
    std::vector<std::string> lines;
    Bytes line;
    while (reader.NextLine(line)) {
        lines.push_back(line);
    }
    return lines;
}

TEST(ReplyLineReader, HandsOutCompleteLinesWithoutTheirLineFeed) {
    ReplyLineReader reader;
    reader.Append("250-a\r\n250 b\r\n25");
    EXPECT_EQ(Drain(reader), (std::vector<std::string>{"250-a\r", "250 b\r"}));
    reader.Append("0 c");
    EXPECT_TRUE(Drain(reader).empty());
    reader.Append("\r\n\n");
    EXPECT_EQ(Drain(reader), (std::vector<std::string>{"250 c\r", ""}));
}

TEST(ReplyLineReader, LineAtTheLimitPassesOneByteMoreOverruns) {
    ReplyLineReader reader;
    reader.Append(std::string(ReplyLineReader::kMaxLineBytes, 'x'));
    EXPECT_TRUE(Drain(reader).empty());
    EXPECT_FALSE(reader.Overrun());
    reader.Append("\n");
    EXPECT_EQ(Drain(reader).at(0).size(), ReplyLineReader::kMaxLineBytes);

    reader.Append(std::string(ReplyLineReader::kMaxLineBytes, 'y'));
    reader.Append("y");
    EXPECT_TRUE(reader.Overrun());
    reader.Append("\r\n250 ok\r\n");  // nothing is kept once overrun
    EXPECT_TRUE(Drain(reader).empty());

    reader.Clear();
    EXPECT_FALSE(reader.Overrun());
    reader.Append("250 ok\r\n");
    EXPECT_EQ(Drain(reader), std::vector<std::string>{"250 ok\r"});
}

TEST(ReplyLineReader, OverlongLineWithItsLineFeedInOneArrivalOverruns) {
    ReplyLineReader reader;
    reader.Append("220 ok\r\n" + std::string(ReplyLineReader::kMaxLineBytes + 1, 'z') + "\n");
    Bytes line;
    EXPECT_TRUE(reader.NextLine(line));
    EXPECT_FALSE(reader.NextLine(line));
    EXPECT_TRUE(reader.Overrun());
}

TEST(ReplyLineReader, ManySmallArrivalsOfOneLine) {
    ReplyLineReader reader;
    const std::string line = "250 " + std::string(5000, 'k');
    for (char c : line) {
        reader.Append(std::string(1, c));
        EXPECT_TRUE(Drain(reader).empty());
    }
    reader.Append("\n");
    EXPECT_EQ(Drain(reader), std::vector<std::string>{line});
}

}  // namespace
}  // namespace zef::smtp
