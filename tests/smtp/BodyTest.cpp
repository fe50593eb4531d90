// The body after the header block: plain through MoreData, multipart through MimeHead and
// MimeBody, with the stand-in converter and the marking codec.
#include <gtest/gtest.h>

#include <deque>
#include <regex>

#include "common/Unicode.h"
#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

void Address(SmtpHarness& h) {
    h.control->FromAddr(u"a@example.jp");
    h.control->ToAddr(u"b@example.jp");
}

// --- plain body ---

TEST(SmtpPlainBody, PiecesThenTheDot) {
    SmtpHarness h;
    Address(h);
    h.plainPieces = {"first line\r\n", "second line\r\n"};
    h.RunToData("Subject: x\r\n\r\n");
    h.traces.clear();
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "first line\r\n");
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "second line\r\n");
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "\r\n.\r\n");
    EXPECT_EQ(h.moreDataIds, (std::vector<long>{1, 2, 3}));
    EXPECT_EQ(h.traces,
              (std::vector<std::string>{">>Sending More Data ...", ">>Sending More Data ...",
                                        ">>Sending Dot(EOF) ..."}));
    h.wire->RaiseSendComplete();  // the phase is over: nothing more is asked for
    EXPECT_EQ(h.moreDataIds.size(), 3U);
    h.FinishOk();
    EXPECT_EQ(h.dones.at(0).first, 0);
}

TEST(SmtpPlainBody, EmptyFirstPieceGivesOnlyTheDot) {
    SmtpHarness h;
    Address(h);
    h.control->MoreData = nullptr;  // an unset event leaves Data empty
    h.RunToData("Subject: x\r\n\r\n");
    EXPECT_EQ(h.RunBody(), "\r\n.\r\n");
    EXPECT_FALSE(h.Traced(">>Sending More Data ..."));
    EXPECT_TRUE(h.Traced(">>Sending Dot(EOF) ..."));
}

TEST(SmtpPlainBody, LinesStartingWithADotAreNotStuffed) {
    SmtpHarness h;
    Address(h);
    h.plainPieces = {".a\r\n"};
    h.RunToData("Subject: x\r\n\r\n");
    EXPECT_EQ(h.RunBody(), ".a\r\n\r\n.\r\n");
}

TEST(SmtpPlainBody, PieceThatConvertsToNothingMovesOnAtOnce) {
    SmtpHarness h;
    Address(h);
    h.RunToData("Subject: x\r\n\r\n");
    int calls = 0;
    h.control->MoreData = [&](long, Bytes& data) {
        if (++calls == 1) {
            data = "A";  // one byte: no whole UTF-16 code unit
        }
    };
    h.wire->RaiseSendComplete();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(h.Sent(), "\r\n.\r\n");
}

TEST(SmtpPlainBody, HeaderPhaseEndsAtTheFirstEmptyLine) {
    SmtpHarness h;
    Address(h);
    h.markingCodec->markHeaders = true;
    h.plainPieces = {"body\r\n"};
    const std::string sent = h.RunToData("Subject: x\r\n\r\nfirst\r\n");
    EXPECT_TRUE(sent.ends_with("{X-TALVORN: zef smtpZef 0.1\r\nSubject: x\r\n\r\n}first\r\n"))
        << sent;
    EXPECT_EQ(h.RunBody(), "body\r\n\r\n.\r\n");
}

TEST(SmtpPlainBody, HeaderWithoutEmptyLineKeepsEncodingTheBody) {
    SmtpHarness h;
    Address(h);
    h.markingCodec->markHeaders = true;
    h.plainPieces = {"\r\nbody\r\n", "more\r\n\r\nafter\r\n"};
    h.RunToData("Subject: x\r\n");
    EXPECT_EQ(h.RunBody(), "{\r\nbody\r\n}{more\r\n\r\n}after\r\n\r\n.\r\n");
}

TEST(SmtpPlainBody, OutputWaitsWhileTheSocketCannotSendAndKeepsItsOrder) {
    SmtpHarness h;
    Address(h);
    h.plainPieces = {"one\r\n", "two\r\n", "three\r\n"};
    h.RunToData("Subject: x\r\n\r\n");
    h.wire->canSend = false;
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "");  // "one" waits
    h.wire->RaiseSendComplete();
    // "one" is flushed without asking CanSend; "two" waits: never more than one turn is kept.
    EXPECT_EQ(h.Sent(), "one\r\n");
    h.wire->canSend = true;
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "two\r\nthree\r\n");
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "\r\n.\r\n");
}

