#include "pop/HeaderValue.h"

#include <gtest/gtest.h>

namespace zef::pop {
namespace {

TEST(TrimLeadingControls, DropsControlsSpacesAndDeleteAtTheStartOnly) {
    EXPECT_EQ(TrimLeadingControls(u"\t  a b "), u"a b ");
    EXPECT_EQ(TrimLeadingControls(u"\x7f\x01\x1f x"), u"x");
    EXPECT_EQ(TrimLeadingControls(u" \t\x7f"), u"");
    EXPECT_EQ(TrimLeadingControls(u""), u"");
    EXPECT_EQ(TrimLeadingControls(u"\u3042 x"), u"\u3042 x");  // non-ASCII is kept
}

TEST(SplitQuoted, SemicolonsInsideQuotesDoNotSplit) {
    std::vector<Text> fields;
    long limit = 0;
    const long n = SplitQuoted(u"text/plain; charset=\"a;b\"; name=x", u";", fields, limit);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(fields[0], u"text/plain");
    EXPECT_EQ(fields[1], u" charset=\"a;b\"");
    EXPECT_EQ(fields[2], u" name=x");
}

TEST(SplitQuoted, BackslashInsideQuotesMakesTheQuoteOrdinary) {
    std::vector<Text> fields;
    long limit = 0;
    ASSERT_EQ(SplitQuoted(u"a=\"x\\\";y\";b", u";", fields, limit), 2);
    EXPECT_EQ(fields[0], u"a=\"x\\\";y\"");
    EXPECT_EQ(fields[1], u"b");
}

TEST(SplitQuoted, LimitStopsAndDropsTheRest) {
    std::vector<Text> fields;
    long two = 2;
    ASSERT_EQ(SplitQuoted(u"a=b=c", u"=", fields, two), 2);
    EXPECT_EQ(fields[0], u"a");
    EXPECT_EQ(fields[1], u"b");

    long one = 1;
    ASSERT_EQ(SplitQuoted(u"a=b=c", u"=", fields, one), 1);
    EXPECT_EQ(fields[0], u"a=b=c");

    long negative = -3;
    ASSERT_EQ(SplitQuoted(u"a=b=c", u"=", fields, negative), 3);
    EXPECT_EQ(negative, 0);  // the caller's variable is corrected
}

TEST(SplitQuoted, EmptyAndTrailingPieces) {
    std::vector<Text> fields;
    long limit = 0;
    ASSERT_EQ(SplitQuoted(u"", u";", fields, limit), 1);
    EXPECT_EQ(fields[0], u"");
    ASSERT_EQ(SplitQuoted(u"a;", u";", fields, limit), 2);
    EXPECT_EQ(fields[0], u"a");
    EXPECT_EQ(fields[1], u"");
}

TEST(SplitQuoted, TrimsLeadingControlsAndIgnoresLongDelimiters) {
    std::vector<Text> fields;
    long limit = 0;
    ASSERT_EQ(SplitQuoted(u"\t a;b", u";;", fields, limit), 1);
    EXPECT_EQ(fields[0], u"a;b");
}

TEST(Unquote, DropsQuotesAndEscapes) {
    EXPECT_EQ(Unquote(u"\"a\\\"b\""), u"a\"b");
    EXPECT_EQ(Unquote(u"x\"y\"z"), u"xyz");
    EXPECT_EQ(Unquote(u"\"a\\\\b\""), u"a\\b");
    EXPECT_EQ(Unquote(u"a\\b"), u"a\\b");  // outside quotes a backslash is ordinary
    EXPECT_EQ(Unquote(u"\"open"), u"open");
}

TEST(SplitParameter, NameAndValueTrimmedAndUnquoted) {
    Parameter p = SplitParameter(u" charset = \"iso-2022-jp\" ");
    EXPECT_EQ(p.pieces, 2);
    EXPECT_EQ(p.name, u"charset");
    EXPECT_EQ(p.value, u"iso-2022-jp");

    p = SplitParameter(u"boundary=\"a=b\"");
    EXPECT_EQ(p.name, u"boundary");
    EXPECT_EQ(p.value, u"a=b");

    p = SplitParameter(u"flag");
    EXPECT_EQ(p.pieces, 1);
    EXPECT_EQ(p.name, u"flag");
    EXPECT_EQ(p.value, u"");
}

TEST(AsciiCase, MapsOnlyAsciiLetters) {
    EXPECT_EQ(AsciiUpper(u"Content-Type"), u"CONTENT-TYPE");
    EXPECT_EQ(AsciiLower(u"Multipart/MIXED"), u"multipart/mixed");
    EXPECT_EQ(AsciiUpper(u"\u017f"), u"\u017f");  // long s does not pass for S
}

}  // namespace
}  // namespace zef::pop
