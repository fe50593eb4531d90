#include "pop/ReplyFields.h"

#include <gtest/gtest.h>

namespace zef::pop {
namespace {

TEST(ReadStatReply, CountAndSize) {
    auto stat = ReadStatReply(u"+OK 2 320");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->count, 2);
    EXPECT_EQ(stat->size, 320);

    stat = ReadStatReply(u"+OK 7 1500 octets follow");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->count, 7);
    EXPECT_EQ(stat->size, 1500);
}

TEST(ReadStatReply, CountIsCappedAt32000) {
    auto stat = ReadStatReply(u"+OK 40000 9");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->count, 32000);
    stat = ReadStatReply(u"+OK 99999999999999999999999 9");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->count, 32000);
}

TEST(ReadStatReply, RepliesWithoutNumbersAreNotRead) {
    EXPECT_FALSE(ReadStatReply(u"+OK"));
    EXPECT_FALSE(ReadStatReply(u"+OK "));
    EXPECT_FALSE(ReadStatReply(u"+OK 2"));
    EXPECT_FALSE(ReadStatReply(u"+OK two 320"));
    EXPECT_FALSE(ReadStatReply(u"+OK -2 320"));
    EXPECT_FALSE(ReadStatReply(u"+OK mailbox ready"));
}

TEST(ReadListReply, SizeAfterTheMessageNumber) {
    EXPECT_EQ(ReadListReply(u"+OK 1 120"), 120);
    EXPECT_EQ(ReadListReply(u"+OK 9 120 more"), 120);
    EXPECT_EQ(ReadListReply(u"+OK 5 0"), 0);  // the number in the reply is not compared
    EXPECT_FALSE(ReadListReply(u"+OK"));
    EXPECT_FALSE(ReadListReply(u"+OK 1"));
    EXPECT_FALSE(ReadListReply(u"+OK 1 big"));
    EXPECT_FALSE(ReadListReply(u"+OK 1 "));
}

TEST(ReadUidlReply, Forms) {
    EXPECT_EQ(ReadUidlReply(u"+OK 1 whqtswO00WBw418f9t5JxYwZ"), u"whqtswO00WBw418f9t5JxYwZ");
    EXPECT_EQ(ReadUidlReply(u"+OK 1  abc  "), u"abc");  // spaces around the id go
    EXPECT_EQ(ReadUidlReply(u"+OK    1 abc"), u"abc");  // spaces before the number too
    EXPECT_EQ(ReadUidlReply(u"+OK 1 a b"), u"a b");     // everything after the number
    EXPECT_EQ(ReadUidlReply(u"+OK abc"), u"");          // no second word
    EXPECT_EQ(ReadUidlReply(u"+OK"), u"");
    EXPECT_EQ(ReadUidlReply(u"+OK   "), u"");
}

TEST(ApopTimestamp, FromFirstOpeningToFirstClosingBracket) {
    EXPECT_EQ(ApopTimestamp(u"+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>"),
              u"<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(ApopTimestamp(u"+OK <a> <b>"), u"<a>");
    EXPECT_EQ(ApopTimestamp(u"+OK ready"), u"");
    EXPECT_EQ(ApopTimestamp(u"+OK > then <"), u"");
    EXPECT_EQ(ApopTimestamp(u"+OK <open"), u"");
}

}  // namespace
}  // namespace zef::pop