TEST(SmtpPlainBody, CommandsWaitTooWhileTheSocketCannotSend) {
    SmtpHarness h;
    Address(h);
    h.Send("");
    h.wire->RaiseConnected();
    h.wire->canSend = false;
    h.Reply("220 ready");
    EXPECT_EQ(h.Sent(), "");
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
}

// --- MIME body ---

struct Head {
    std::string format = "BINARY", type, name, charset, encoding, additional;
};

// The application side of a multipart message: a script of MimeHead answers and of pieces
// per part, with a log of every call.
class MimeScript {
  public:
    explicit MimeScript(SmtpHarness& h) {
        h.control->MimeHead = [this](long depth, long part, Text& format, Text& type, Text& name,
                                     Text& charset, Text& encoding, Text& additional) {
            calls.push_back("H" + std::to_string(depth) + "." + std::to_string(part));
            EXPECT_EQ(format, u"BINARY");
            EXPECT_TRUE(type.empty() && name.empty() && charset.empty() && encoding.empty() &&
                        additional.empty());
            if (heads.empty()) {
                return;
            }
            const Head head = heads.front();
            heads.pop_front();
            format = T(head.format);
            type = T(head.type);
            name = T(head.name);
            charset = T(head.charset);
            encoding = T(head.encoding);
            additional = T(head.additional);
        };
        h.control->MimeBody = [this](long depth, long part, Bytes& data) {
            calls.push_back("B" + std::to_string(depth) + "." + std::to_string(part));
            if (!pieces.empty()) {
                data = pieces.front();
                pieces.pop_front();
            }
        };
    }
    std::deque<Head> heads;    // an empty type closes the open multipart
    std::deque<Bytes> pieces;  // an empty piece ends the part
    std::vector<std::string> calls;
};

Bytes Utf16(const std::string& utf8) {
    return TextToUtf16Le(T(utf8));
}

std::string Boundary(const std::string& sent, const std::string& suffix) {
    std::smatch match;
    const std::regex pattern("-----_=_Boundary_[0-9]{14}" + suffix);
    EXPECT_TRUE(std::regex_search(sent, match, pattern)) << suffix;
    return match.empty() ? std::string() : match.str();
}

TEST(SmtpMimeBody, NoPartsClosesAtOnce) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"mixed");
    MimeScript script(h);
    const std::string header = h.RunToData("Subject: x\r\n");
    const std::string b1 = Boundary(header, "_1_1");
    h.traces.clear();
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "\r\n--" + b1 + "--\r\n.\r\n");
    EXPECT_EQ(script.calls, std::vector<std::string>{"H1.1"});
    EXPECT_EQ(h.traces, std::vector<std::string>{">>Sending Dot(EOF) ..."});
}

