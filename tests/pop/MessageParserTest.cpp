// The message parser on its own: lines in, events out, without a socket.
#include "pop/MessageParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/Error.h"
#include "common/Unicode.h"
#include "tests/pop/PopTestDoubles.h"

namespace zef::pop {
namespace {

using testing::EventRecorder;
using testing::MarkingCodec;
using testing::PassThroughGlyph;
using Log = std::vector<std::string>;

class MessageParserTest : public ::testing::Test {
  protected:
    PassThroughGlyph glyph;
    MarkingCodec codec;
    EventRecorder events;
    MessageParser parser{glyph, codec, events};

    // One whole message: BeginMessage, every line, EndMessage.
    void Parse(long id, const std::vector<std::string>& lines) {
        bool cancel = false;
        parser.BeginMessage(id, 500, cancel);
        for (const std::string& line : lines) {
            parser.ParseMessageLine(id, line);
        }
        parser.EndMessage(id, cancel);
    }
    void Feed(long id, const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            parser.ParseMessageLine(id, line);
        }
    }
    Log Events() {
        Log taken;
        taken.swap(events.log);
        return taken;
    }
};

TEST_F(MessageParserTest, NestedMultipartGivesEveryEventInOrderWithTags) {
    events.tagFor = [](long parent) { return parent == 1 ? Text(u"outer") : Text(u"inner"); };
    Parse(1, {"From: a@example.jp",
              "Content-Type: multipart/mixed; boundary=\"B1\"",
              "",
              "preamble",
              "--B1",
              "Content-Type: text/plain",
              "",
              "hello",
              "--B1",
              "Content-Type: multipart/alternative; boundary=B2",
              "",
              "--B2",
              "Content-Type: text/plain",
              "",
              "plain",
              "--B2",
              "Content-Type: text/html",
              "",
              "<p>html</p>",
              "--B2--",
              "--B1--"});
    EXPECT_EQ(Events(),
              (Log{"RetrFirst 1 500",
                   "MailHeadFirst 1",
                   "MailHeadNext 1 [From] [a@example.jp]",
                   "MailHeadNext 1 [Content-Type] [multipart/mixed; boundary=\"B1\"]",
                   "MailHeadDone 1",
                   "MultiPartOpen 1 1 [multipart/mixed] [] [] [7bit] tag-in []",
                   "MimeHeadFirst 1 1",
                   "MimeHeadNext 1 1 [Content-Type] [text/plain]",
                   "MimeHeadDone 1 1",
                   "MimeDataFirst 1 1 [text/plain] [] [] [7bit] text-in",
                   "MimeDataNext 1 1",
                   "MimeDataDone 1 1",
                   "MimeHeadFirst 1 2",
                   "MimeHeadNext 1 2 [Content-Type] [multipart/alternative; boundary=B2]",
                   "MimeHeadDone 1 2",
                   "MultiPartOpen 1 2 [multipart/alternative] [] [] [7bit] tag-in [outer]",
                   "MimeHeadFirst 1 1",
                   "MimeHeadNext 1 1 [Content-Type] [text/plain]",
                   "MimeHeadDone 1 1",
                   "MimeDataFirst 1 1 [text/plain] [] [] [7bit] text-in",
                   "MimeDataNext 1 1",
                   "MimeDataDone 1 1",
                   "MimeHeadFirst 1 2",
                   "MimeHeadNext 1 2 [Content-Type] [text/html]",
                   "MimeHeadDone 1 2",
                   "MimeDataFirst 1 2 [text/html] [] [] [7bit] text-in",
                   "MimeDataNext 1 2",
                   "MimeDataDone 1 2",
                   "MultiPartClose 1 [inner]",
                   "RetrDone 1",
                   "MultiPartClose 1 [outer]"}));
    ASSERT_EQ(events.data.size(), 3u);
    EXPECT_EQ(Utf16LeToText(events.data[0]), u"hello\r\n");
    EXPECT_EQ(Utf16LeToText(events.data[2]), u"<p>html</p>\r\n");
}

TEST_F(MessageParserTest, MessageWithoutBoundaryIsOnePart) {
    Parse(3, {"Subject: hi", "Content-Transfer-Encoding: 8bit", "", "line one", "", "line three"});
    EXPECT_EQ(Events(), (Log{"RetrFirst 3 500", "MailHeadFirst 3", "MailHeadNext 3 [Subject] [hi]",
                             "MailHeadNext 3 [Content-Transfer-Encoding] [8bit]", "MailHeadDone 3",
                             "MultiPartOpen 3 1 [multipart/mixed] [] [] [7bit] tag-in []",
                             "MimeHeadFirst 3 1", "MimeHeadDone 3 1",
                             "MimeDataFirst 3 1 [text/plain] [] [] [8bit] text-in",
                             "MimeDataNext 3 1", "MimeDataNext 3 1", "MimeDataNext 3 1",
                             "MimeDataDone 3 1", "RetrDone 3", "MultiPartClose 3 []"}));
    ASSERT_EQ(events.data.size(), 3u);
    EXPECT_EQ(Utf16LeToText(events.data[1]), u"\r\n");  // an empty body line is data too
}

TEST_F(MessageParserTest, EmptyBodyEndsWithDataDoneButNoPartStart) {
    Parse(1, {"Subject: nothing", ""});
    EXPECT_EQ(Events(),
              (Log{"RetrFirst 1 500", "MailHeadFirst 1", "MailHeadNext 1 [Subject] [nothing]",
                   "MailHeadDone 1", "MultiPartOpen 1 1 [multipart/mixed] [] [] [7bit] tag-in []",
                   "MimeDataDone 1 1", "RetrDone 1", "MultiPartClose 1 []"}));
}

TEST_F(MessageParserTest, HeaderWithoutEmptyLineNeverReportsItsLastField) {
    Parse(1, {"Subject: a", "X-Last: b"});
    EXPECT_EQ(Events(), (Log{"RetrFirst 1 500", "MailHeadFirst 1", "MailHeadNext 1 [Subject] [a]",
                             "RetrDone 1"}));
}

TEST_F(MessageParserTest, MultipartClosedOnlyByEndMessage) {
    events.tagFor = [](long) { return Text(u"T"); };
    Parse(1, {"Content-Type: multipart/mixed; boundary=X", "", "--X", "", "body"});
    EXPECT_EQ(
        Events(),
        (Log{"RetrFirst 1 500", "MailHeadFirst 1",
             "MailHeadNext 1 [Content-Type] [multipart/mixed; boundary=X]", "MailHeadDone 1",
             "MultiPartOpen 1 1 [multipart/mixed] [] [] [7bit] tag-in []", "MimeHeadFirst 1 1",
             "MimeHeadDone 1 1", "MimeDataFirst 1 1 [text/plain] [] [] [7bit] text-in",
             "MimeDataNext 1 1", "MimeDataDone 1 1", "RetrDone 1", "MultiPartClose 1 [T]"}));
}

TEST_F(MessageParserTest, ContainersOfABrokenTransferCloseAfterTheNextMessagesOwn) {
    int opened = 0;
    events.tagFor = [&opened](long) { return Text(u"m") + static_cast<char16_t>(u'0' + ++opened); };
    bool cancel = false;
    parser.BeginMessage(1, 10, cancel);
    Feed(1, {"Content-Type: multipart/mixed; boundary=X", "", "--X", "", "cut off here"});
    Events();  // the transfer breaks off: no EndMessage for message 1

    Parse(2, {"Subject: next", "", "body"});
    const Log log = Events();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ((Log{log.end() - 3, log.end()}),
              (Log{"RetrDone 2", "MultiPartClose 2 [m2]", "MultiPartClose 2 [m1]"}));
}

TEST_F(MessageParserTest, ContentTypeParametersAreUnquotedAndMatchedWithoutCase) {
    events.isText = false;
    Parse(1, {"Content-Type: multipart/mixed; boundary=\"=_b;1\"", "", "--=_b;1",
              "content-type: Text/Plain; CHARSET=\"iso-2022-jp\"; Name=a.txt; format=flowed",
              "Content-Transfer-Encoding: QUOTED-PRINTABLE", "", "x", "--=_b;1--"});
    const Log log = Events();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "MimeHeadNext 1 1 [content-type] [Text/Plain; CHARSET=\"iso-2022-jp\"; "
                        "Name=a.txt; format=flowed]"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "MimeDataFirst 1 1 [Text/Plain] [a.txt] [iso-2022-jp] [QUOTED-PRINTABLE] "
                        "text-in"),
              log.end());
    ASSERT_EQ(events.data.size(), 1u);
    EXPECT_EQ(events.data[0], "<qp:x\r\n>");  // the encoding matched without case
}

