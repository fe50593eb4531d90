// zefmail send and sendmail: the header and body of an outgoing message, the MIME plan,
// sendmail's input and envelope.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "common/Unicode.h"
#include "components/Codec.h"
#include "tests/support/TestText.h"
#include "tests/tools/Scratch.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/send/BodyStreams.h"
#include "tools/zefmail/send/HeaderBuilder.h"
#include "tools/zefmail/send/MimePlan.h"
#include "tools/zefmail/send/SendmailCommand.h"
#include "tools/zefmail/send/SendmailInput.h"

namespace zef::zefmail {
namespace {

using test::Escaped;
using test::U;

TEST(BuildHeader, OneLinePerFieldAndTheMimeFieldsOfAPlainBody) {
    HeaderFields fields{"山田 <t@x>", {"a@x", "b@y"}, {}, "会議", "Thu, 01 Jan 1970", "<1@h>"};
    EXPECT_EQ(BuildHeader(fields, BodyKind::kPlain),
              "From: 山田 <t@x>\r\nTo: a@x, b@y\r\nSubject: 会議\r\nDate: Thu, 01 Jan 1970\r\n"
              "Message-ID: <1@h>\r\nMIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=iso-2022-jp\r\n"
              "Content-Transfer-Encoding: 7bit\r\n\r\n");
    // For a multipart the control writes the MIME fields and the empty line after them.
    HeaderFields bccOnly{"a@x", {}, {"c@z"}, "hi\r\nBcc: spy@x", "", ""};
    EXPECT_EQ(BuildHeader(bccOnly, BodyKind::kMultipart),
              "From: a@x\r\nCc: c@z\r\nSubject: hi  Bcc: spy@x\r\n");
}

// Rows of a file, the body that follows, and the header or the error.
TEST(LoadHeaderFile, LinesEndInCrLfAndMimeFieldsMustSuitTheBody) {
    const std::tuple<const char*, BodyKind, std::string> kRows[] = {
        {"From: a@x\nTo: b@y\r\n Folded\n\n\n", BodyKind::kMultipart,
         "From: a@x\r\nTo: b@y\r\n Folded\r\n"},
        {"From: a@x\rTo: b@y", BodyKind::kPlain,
         "From: a@x\r\nTo: b@y\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
         "charset=iso-2022-jp\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"},
        {"content-type: text/plain;\n charset=ISO-2022-JP", BodyKind::kPlain,
         "content-type: text/plain;\r\n charset=ISO-2022-JP\r\n\r\n"},
        {"Content-Type: text/plain;\n charset=utf-8\nX-A: iso-2022-jp", BodyKind::kPlain,
         "has a Content-Type field, but the body is sent in iso-2022-jp"},
        {"From: a@x", BodyKind::kPlainUtf8,
         "From: a@x\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n"},
        {"From: a@x\n\nTo: b@y", BodyKind::kPlain, "line 2 is empty"},
        {"\n\n", BodyKind::kPlain, "holds no header lines"},
        {"From: a@x\nMIME-Version: 1.0", BodyKind::kMultipart, "line 2 sets a MIME field"},
    };
    Scratch scratch;
    for (const auto& [file, kind, expected] : kRows) {
        std::string path = scratch.File("header.txt", file);
        try {
            EXPECT_EQ(LoadHeaderFile(path, kind), expected) << Escaped(file);
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
}

TEST(SplitAddressList, CommasInsideQuotesAnglesAndCommentsDoNotSplit) {
    const std::pair<const char*, std::vector<std::string>> kRows[] = {
        {R"( "Yamada, Taro" <t@x.jp>, b@y.jp ,c@z (Sales, Tokyo))",
         {R"("Yamada, Taro" <t@x.jp>)", "b@y.jp", "c@z (Sales, Tokyo)"}},
        {"<a,b@x>, (c, d) e@y", {"<a,b@x>", "(c, d) e@y"}},
        {"team: a@x, b@y;, c@z", {"a@x", "b@y", "c@z"}},
        {"undisclosed-recipients:;", {}},
        {R"("quoted \" comma," <q@x>)", {R"("quoted \" comma," <q@x>)"}}};
    for (const auto& [list, addresses] : kRows) {
        EXPECT_EQ(SplitAddressList(list), addresses) << list;
    }
}

TEST(TakeEnvelope, ReadsSenderAndRecipientsAndDropsBcc) {
    HeaderEnvelope envelope;
    std::string kept = TakeEnvelope(
        "From: 差出人 <f@x>\r\nTo: a@x,\r\n  \"B, Jr.\" <b@x>\r\nBcc: h@x,\r\n\to@x\r\n"
        "Subject: s\r\ncc: c@x\r\n\r\nBcc: not a field\r\n",
        envelope);
    EXPECT_EQ(envelope.from, "差出人 <f@x>");
    EXPECT_EQ(envelope.recipients,
              (std::vector<std::string>{"a@x", "\"B, Jr.\" <b@x>", "h@x", "o@x", "c@x"}));
    EXPECT_EQ(kept,
              "From: 差出人 <f@x>\r\nTo: a@x,\r\n  \"B, Jr.\" <b@x>\r\nSubject: s\r\ncc: c@x\r\n"
              "\r\nBcc: not a field\r\n");
}

TEST(Rfc5322Date, LocalTimeWithItsOffsetAndAUniqueMessageId) {
    for (auto [tz, when, date] :
         {std::tuple{"JST-9", 0L, "Thu, 01 Jan 1970 09:00:00 +0900"},
          std::tuple{"<-0330>3:30", 86400L * 45, "Sat, 14 Feb 1970 20:30:00 -0330"}}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(Rfc5322Date(when), date);
    }
    ::unsetenv("TZ");
    ::tzset();
    std::string id = NewMessageId(100, "host.example");
    EXPECT_TRUE(std::regex_match(id, std::regex("<100\\.[0-9a-f]+@host\\.example>"))) << id;
    EXPECT_NE(id, NewMessageId(100, "host.example"));
    EXPECT_NE(NewMessageId(1, "").find("@localhost>"), std::string::npos);
}

// An input that hands out at most `step` bytes per read.
struct SteppedInput final : ByteInput {
    SteppedInput(std::string data, size_t step) : data_(std::move(data)), step_(step) {}
    Bytes Read(size_t size) override {
        Bytes out = data_.substr(pos_, std::min(size, step_));
        pos_ += out.size();
        return out;
    }
    const std::string& Name() const override { return data_; }
    std::string data_;
    size_t step_;
    size_t pos_ = 0;
};

Bytes Shape(const std::vector<Bytes>& pieces, bool dotStuff, bool dropFinalLineEnd) {
    TextShaper<Bytes> shaper(dotStuff, dropFinalLineEnd);
    Bytes out;
    for (const auto& piece : pieces) {
        out += shaper.Feed(piece);
    }
    return out + shaper.Finish();
}

// Rows of input, dot-stuffing, last line end dropped, output; each row whole, cut once
// anywhere, and cut with an empty piece at the cut.
TEST(TextShaper, LineEndsDotsAndTheLastLineEndWhereverThePiecesAreCut) {
    const std::tuple<const char*, bool, bool, const char*> kRows[] = {
        {"a\nb\rc\r\nd", false, false, "a\r\nb\r\nc\r\nd"},
        {"\r\r\n\n\r", false, false, "\r\n\r\n\r\n\r\n"},
        {".a\n.\nb.c\n..d", true, false, "..a\r\n..\r\nb.c\r\n...d"},
        {"x\r.y\r\n.z", true, false, "x\r\n..y\r\n..z"},
        {"x.y\n", true, true, "x.y"},
        {"a\n\n", true, true, "a\r\n"},  // an empty last line stays
        {"a\nb\n", true, true, "a\r\nb"},
        {"a\r", true, true, "a"},
        {"\n", true, true, ""},
        {"a\r", true, false, "a\r\n"}};
    for (const auto& [text, dots, drop, expected] : kRows) {
        const std::string input = text;
        EXPECT_EQ(Shape({input}, dots, drop), expected) << Escaped(input);
        for (size_t cut = 0; cut <= input.size(); ++cut) {
            Bytes head = input.substr(0, cut);
            Bytes tail = input.substr(cut);
            EXPECT_EQ(Shape({head, tail}, dots, drop), expected) << Escaped(input) << " " << cut;
            EXPECT_EQ(Shape({head, "", tail}, dots, drop), expected) << Escaped(input) << cut;
        }
    }
}

// UTF-16LE pieces whatever the read size (a UTF-8 sequence cut by a read waits for its end):
// a plain body leaves its last line end to the control, a MIME part keeps it, and large text
// is cut after a line end.
TEST(TextSource, ShapedUtf16LeWhateverTheReadSizeAndCutAfterALineEnd) {
    const std::string input = "一行目\n.dot line\r\n😀\xFFthird\rlast\n";
    std::string large;
    Text largeText;
    for (int i = 0; i < 1000; ++i) {
        large += std::string(100, 'x') + "\n";
        largeText += Text(100, u'x') + u"\r\n";
    }
    const std::tuple<std::string, bool, Text> kRows[] = {
        {input, true, u"一行目\r\n..dot line\r\n😀\uFFFDthird\r\nlast"},
        {input, false, u"一行目\r\n..dot line\r\n😀\uFFFDthird\r\nlast\r\n"},
        {"", true, u""},
        {large, false, largeText}};
    for (const auto& [data, plainBody, expected] : kRows) {
        for (size_t step : {1U, 2U, 3U, 7U, 4096U}) {
            auto source = MakeTextSource(std::make_unique<SteppedInput>(data, step), plainBody);
            std::vector<Bytes> pieces;
            Text all;
            for (Bytes piece = source->Next(); !piece.empty(); piece = source->Next()) {
                pieces.push_back(piece);
                all += Utf16LeToText(piece);
            }
            EXPECT_EQ(all, expected) << "step " << step << ", plain body " << plainBody;
            EXPECT_EQ(source->Consumed(), data.size());
            EXPECT_EQ(pieces.size() > 1, data.size() > 16384);  // 16384 units at most
            for (size_t i = 0; i + 1 < pieces.size(); ++i) {
                EXPECT_EQ(pieces[i].substr(pieces[i].size() - 4), std::string("\r\0\n\0", 4));
            }
        }
    }
    // A UTF-8 body in base64: 76-character lines across pieces; decoded, the lines as sent.
    auto codec = MakeCodec();
    for (size_t step : {7U, 4096U}) {
        auto source = MakeBase64TextSource(std::make_unique<SteppedInput>(large + input, step));
        Bytes base64;
        for (Bytes piece = source->Next(); !piece.empty(); piece = source->Next()) {
            base64 += TextToUtf8(Utf16LeToText(piece));
        }
        size_t lineStart = 0;
        for (size_t end = base64.find("\r\n"); end != Bytes::npos;
             end = base64.find("\r\n", lineStart)) {
            EXPECT_EQ(end - lineStart, 76U);
            lineStart = end + 2;
        }
        EXPECT_LE(base64.size() - lineStart, 76U);  // the last line, its line end dropped
        EXPECT_EQ(codec->DecodeBase64(base64),
                  TextToUtf8(largeText) + "一行目\r\n.dot line\r\n😀\xFFthird\r\nlast\r\n");
    }
}

// The plan's answer to the control's question (depth, part), and then the data of a leaf.
std::string Ask(MimePlan& plan, long depth, long part) {
    HeadAnswer answer;
    plan.Head(depth, part, answer);
    std::string out = answer.contentType.empty() ? "close" : U(answer.contentType);
    for (const Text* field : {&answer.contentCharset, &answer.transferEncoding,
                              &answer.originalDataFormat, &answer.contentName}) {
        out += field->empty() ? "" : " " + U(*field);
    }
    Bytes data;
    for (Bytes piece = plan.Body(); !piece.empty(); piece = plan.Body()) {
        data += piece;
    }
    bool unicode = answer.originalDataFormat == u"Unicode";
    return data.empty() ? out : out + " = " + (unicode ? U(Utf16LeToText(data)) : data);
}

// The name parameter is the file's last path component, quotes escaped, controls replaced.
TEST(MimePlan, TextAndHtmlAsAlternativesThenAttachments) {
    Scratch scratch;
    MimePlan plan(PlanParts(
        scratch.File("body.txt", "こんにちは\n.\n"), scratch.File("body.html", "<p>hi</p>\n.x\n"),
        {scratch.File("PHOTO.JPG", "%PDF"), scratch.File("\"q\\\x01.bin", "xyz")}));
    EXPECT_EQ(Ask(plan, 1, 1), "multipart/alternative");
    EXPECT_EQ(Ask(plan, 2, 1), "text/plain iso-2022-jp 7bit Unicode = こんにちは\r\n..\r\n");
    // The quoted-printable encoder escapes a leading dot itself: no dot-stuffing here.
    EXPECT_EQ(Ask(plan, 2, 2), "text/html utf-8 quoted-printable Binary = <p>hi</p>\r\n.x\r\n");
    EXPECT_EQ(Ask(plan, 2, 3), "close");
    EXPECT_EQ(Ask(plan, 1, 2), "image/jpeg base64 Binary PHOTO.JPG = %PDF");
    EXPECT_EQ(Ask(plan, 1, 3), "application/octet-stream base64 Binary \\\"q\\\\_.bin = xyz");
    EXPECT_EQ(Ask(plan, 1, 4), "close");
    EXPECT_EQ(plan.Consumed(), 18 + 13 + 4 + 3U);  // the input bytes of all four files

    MimePlan textOnly(PlanParts(scratch.File("t.txt", "x"), "", {}));
    EXPECT_EQ(Ask(textOnly, 1, 1), "text/plain iso-2022-jp 7bit Unicode = x");
    MimePlan htmlOnly(PlanParts("", scratch.File("h.html", "<b>"), {}));
    EXPECT_EQ(Ask(htmlOnly, 1, 1), "text/html utf-8 quoted-printable Binary = <b>");
    EXPECT_EQ(Ask(htmlOnly, 1, 2), "close");
    EXPECT_EQ(Ask(htmlOnly, 2, 1), "close");  // questions outside the plan
    EXPECT_EQ(Ask(htmlOnly, 1, 0), "close");
}

// The header block whole and the body in pieces, whatever lies on the 64 KiB read boundary; a
// line holding only "." ends the input unless -i.
TEST(SendmailInput, HeaderWholeBodyAsReadAndTheDotLineEndsItUnlessI) {
    // "To: a\n\n", these and "\n" put the "." (and the "\r") last in the first 64 KiB read.
    const std::string filler(65536 - 9, 'x');
    const std::string fillerCr(65536 - 10, 'x');
    const std::tuple<std::string, bool, std::string, std::string> kRows[] = {
        {"To: a\nSubject: s\n\nbody\n.\nafter\n", true, "To: a\nSubject: s\n\n", "body\n"},
        {"To: a\r\n\r\n.x\r\n.\r\nafter", true, "To: a\r\n\r\n", ".x\r\n"},
        {"To: a\n\n.\nafter\n.", false, "To: a\n\n", ".\nafter\n."},
        {"To: a\n\nend .\n..\n.", true, "To: a\n\n", "end .\n..\n."},
        {"Subject: only a header\n", true, "Subject: only a header\n", ""},
        {"To: a\rB: c\r\rbody\r\r\n", true, "To: a\rB: c\r\r", "body\r\r\n"},
        {"To: a\n\r\nbody", true, "To: a\n\r\n", "body"},
        {"To: a\n\n" + filler + "\n.\r\nafter", true, "To: a\n\n", filler + "\n"},
        {"To: a\n\n" + fillerCr + "\n.\r\nafter", true, "To: a\n\n", fillerCr + "\n"},
        {"To: a\n\n" + filler + "\n.x\n", true, "To: a\n\n", filler + "\n.x\n"},
        {"", true, "", ""},
    };
    for (const auto& [input, dotEnds, header, body] : kRows) {
        std::istringstream in(input);
        MessageInput message(in, dotEnds);
        EXPECT_EQ(message.ReadHeader(), header) << Escaped(input.substr(0, 40));
        std::string read;
        for (Bytes piece = message.NextPiece(); !piece.empty(); piece = message.NextPiece()) {
            read += piece;
        }
        EXPECT_EQ(read, body) << Escaped(input.substr(0, 40));
    }
    std::istringstream big("X: y\n\n" + std::string(100, 'b'));
    EXPECT_EQ(MessageInput(big, true).ReadHeader(50), "X: y\n\n")
        << "the limit counts the header block, not the body read with it";
    std::istringstream huge("X: " + std::string(kHeaderLimit, 'y') + "\n\nbody");
    try {
        MessageInput(huge, true).ReadHeader();
        ADD_FAILURE() << "a header block over the limit was taken";
    } catch (const SendmailError& e) {
        EXPECT_EQ(e.ExitCode(), kExDataErr);
    }
}

// -f or the From field; with -t the addresses of To, Cc and Bcc (folded, groups, comments,
// quoted names, encoded words as they are) before the arguments; Bcc never in what is sent.
TEST(SendmailEnvelope, SenderRecipientsAndTheHeaderWithoutBcc) {
    const LocalSender local{[] { return std::string("taro"); },
                            [] { return std::string("host.example"); }, 0};
    const std::string header =
        "From: =?UTF-8?B?5beu5Ye65Lq6?= <f@x>\nTo: team: a@x, \"B, Jr.\" <b@x>;,\n"
        "  c@x (Sales, Tokyo)\nBCC: h@x\nSubject: s\nCc: =?UTF-8?Q?D=C3=A9?= <d@x>\n"
        "Date: d\nMessage-Id: <m@x>\n\n";
    SendmailOptions options;
    options.recipientsFromHeader = true;
    options.to = {"arg@x", "A@X", "a@X"};  // a@X is a@x: sent once
    SendmailEnvelope envelope = ReadEnvelope(header, options, local);
    EXPECT_EQ(envelope.sender, "f@x");
    EXPECT_EQ(envelope.recipients,
              (std::vector<std::string>{"a@x", "b@x", "c@x", "h@x", "d@x", "arg@x", "A@X"}));
    EXPECT_EQ(envelope.header,
              "From: =?UTF-8?B?5beu5Ye65Lq6?= <f@x>\r\nTo: team: a@x, \"B, Jr.\" <b@x>;,\r\n"
              "  c@x (Sales, Tokyo)\r\nSubject: s\r\nCc: =?UTF-8?Q?D=C3=A9?= <d@x>\r\n"
              "Date: d\r\nMessage-Id: <m@x>\r\n\r\n");

    // Lone CR line ends, and the obsolete form with white space before the colon.
    envelope = ReadEnvelope(
        "From: f@x\rTo: a@x\rBcc : h@x\rbcc\t:\r i@x\rdate: d\rMessage-ID: m\r\r", options, local);
    EXPECT_EQ(envelope.recipients, (std::vector<std::string>{"a@x", "h@x", "i@x", "arg@x", "A@X"}));
    EXPECT_EQ(envelope.header, "From: f@x\r\nTo: a@x\r\ndate: d\r\nMessage-ID: m\r\n\r\n");

    // What the author left out: the sender from -f, else From, else the login name; a domain
    // for a name without one; From, Date and Message-ID (of the sender's domain) added.
    const std::string date = Rfc5322Date(0);
    const std::tuple<const char*, const char*, bool, const char*, const char*> kRows[] = {
        {"From: root (Cron Daemon)\nTo: a@x\n\nbody", "", false, "root@host.example",
         "From: root (Cron Daemon)\r\nTo: a@x\r\nDate: {date}\r\nMessage-ID: <0.ID@host.example>"
         "\r\n\r\nbody"},
        {"Subject: s\n", "", false, "taro@host.example",
         "Subject: s\r\nFrom: taro@host.example\r\nDate: {date}\r\nMessage-ID: <0.ID@host.example>"
         "\r\n"},
        {"Subject: s\nDate: d\n\n", "me@y.org", true, "me@y.org",
         "Subject: s\r\nDate: d\r\nFrom: me@y.org\r\nMessage-ID: <0.ID@y.org>\r\n\r\n"},
        {"From: f@x\nMessage-ID: m\n\n", "<>", true, "",
         "From: f@x\r\nMessage-ID: m\r\nDate: {date}\r\n\r\n"},
        {"\nbody", "", true, "",
         "From: taro@host.example\r\nDate: {date}\r\nMessage-ID: <0.ID@host.example>\r\n\r\n"
         "body"}};
    options.recipientsFromHeader = false;
    options.to = {R"("x\" (<y" <arg@x>)"};
    for (const auto& [text, from, given, sender, completed] : kRows) {
        options.from = from;
        options.senderGiven = given;
        envelope = ReadEnvelope(text, options, local);
        EXPECT_EQ(
            std::tuple(envelope.sender, envelope.nullSender, envelope.recipients),
            std::tuple(std::string(sender), *sender == '\0', std::vector<std::string>{"arg@x"}))
            << text;
        EXPECT_EQ(std::regex_replace(envelope.header, std::regex("<0\\.[0-9a-f]+@"), "<0.ID@"),
                  std::regex_replace(completed, std::regex("\\{date\\}"), date));
    }
    for (const auto& [text, toArgs, t] :
         {std::tuple{"Subject: nobody\n\n", std::vector<std::string>{"a@x"}, false},
          std::tuple{"From: f@x\nTo: undisclosed-recipients:;\n\n", std::vector<std::string>{},
                     true}}) {
        options.from.clear();
        options.senderGiven = false;
        options.to = toArgs;
        options.recipientsFromHeader = t;
        try {
            ReadEnvelope(text, options, {[] { return std::string(); }, local.domain, 0});
            ADD_FAILURE() << text;
        } catch (const SendmailError& e) {
            EXPECT_EQ(e.ExitCode(), kExUsage) << text;
        }
    }
}
}  // namespace
}  // namespace zef::zefmail
