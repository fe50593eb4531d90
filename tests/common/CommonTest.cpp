// What both controls share: text routines, the stack, multipart boundaries, string kinds.
#include <gtest/gtest.h>

#include <regex>

#include "common/Error.h"
#include "common/MailComm.h"
#include "common/MultiPart.h"
#include "common/Stack.h"
#include "common/Unicode.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

using namespace mailcomm;

TEST(MailComm, ReplaceTokensLinesAndAddressesWithin16BitPositions) {
    Text text = u"a\r\n..\r\n.b";
    ReplaceAll(text, u"\r\n.", u"\r\n..");  // never re-reads inserted text
    EXPECT_EQ(text, u"a\r\n...\r\n..b");
    text = u"abcabc";
    EXPECT_EQ(ReplaceNext(2, text, u"a", u"XY"), 6);
    EXPECT_EQ(ReplaceNext(6, text, u"a", u"Z"), 0);
    EXPECT_EQ(text, u"abcXYbc");
    // {start, delimiter, next position, token}: 0 and no token for a tail without delimiter.
    const std::tuple<long, Text, long, Text> tokens[] = {
        {1, u" ", 6, u"STAT"}, {6, u" ", 8, u"2"}, {8, u" ", 0, u""}, {1, u"S", 2, u""}};
    for (const auto& [start, delimiter, next, expected] : tokens) {
        Text token = u"junk";
        EXPECT_EQ(NextToken(start, u"STAT 2 320", token, delimiter), next);
        EXPECT_EQ(token, expected) << start;
    }
    EXPECT_EQ(NextLine(1, u"one\r\ntwo", text), 6);
    EXPECT_EQ(text, u"one");
    // Comments go (nested ones whole), then the text between "<" and ">" if both stand so.
    const std::pair<Text, Text> addresses[] = {
        {u"Taro (sales (east)) <box1>", u"box1"},
        {u"box2 (Taro)", u"box2 "},
        {u"a(b", u"ab"},
        {u"\"Yamada, Taro\" <t@example.jp>", u"t@example.jp"},
        {u"x> <y", u"x> <y"}};
    for (const auto& [expression, address] : addresses) {
        EXPECT_EQ(ExtractAddress(expression), address) << U(expression);
    }

    // Positions are 16-bit: a match or a result beyond 32767 raises error 6 "Overflow".
    EXPECT_EQ(NextLine(1, Text(32760, u'a') + u"\r\n", text), 32763);
    try {
        NextLine(1, Text(40000, u'a') + u"\r\n", text);
        ADD_FAILURE() << "a match beyond 32767 must overflow";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 6);
        EXPECT_EQ(e.description(), u"Overflow");
    }
    text = Text(32760, u'a') + u"X";
    EXPECT_THROW(ReplaceNext(1, text, u"X", Text(40, u'b')), Error);
}

TEST(Stack, PopsInReverseOrderKeepsObjectsAndRaises380WhenEmpty) {
    Stack stack;
    auto object = std::make_shared<MultiPart>();
    const std::weak_ptr<MultiPart> watch = object;
    stack.Push(Variant(7));
    stack.Push(Variant(std::static_pointer_cast<Object>(object)));
    EXPECT_EQ(stack.Count(), 2);
    EXPECT_EQ(stack.pop().AsObject(), object);  // the same object, not a copy
    EXPECT_EQ(stack.pop(), Variant(7L));
    stack.Push(Variant(std::static_pointer_cast<Object>(object)));
    object.reset();
    stack.Clear();  // releases the objects it held
    EXPECT_TRUE(watch.expired());
    try {
        stack.pop();
        ADD_FAILURE() << "pop on an empty stack must raise";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 380);
        EXPECT_EQ(e.source(), "TALVORN.STACK.POP");
        EXPECT_EQ(e.description(), u"NO STACK DATA");
    }
}

TEST(MultiPart, CountsPartsAndMakesBoundariesOfTimeDepthAndParent) {
    MultiPart part;
    EXPECT_EQ(part.NextPart(), 1);
    EXPECT_EQ(part.NextPart(), 2);
    part.NewBoundary(10, -12);
    EXPECT_EQ(part.Part(), 2);
    EXPECT_TRUE(
        std::regex_match(U(part.Boundary()), std::regex(R"(-----_=_Boundary_\d{14}_10_-12)")));
}

TEST(Unicode, ConversionsBetweenTheStringKinds) {
    const std::string utf8 = "日本語 text \xF0\x9F\x98\x80";  // U+1F600: a surrogate pair
    EXPECT_EQ(T(utf8), u"日本語 text \U0001F600");
    EXPECT_EQ(U(T(utf8)), utf8);
    EXPECT_EQ(T("a\xFF\x62"), u"a\uFFFDb");
    EXPECT_EQ(U(Text{u'a', char16_t{0xD800}, u'b'}), "a\uFFFDb");
    Bytes bytes = "x";
    AppendUtf16Le(u"a\u3042", bytes);
    EXPECT_EQ(bytes, Bytes("xa\0\x42\x30", 5));
    EXPECT_EQ(TextToUtf16Le(u"a\u3042"), bytes.substr(1));
    EXPECT_EQ(Utf16LeToText(bytes.substr(1) + "x"), u"a\u3042");  // an odd last byte is ignored
    // Utf8ToUtf16Le: valid UTF-8 straight to UTF-16LE (eight ASCII bytes at a time where it
    // can), and false for what is not valid UTF-8.
    const std::string valid =
        "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF and ASCII";
    EXPECT_TRUE(Utf8ToUtf16Le(valid, bytes));
    EXPECT_EQ(bytes, TextToUtf16Le(T(valid)));
    for (const char* invalid :
         {"\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF5\x80\x80\x80",
          "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "abc\xE3\x81", "\xC3("}) {
        EXPECT_FALSE(Utf8ToUtf16Le(invalid, bytes)) << Escaped(invalid);
    }
}

}  // namespace
}  // namespace zef::test