TEST_F(MessageParserTest, FieldWithSpaceBeforeColonIsReportedButNotRecognised) {
    Parse(1, {"Content-Type : multipart/mixed; boundary=X", "", "--X", "body"});
    const Log log = Events();
    EXPECT_EQ(log[2], "MailHeadNext 1 [Content-Type ] [multipart/mixed; boundary=X]");
    EXPECT_EQ(log[4], "MultiPartOpen 1 1 [multipart/mixed] [] [] [7bit] tag-in []");
    EXPECT_EQ(log[7], "MimeDataFirst 1 1 [text/plain] [] [] [7bit] text-in");  // no boundary
}

TEST_F(MessageParserTest, FoldedLinesJoinWithoutSpaceAndLinesWithoutColonAreDropped) {
    Parse(1, {"Subject: part one", " part two", "\t \tand three", "no colon here", "X-A:b", ""});
    const Log log = Events();
    EXPECT_EQ(log[2], "MailHeadNext 1 [Subject] [part onepart twoand three]");
    EXPECT_EQ(log[3], "MailHeadNext 1 [X-A] [b]");
    EXPECT_EQ(log[4], "MailHeadDone 1");
}

TEST_F(MessageParserTest, UndecodableHeaderLineIsKeptAsItCame) {
    codec.failHeaderOn = "=?broken";
    Parse(1, {"Subject: =?broken?= x", ""});
    EXPECT_EQ(Events()[2], "MailHeadNext 1 [Subject] [=?broken?= x]");
}

