#include "common/MailComm.h"

#include <gtest/gtest.h>

#include "common/Error.h"

namespace zef::mailcomm {
namespace {

TEST(ReplaceAll, DoublesLeadingDotsWithoutRereadingInsertedText) {
    Text text = u"a\r\n..\r\n.b";
    ReplaceAll(text, u"\r\n.", u"\r\n..");
    EXPECT_EQ(text, u"a\r\n...\r\n..b");

    Text untouched = u"no dots here";
    ReplaceAll(untouched, u"\r\n.", u"\r\n..");
    EXPECT_EQ(untouched, u"no dots here");
}

TEST(ReplaceAll, ReplacementContainingTheSearchTextTerminates) {
    Text text = u"aXa";
    ReplaceAll(text, u"a", u"aa");
    EXPECT_EQ(text, u"aaXaa");
}

TEST(ReplaceNext, ReturnsPositionAfterReplacement) {
    Text text = u"abcabc";
    EXPECT_EQ(ReplaceNext(2, text, u"a", u"XY"), 6);
    EXPECT_EQ(text, u"abcXYbc");
    EXPECT_EQ(ReplaceNext(6, text, u"a", u"Z"), 0);
}

TEST(NextToken, WalksTokensAndNeverReturnsTheUndelimitedTail) {
    Text text = u"STAT 2 320";
    Text token = u"junk";
    EXPECT_EQ(NextToken(1, text, token, u" "), 6);
    EXPECT_EQ(token, u"STAT");
    EXPECT_EQ(NextToken(6, text, token, u" "), 8);
    EXPECT_EQ(token, u"2");
    EXPECT_EQ(NextToken(8, text, token, u" "), 0);
    EXPECT_TRUE(token.empty());
}

TEST(NextToken, EmptyTokenWhenDelimiterAtStart) {
    Text token = u"x";
    EXPECT_EQ(NextToken(1, u":value", token, u":"), 2);
    EXPECT_TRUE(token.empty());
}

TEST(NextLine, LastLineWithoutCrLfIsNotReturned) {
    Text text = u"one\r\ntwo";
    Text line;
    long next = NextLine(1, text, line);
    EXPECT_EQ(line, u"one");
    EXPECT_EQ(next, 6);
    EXPECT_EQ(NextLine(next, text, line), 0);
    EXPECT_TRUE(line.empty());
}

TEST(MailCommLimits, PositionsBeyond32767Overflow) {
    Text longText(40000, u'a');
    longText += u"\r\n";
    Text line;
    try {
        NextLine(1, longText, line);
        FAIL() << "a match beyond 32767 must overflow";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 6);
        EXPECT_EQ(e.description(), u"Overflow");
    }
    Text nearLimit(32760, u'a');
    nearLimit += u"\r\n";
    EXPECT_EQ(NextLine(1, nearLimit, line), 32763);
    Text text = Text(32760, u'a') + u"X";
    EXPECT_THROW(ReplaceNext(1, text, Text(u"X"), Text(40, u'b')), Error);  // result past the limit
}

TEST(ExtractAddress, RemovesNestedCommentsAndTakesAngleBrackets) {
    EXPECT_EQ(ExtractAddress(u"Taro (sales (east)) <box1>"), u"box1");
    EXPECT_EQ(ExtractAddress(u"box2 (Taro)"), u"box2 ");
    EXPECT_EQ(ExtractAddress(u"a(b"), u"ab");
    EXPECT_EQ(ExtractAddress(u"\"Yamada, Taro\" <taro@example.jp>"), u"taro@example.jp");
    EXPECT_EQ(ExtractAddress(u"plain@example.jp"), u"plain@example.jp");
}

TEST(ExtractAddress, CloseBracketBeforeOpenKeepsText) {
    EXPECT_EQ(ExtractAddress(u"x> <y"), u"x> <y");
}

}  // namespace
}  // namespace zef::mailcomm
