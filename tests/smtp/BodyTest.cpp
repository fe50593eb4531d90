// The body after the header block: plain through MoreData, multipart through MimeHead and
// MimeBody, with the stand-in converter and the marking codec.
#include <gtest/gtest.h>

#include <deque>
#include <regex>

#include "common/Unicode.h"
#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

// --- plain body ---

TEST(SmtpPlainBody, PiecesThenTheDot) {
    SmtpHarness h;
    h.Address();
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

TEST(SmtpPlainBody, EmptyOrUnconvertiblePiecesAndLeadingDots) {
    SmtpHarness unset;
    unset.Address();
    unset.control->MoreData = nullptr;  // an unset event leaves Data empty
    unset.RunToData("Subject: x\r\n\r\n");
    EXPECT_EQ(unset.RunBody(), "\r\n.\r\n");
    EXPECT_FALSE(unset.Traced(">>Sending More Data ..."));
    EXPECT_TRUE(unset.Traced(">>Sending Dot(EOF) ..."));

    SmtpHarness dot;  // the application's lines are sent as they are, without stuffing
    dot.Address();
    dot.plainPieces = {".a\r\n"};
    dot.RunToData("Subject: x\r\n\r\n");
    EXPECT_EQ(dot.RunBody(), ".a\r\n\r\n.\r\n");

    SmtpHarness h;  // a piece that converts to nothing moves on at once
    h.Address();
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
    h.Address();
    h.markingCodec->markHeaders = true;
    h.plainPieces = {"body\r\n"};
    const std::string sent = h.RunToData("Subject: x\r\n\r\nfirst\r\n");
    EXPECT_TRUE(sent.ends_with("{X-TALVORN: zef smtpZef 0.1\r\nSubject: x\r\n\r\n}first\r\n"))
        << sent;
    EXPECT_EQ(h.RunBody(), "body\r\n\r\n.\r\n");
}

TEST(SmtpPlainBody, HeaderWithoutEmptyLineKeepsEncodingTheBody) {
    SmtpHarness h;
    h.Address();
    h.markingCodec->markHeaders = true;
    h.plainPieces = {"\r\nbody\r\n", "more\r\n\r\nafter\r\n"};
    h.RunToData("Subject: x\r\n");
    EXPECT_EQ(h.RunBody(), "{\r\nbody\r\n}{more\r\n\r\n}after\r\n\r\n.\r\n");
}

TEST(SmtpPlainBody, OutputWaitsWhileTheSocketCannotSendAndKeepsItsOrder) {
    SmtpHarness h;
    h.Address();
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
    h.Address();
    h.Open();
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

// A multipart send and the application's side of it: a script of MimeHead answers and of
// pieces per part, with a log of every call.
class MimeSend {
  public:
    explicit MimeSend(std::deque<Head> heads = {}, std::deque<Bytes> pieces = {},
                      const char16_t* subtype = u"mixed")
        : heads(std::move(heads)), pieces(std::move(pieces)) {
        h.Address();
        h.control->MimeMultipart(subtype);
        h.control->MimeHead = [this](long depth, long part, Text& format, Text& type, Text& name,
                                     Text& charset, Text& encoding, Text& additional) {
            calls.push_back("H" + std::to_string(depth) + "." + std::to_string(part));
            EXPECT_EQ(format, u"BINARY");
            EXPECT_TRUE(type.empty() && name.empty() && charset.empty() && encoding.empty() &&
                        additional.empty());
            if (this->heads.empty()) {
                return;
            }
            const Head head = this->heads.front();
            this->heads.pop_front();
            format = T(head.format);
            type = T(head.type);
            name = T(head.name);
            charset = T(head.charset);
            encoding = T(head.encoding);
            additional = T(head.additional);
        };
        h.control->MimeBody = [this](long depth, long part, Bytes& data) {
            calls.push_back("B" + std::to_string(depth) + "." + std::to_string(part));
            if (!this->pieces.empty()) {
                data = this->pieces.front();
                this->pieces.pop_front();
            }
        };
    }
    // The whole body, after the header block (kept in `header`).
    std::string Body() {
        header = h.RunToData("");
        return h.RunBody();
    }

    SmtpHarness h;
    std::deque<Head> heads;    // an empty type closes the open multipart
    std::deque<Bytes> pieces;  // an empty piece ends the part
    std::vector<std::string> calls;
    std::string header;
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
    MimeSend m;
    const std::string b1 = Boundary(m.h.RunToData(""), "_1_1");
    m.h.traces.clear();
    m.h.wire->RaiseSendComplete();
    EXPECT_EQ(m.h.Sent(), "\r\n--" + b1 + "--\r\n.\r\n");
    EXPECT_EQ(m.calls, std::vector<std::string>{"H1.1"});
    EXPECT_EQ(m.h.traces, std::vector<std::string>{">>Sending Dot(EOF) ..."});
}

TEST(SmtpMimeBody, NestedMultipartExactBytes) {
    MimeSend m({{"Unicode", "text/plain", "", "iso-2022-jp", "7bit", ""},
                {"", "multipart/alternative", "", "", "", ""},
                {"unicode", "text/plain", "", "", "", ""},
                {"U", "text/html", "", "utf-8", "8bit", "Content-ID: <x>\r\nX-A: 1"},
                {},  // closes the alternative
                {"Binary", "application/octet-stream", "a.bin", "", "base64", ""},
                {}},  // closes the message
               {Utf16("Hello\r\n"), "", Utf16("plain"), "", Utf16("<p>hi</p>"), "", "\x01\x02\x03",
                "\x04", ""});
    const std::string body = m.Body();
    const std::string b1 = Boundary(m.header, "_1_1");
    const std::string b2 = Boundary(body, "_2_2");
    EXPECT_EQ(body, "\r\n--" + b1 + "\r\n" +
                        "Content-Type: text/plain;\r\n\tcharset=iso-2022-jp\r\n"
                        "Content-Transfer-Encoding: 7bit\r\n\r\n"
                        "Hello\r\n"
                        "\r\n--" +
                        b1 + "\r\n" +
                        "Content-Type: multipart/alternative;\r\n\tcharset=iso-2022-jp;\r\n"
                        "\tboundary=\"" +
                        b2 + "\"\r\n" + "\r\n--" + b2 + "\r\n" +
                        "Content-Type: text/plain\r\n\r\n"
                        "plain"
                        "\r\n--" +
                        b2 + "\r\n" +
                        "Content-Type: text/html;\r\n\tcharset=utf-8\r\n"
                        "Content-Transfer-Encoding: 8bit\r\n"
                        "Content-ID: <x>\r\nX-A: 1\r\n\r\n"
                        "<p>hi</p>"
                        "\r\n--" +
                        b2 + "--\r\n" + "\r\n--" + b1 + "\r\n" +
                        "Content-Type: application/octet-stream;\r\n\tname=\"a.bin\"\r\n"
                        "Content-Transfer-Encoding: base64\r\n\r\n"
                        "[B64:\x01\x02\x03]\r\n"
                        "[B64:\x04]\r\n"
                        "\r\n--" +
                        b1 + "--\r\n" + ".\r\n");
    EXPECT_EQ(m.calls, (std::vector<std::string>{"H1.1", "B1.1", "B1.1", "H1.2", "H2.1", "B2.1",
                                                 "B2.1", "H2.2", "B2.2", "B2.2", "H2.3", "H1.3",
                                                 "B1.3", "B1.3", "B1.3", "H1.4"}));
    m.h.FinishOk();
    EXPECT_EQ(m.h.OnlyDone().first, 0);
}

TEST(SmtpMimeBody, EachTurnSendsOnePieceOrOneRunOfHeaders) {
    MimeSend m({{"B", "application/x", "", "", "", ""}, {"B", "application/y", "", "", "", ""}},
               {"aa", "bb", "", "cc", ""});
    const std::string b1 = Boundary(m.h.RunToData(""), "_1_1");
    std::vector<std::string> turns;
    for (int i = 0; i < 6; ++i) {
        m.h.wire->RaiseSendComplete();
        turns.push_back(m.h.Sent());
    }
    EXPECT_EQ(turns, (std::vector<std::string>{
                         "\r\n--" + b1 + "\r\nContent-Type: application/x\r\n\r\n", "aa", "bb",
                         "\r\n--" + b1 + "\r\nContent-Type: application/y\r\n\r\n", "cc",
                         "\r\n--" + b1 + "--\r\n.\r\n"}));
}

// What one leaf part's data turns into on the wire, per format and encoding.
TEST(SmtpMimeBody, EncodingsOfALeafPart) {
    struct Case {
        Head head;
        std::deque<Bytes> pieces;
        std::string expected;  // between the part's empty line and the next delimiter
    };
    const Bytes abc = Utf16("abc");
    const Case cases[] = {
        // base64 pieces are cut into chunks of 57 bytes
        {{"B", "application/x", "", "", "BASE64", ""},
         {std::string(58, 'q'), ""},
         "[B64:" + std::string(57, 'q') + "]\r\n[B64:q]\r\n"},
        {{"b", "application/x", "", "", "Quoted-Printable", ""},
         {"caf\xC3\xA9", ""},
         "[QP:caf\xC3\xA9]"},
        {{"b", "application/x", "", "", "", ""}, {"caf\xC3\xA9", ""}, "caf\xC3\xA9"},
        {{"b", "application/x", "", "", "7BIT", ""}, {"caf\xC3\xA9", ""}, "caf\xC3\xA9"},
        {{"b", "application/x", "", "", "8bit", ""}, {"caf\xC3\xA9", ""}, "caf\xC3\xA9"},
        {{"b", "application/x", "", "", "binary", ""}, {"caf\xC3\xA9", ""}, "caf\xC3\xA9"},
        // a text piece split inside a code unit loses nothing
        {{"Unicode", "text/plain", "", "", "", ""}, {abc.substr(0, 3), abc.substr(3), ""}, "abc"},
    };
    for (const Case& c : cases) {
        MimeSend m({c.head}, c.pieces);
        const std::string body = m.Body();
        EXPECT_NE(body.find("\r\n\r\n" + c.expected + "\r\n--"), std::string::npos)
            << c.head.encoding << ": " << body;
    }
}

TEST(SmtpMimeBody, CapitalMultipartTypeIsALeafPart) {
    MimeSend m({{"B", "Multipart/Mixed", "", "", "", ""}}, {"raw", ""});
    const std::string body = m.Body();
    EXPECT_EQ(body.find("_2_"), std::string::npos);  // no nested boundary was made
    EXPECT_NE(body.find("Content-Type: Multipart/Mixed\r\n\r\nraw"), std::string::npos) << body;
    EXPECT_EQ(m.calls, (std::vector<std::string>{"H1.1", "B1.1", "B1.1", "H1.2"}));
}

TEST(SmtpMimeBody, RefusedPartsAreTracedAndEndByTheTransferTimeout) {
    for (const auto& [format, encoding, description] :
         {std::tuple<std::string, std::string, std::string>{"", "base64", "INVALID DataFormat"},
          {"Xml", "7bit", "INVALID DataFormat"},
          {"Unicode", "uuencode", "INVALID ENCODE-TYPE:uuencode"},
          {"?", "uuencode", "INVALID DataFormat"}}) {  // the format is checked first
        MimeSend m({{format, "text/plain", "", "", encoding, ""}});
        m.h.control->TransTimeout(2);
        m.h.RunToData("");
        m.h.traces.clear();
        EXPECT_NO_THROW(m.h.wire->RaiseSendComplete());
        EXPECT_EQ(m.h.Sent(), "") << description;
        EXPECT_EQ(m.h.traces, std::vector<std::string>{description});
        EXPECT_TRUE(m.h.dones.empty());
        EXPECT_EQ(m.h.wire->closeCalls, 0);
        m.h.timer->Fire(3);
        EXPECT_EQ(m.h.wire->closeCalls, 1);
        EXPECT_EQ(m.h.CloseAndDone(), Outcome(-4, "trans timeout"));
    }
}

TEST(SmtpMimeBody, NestedMultipartIsNotChecked) {
    MimeSend m({{"", "multipart/related", "", "", "uuencode", ""}, {}, {}}, {}, u"parallel");
    const std::string body = m.Body();
    EXPECT_TRUE(body.ends_with("--\r\n.\r\n")) << body;
    EXPECT_EQ(m.calls, (std::vector<std::string>{"H1.1", "H2.1", "H1.2"}));
}

TEST(SmtpMimeBody, NextSendStartsCleanAfterOneThatEndedInsideAPart) {
    MimeSend m(
        {{"", "multipart/alternative", "", "", "", ""}, {"B", "application/x", "", "", "", ""}},
        {"partial"});
    m.h.RunToData("");
    m.h.wire->RaiseSendComplete();
    m.h.wire->RaiseSendComplete();
    EXPECT_EQ(m.h.CloseAndDone().first, -2);  // dropped inside the nested part
    m.h.Sent();

    m.calls.clear();
    m.heads = {{}};
    const std::string b1 = Boundary(m.h.RunToData(""), "_1_1");
    EXPECT_EQ(m.h.RunBody(), "\r\n--" + b1 + "--\r\n.\r\n");
    EXPECT_EQ(m.calls, std::vector<std::string>{"H1.1"});
}

}  // namespace
}  // namespace zef::testing