TEST_F(MessageParserTest, DelimiterPrefixEndsDataButOnlyTheExactLineOpensAPart) {
    events.tagFor = [](long) { return Text(u"T"); };
    Parse(1, {"Content-Type: multipart/mixed; boundary=X", "", "--Xtra", "--X", "", "a", "--Xtra",
              "", "b"});
    EXPECT_EQ(Events(),
              (Log{"RetrFirst 1 500", "MailHeadFirst 1",
                   "MailHeadNext 1 [Content-Type] [multipart/mixed; boundary=X]", "MailHeadDone 1",
                   "MultiPartOpen 1 1 [multipart/mixed] [] [] [7bit] tag-in []",
                   // "--Xtra" between parts is ignored; in data it is a delimiter
                   "MimeHeadFirst 1 1", "MimeHeadDone 1 1",
                   "MimeDataFirst 1 1 [text/plain] [] [] [7bit] text-in", "MimeDataNext 1 1",
                   "MimeDataDone 1 1", "MimeHeadFirst 1 2", "MimeHeadDone 1 2",
                   "MimeDataFirst 1 2 [text/plain] [] [] [7bit] text-in", "MimeDataNext 1 2",
                   "MimeDataDone 1 2", "RetrDone 1", "MultiPartClose 1 [T]"}));
}

TEST_F(MessageParserTest, AfterTheMessageMultipartClosesBareDashesOpenPartTwo) {
    events.tagFor = [](long) { return Text(u"T"); };
    Parse(1, {"Content-Type: multipart/mixed; boundary=X", "", "--X", "", "a", "--X--", "epilogue",
              "--", "", "tail", "----", "ignored"});
    const Log log = Events();
    ASSERT_GE(log.size(), 8u);
    // The closing "----" finds no enclosing container left: the rest is ignored.
    EXPECT_EQ((Log{log.end() - 8, log.end()}),
              (Log{"MimeDataDone 1 1", "MultiPartClose 1 [T]", "MimeHeadFirst 1 2",
                   "MimeHeadDone 1 2", "MimeDataFirst 1 2 [text/plain] [] [] [7bit] text-in",
                   "MimeDataNext 1 2", "MimeDataDone 1 2", "RetrDone 1"}));
    EXPECT_EQ(parser.state(), MessageParser::State::AfterLast);
}