TEST(SmtpMimeBody, NestedMultipartExactBytes) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"mixed");
    MimeScript script(h);
    script.heads = {
        {"Unicode", "text/plain", "", "iso-2022-jp", "7bit", ""},
        {"", "multipart/alternative", "", "", "", ""},
        {"unicode", "text/plain", "", "", "", ""},
        {"U", "text/html", "", "utf-8", "8bit", "Content-ID: <x>\r\nX-A: 1"},
        {},  // closes the alternative
        {"Binary", "application/octet-stream", "a.bin", "", "base64", ""},
        {},  // closes the message
    };
    script.pieces = {Utf16("Hello\r\n"),
                     "",
                     Utf16("plain"),
                     "",
                     Utf16("<p>hi</p>"),
                     "",
                     "\x01\x02\x03",
                     "\x04",
                     ""};
    const std::string header = h.RunToData("Subject: x\r\n");
    const std::string b1 = Boundary(header, "_1_1");
    std::string body = h.RunBody();
    const std::string b2 = Boundary(body, "_2_2");
    EXPECT_EQ(body, "\r\n--" + b1 +
                        "\r\n"
                        "Content-Type: text/plain;\r\n\tcharset=iso-2022-jp\r\n"
                        "Content-Transfer-Encoding: 7bit\r\n\r\n"
                        "Hello\r\n"
                        "\r\n--" +
                        b1 +
                        "\r\n"
                        "Content-Type: multipart/alternative;\r\n\tcharset=iso-2022-jp;\r\n"
                        "\tboundary=\"" +
                        b2 +
                        "\"\r\n"
                        "\r\n--" +
                        b2 +
                        "\r\n"
                        "Content-Type: text/plain\r\n\r\n"
                        "plain"
                        "\r\n--" +
                        b2 +
                        "\r\n"
                        "Content-Type: text/html;\r\n\tcharset=utf-8\r\n"
                        "Content-Transfer-Encoding: 8bit\r\n"
                        "Content-ID: <x>\r\nX-A: 1\r\n\r\n"
                        "<p>hi</p>"
                        "\r\n--" +
                        b2 +
                        "--\r\n"
                        "\r\n--" +
                        b1 +
                        "\r\n"
                        "Content-Type: application/octet-stream;\r\n\tname=\"a.bin\"\r\n"
                        "Content-Transfer-Encoding: base64\r\n\r\n"
                        "[B64:\x01\x02\x03]\r\n"
                        "[B64:\x04]\r\n"
                        "\r\n--" +
                        b1 +
                        "--\r\n"
                        ".\r\n");
    EXPECT_EQ(script.calls, (std::vector<std::string>{
                                "H1.1", "B1.1", "B1.1", "H1.2", "H2.1", "B2.1", "B2.1", "H2.2",
                                "B2.2", "B2.2", "H2.3", "H1.3", "B1.3", "B1.3", "B1.3", "H1.4"}));
    h.FinishOk();
    EXPECT_EQ(h.dones.at(0).first, 0);
}

TEST(SmtpMimeBody, EachTurnSendsOnePieceOrOneRunOfHeaders) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"mixed");
    MimeScript script(h);
    script.heads = {{"B", "application/x", "", "", "", ""}, {"B", "application/y", "", "", "", ""}};
    script.pieces = {"aa", "bb", "", "cc", ""};
    const std::string b1 = Boundary(h.RunToData(""), "_1_1");
    std::vector<std::string> turns;
    for (int i = 0; i < 6; ++i) {
        h.wire->RaiseSendComplete();
        turns.push_back(h.Sent());
    }
    EXPECT_EQ(turns, (std::vector<std::string>{
                         "\r\n--" + b1 + "\r\nContent-Type: application/x\r\n\r\n", "aa", "bb",
                         "\r\n--" + b1 + "\r\nContent-Type: application/y\r\n\r\n", "cc",
                         "\r\n--" + b1 + "--\r\n.\r\n"}));
}

TEST(SmtpMimeBody, Base64PieceIsCutIntoChunksOf57Bytes) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"mixed");
    MimeScript script(h);
    script.heads = {{"B", "application/x", "", "", "BASE64", ""}};
    const std::string piece(58, 'q');
    script.pieces = {piece, ""};
    h.RunToData("");
    const std::string body = h.RunBody();
    EXPECT_NE(body.find("Content-Transfer-Encoding: BASE64\r\n\r\n[B64:" + std::string(57, 'q') +
                        "]\r\n[B64:q]\r\n\r\n--"),
              std::string::npos)
        << body;
}

TEST(SmtpMimeBody, QuotedPrintableAndPassThroughEncodings) {
    for (const auto& [encoding, expected] :
         {std::pair<std::string, std::string>{"Quoted-Printable", "[QP:caf\xC3\xA9]"},
          {"", "caf\xC3\xA9"},
          {"7BIT", "caf\xC3\xA9"},
          {"8bit", "caf\xC3\xA9"},
          {"binary", "caf\xC3\xA9"}}) {
        SmtpHarness h;
        Address(h);
        h.control->MimeMultipart(u"mixed");
        MimeScript script(h);
        script.heads = {{"b", "application/x", "", "", encoding, ""}};
        script.pieces = {"caf\xC3\xA9", ""};
        h.RunToData("");
        const std::string body = h.RunBody();
        EXPECT_NE(body.find("\r\n\r\n" + expected + "\r\n--"), std::string::npos)
            << encoding << ": " << body;
    }
}