TEST_F(MessageParserTest, PartWithMultipartTypeButNoBoundaryOpensOnBareDashes) {
    int opened = 0;
    events.tagFor = [&opened](long) { return Text(u"m") + static_cast<char16_t>(u'0' + ++opened); };
    Parse(1, {"Content-Type: multipart/mixed; boundary=X", "", "--X",
              "Content-Type: multipart/related", "", "--", "", "inner"});
    const Log log = Events();
    ASSERT_GE(log.size(), 9u);
    EXPECT_EQ(
        (Log{log.end() - 9, log.end()}),
        (Log{"MultiPartOpen 1 1 [multipart/related] [] [] [7bit] tag-in [m1]", "MimeHeadFirst 1 1",
             "MimeHeadDone 1 1", "MimeDataFirst 1 1 [text/plain] [] [] [7bit] text-in",
             "MimeDataNext 1 1", "MimeDataDone 1 1", "RetrDone 1", "MultiPartClose 1 [m2]",
             "MultiPartClose 1 [m1]"}));
}

TEST_F(MessageParserTest, CancelledRetrievalChangesNothing) {
    Parse(1, {"Content-Type: multipart/mixed; boundary=X", "", "--X", "", "data"});
    ASSERT_EQ(parser.state(), MessageParser::State::PartData);
    Events();
    events.cancelRetr = true;
    bool cancel = false;
    parser.BeginMessage(2, 10, cancel);
    EXPECT_TRUE(cancel);
    EXPECT_EQ(Events(), Log{"RetrFirst 2 10"});
    EXPECT_EQ(parser.state(), MessageParser::State::PartData);
}

TEST_F(MessageParserTest, CancelDeleteComesBackThroughEndMessage) {
    events.cancelDelete = true;
    bool cancelRetr = false;
    parser.BeginMessage(1, 1, cancelRetr);
    bool cancelDelete = false;
    parser.EndMessage(1, cancelDelete);
    EXPECT_TRUE(cancelDelete);
}

// --- data lines (the codec stand-in marks what each decoder was given) ---

class DataFormTest : public MessageParserTest {
  protected:
    // The data of a one-part message with the given transfer encoding.
    std::vector<Bytes> DataOf(const std::string& encoding, const std::vector<std::string>& body,
                              bool isText) {
        events.isText = isText;
        std::vector<std::string> lines{"Content-Transfer-Encoding: " + encoding, ""};
        lines.insert(lines.end(), body.begin(), body.end());
        Parse(1, lines);
        return events.data;
    }
};

TEST_F(DataFormTest, SevenBitAsTextIsUtf16LeWithCrLf) {
    const auto data = DataOf("7bit", {"abc"}, true);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0], Bytes("a\0b\0c\0\r\0\n\0", 10));
}

TEST_F(DataFormTest, SevenBitAsBytesIsTheLineWithCrLf) {
    EXPECT_EQ(DataOf("7bit", {"abc", ""}, false), (std::vector<Bytes>{"abc\r\n", "\r\n"}));
}

TEST_F(DataFormTest, EightBitAndBinaryBytesPassByteExact) {
    const std::string raw("\xe9t\xe9\x00\xff\x1b$B", 8);
    EXPECT_EQ(DataOf("8bit", {raw}, false), std::vector<Bytes>{raw + "\r\n"});
    events.data.clear();
    EXPECT_EQ(DataOf("binary", {raw}, false), std::vector<Bytes>{raw + "\r\n"});
}

TEST_F(DataFormTest, Base64GetsTheLineAloneAndQuotedPrintableTheLineWithCrLf) {
    EXPECT_EQ(DataOf("Base64", {"YWJj"}, false), std::vector<Bytes>{"<b64:YWJj>"});
    events.data.clear();
    EXPECT_EQ(DataOf("quoted-printable", {"abc="}, false), std::vector<Bytes>{"<qp:abc=\r\n>"});
}

TEST_F(DataFormTest, EncodingNamesAreMatchedExactlyApartFromCase) {
    // A trailing space is not trimmed from the field value: the part is not base64.
    EXPECT_EQ(DataOf("base64 ", {"YWJj"}, false), std::vector<Bytes>{"YWJj\r\n"});
}

TEST_F(DataFormTest, DecodedTextIsConverted) {
    const auto data = DataOf("base64", {"YWJj"}, true);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(Utf16LeToText(data[0]), u"<b64:YWJj>");
}

TEST_F(DataFormTest, DecoderFailureReachesTheCaller) {
    codec.failDecoders = true;
    events.isText = false;
    bool cancel = false;
    parser.BeginMessage(1, 1, cancel);
    Feed(1, {"Content-Transfer-Encoding: base64", ""});
    EXPECT_THROW(parser.ParseMessageLine(1, "YWJj"), Error);
}

}  // namespace
}  // namespace zef::pop