TEST(SmtpMimeBody, CapitalMultipartTypeIsALeafPart) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"mixed");
    MimeScript script(h);
    script.heads = {{"B", "Multipart/Mixed", "", "", "", ""}};
    script.pieces = {"raw", ""};
    h.RunToData("");
    const std::string body = h.RunBody();
    EXPECT_EQ(body.find("_2_"), std::string::npos);  // no nested boundary was made
    EXPECT_NE(body.find("Content-Type: Multipart/Mixed\r\n\r\nraw"), std::string::npos) << body;
    EXPECT_EQ(script.calls, (std::vector<std::string>{"H1.1", "B1.1", "B1.1", "H1.2"}));
}

TEST(SmtpMimeBody, TextPieceSplitInsideACodeUnitLosesNothing) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"mixed");
    MimeScript script(h);
    script.heads = {{"Unicode", "text/plain", "", "", "", ""}};
    const Bytes text = Utf16("abc");
    script.pieces = {text.substr(0, 3), text.substr(3), ""};
    h.RunToData("");
    const std::string body = h.RunBody();
    EXPECT_NE(body.find("\r\n\r\nabc\r\n--"), std::string::npos) << body;
}

TEST(SmtpMimeBody, RefusedPartsAreTracedAndEndByTheTransferTimeout) {
    for (const auto& [format, encoding, description] :
         {std::tuple<std::string, std::string, std::string>{"", "base64", "INVALID DataFormat"},
          {"Xml", "7bit", "INVALID DataFormat"},
          {"Unicode", "uuencode", "INVALID ENCODE-TYPE:uuencode"},
          {"?", "uuencode", "INVALID DataFormat"}}) {  // the format is checked first
        SmtpHarness h;
        Address(h);
        h.control->MimeMultipart(u"mixed");
        h.control->TransTimeout(2);
        MimeScript script(h);
        script.heads = {{format, "text/plain", "", "", encoding, ""}};
        h.RunToData("");
        h.traces.clear();
        EXPECT_NO_THROW(h.wire->RaiseSendComplete());
        EXPECT_EQ(h.Sent(), "") << description;
        EXPECT_EQ(h.traces, std::vector<std::string>{description});
        EXPECT_TRUE(h.dones.empty());
        EXPECT_EQ(h.wire->closeCalls, 0);
        h.timer->Fire(3);
        EXPECT_EQ(h.wire->closeCalls, 1);
        h.wire->RaiseClosed();
        EXPECT_EQ(h.dones.at(0), std::make_pair(-4L, std::string("trans timeout")));
    }
}

TEST(SmtpMimeBody, NestedMultipartIsNotChecked) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"parallel");
    MimeScript script(h);
    script.heads = {{"", "multipart/related", "", "", "uuencode", ""}, {}, {}};
    h.RunToData("");
    const std::string body = h.RunBody();
    EXPECT_TRUE(body.ends_with("--\r\n.\r\n")) << body;
    EXPECT_EQ(script.calls, (std::vector<std::string>{"H1.1", "H2.1", "H1.2"}));
}

TEST(SmtpMimeBody, NextSendStartsCleanAfterOneThatEndedInsideAPart) {
    SmtpHarness h;
    Address(h);
    h.control->MimeMultipart(u"mixed");
    MimeScript script(h);
    script.heads = {{"", "multipart/alternative", "", "", "", ""},
                    {"B", "application/x", "", "", "", ""}};
    script.pieces = {"partial"};
    h.RunToData("");
    h.wire->RaiseSendComplete();
    h.wire->RaiseSendComplete();
    h.wire->RaiseClosed();  // dropped inside the nested part
    EXPECT_EQ(h.dones.at(0).first, -2);
    h.Sent();

    script.calls.clear();
    script.heads = {{}};
    const std::string b1 = Boundary(h.RunToData(""), "_1_1");
    EXPECT_EQ(h.RunBody(), "\r\n--" + b1 + "--\r\n.\r\n");
    EXPECT_EQ(script.calls, std::vector<std::string>{"H1.1"});
}

}  // namespace
}  // namespace zef::testing
