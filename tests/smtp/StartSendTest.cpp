// The start of a send: refusals, the sender and recipients, the header block and the connect.
#include <gtest/gtest.h>

#include <regex>

#include "common/Error.h"
#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

// Greeting and replies up to the last RCPT: returns the MAIL and RCPT lines sent.
std::string Envelope(SmtpHarness& h, int recipients) {
    h.wire->RaiseConnected();
    h.Reply("220 ready");
    h.Sent();  // HELO
    h.Reply("250 hello");
    h.Reply("250 sender ok");
    for (int i = 1; i < recipients; ++i) {
        h.Reply("250 ok");
    }
    return h.Sent();
}

TEST(SmtpStart, ConnectsWithServerPortAndOptionAndShowsCaption) {
    SmtpHarness h;
    h.control->ToAddr(u"to@example.jp");
    h.control->FromAddr(u"from@example.jp");
    h.control->Port(u"2525");
    h.control->Fold78(0);
    h.control->Hostname(u"");
    h.Send("Subject: x\r\n", "smtp.example.jp");
    ASSERT_EQ(h.wire->connects.size(), 1U);
    EXPECT_EQ(h.wire->connects[0].host, "smtp.example.jp");
    EXPECT_EQ(h.wire->connects[0].port, "2525");
    EXPECT_EQ(h.wire->connects[0].options, "0");
    EXPECT_EQ(h.control->Caption(), u"CONNECTING TO smtp.example.jp");
    EXPECT_EQ(h.markingCodec->foldLines, 0);
    EXPECT_EQ(h.asciiGlyph->kanjiIn, "$B");
    EXPECT_EQ(h.asciiGlyph->kanjiOut, "(J");
    EXPECT_EQ(h.control->Hostname(), u"client.example");
    EXPECT_TRUE(h.dones.empty());
}

TEST(SmtpStart, EmptyKanjiEscapesAreNotHandedOn) {
    SmtpHarness h;
    h.control->ToAddr(u"to@example.jp");
    h.control->FromAddr(u"from@example.jp");
    h.control->KanjiIn(u"");
    h.control->KanjiOut(u"");
    h.Send("");
    EXPECT_EQ(h.asciiGlyph->kanjiIn, "");
    EXPECT_EQ(h.asciiGlyph->kanjiOut, "");
}

TEST(SmtpStart, SecondSendWhileRunningRaises59AndLeavesTheFirstAlone) {
    SmtpHarness h;
    h.control->ToAddr(u"to@example.jp");
    h.control->FromAddr(u"from@example.jp");
    h.Send("");
    h.wire->RaiseConnected();
    try {
        h.Send("", "other.example");
        FAIL() << "second send accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 59);
        EXPECT_EQ(e.source(), "TALVORN:Smtp");
        EXPECT_EQ(e.description(), u"処理中です。");
    }
    EXPECT_EQ(h.wire->connects.size(), 1U);
    EXPECT_EQ(h.control->Caption(), u"CONNECTING TO mx.example");
    h.Reply("220 ready");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
    EXPECT_TRUE(h.dones.empty());
}

struct Refusal {
    const char* name;
    Variant toAddr;
    const char* fromAddr;
    const char* subtype;
    const char* header;
    const char* message;
};

class SmtpRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SmtpRefusal, EndsInsideSmtpWithDoneAndCaption) {
    const Refusal& r = GetParam();
    SmtpHarness h;
    h.control->ToAddr(r.toAddr);
    h.control->FromAddr(T(r.fromAddr));
    h.control->MimeMultipart(T(r.subtype));
    h.Send(r.header);
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0].first, -1);
    EXPECT_EQ(h.dones[0].second, r.message);
    EXPECT_EQ(U(h.control->Caption()), r.message);
    EXPECT_TRUE(h.wire->connects.empty());
    EXPECT_FALSE(h.timer->Enabled());
    // The phase is idle again: the next call is accepted rather than refused with 59.
    EXPECT_NO_THROW(h.Send(r.header));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, SmtpRefusal,
    ::testing::Values(Refusal{"NoRecipient", Variant(), "", "",
                              "From: a@example.jp\r\nSubject: x\r\n", "NO RECIPIENT ADDRESS"},
                      Refusal{"HeaderWithoutCrLf", Variant(), "a@example.jp", "",
                              "To: b@example.jp", "NO RECIPIENT ADDRESS"},
                      // ToAddr gives the recipients, so the header's From is never read.
                      Refusal{"NoFromWhenToAddrSet", Variant(u"b@example.jp"), "  ", "",
                              "From: a@example.jp\r\n", "NO FROM ADDRESS"},
                      Refusal{"UpperCaseSubtype", Variant(u"b@example.jp"), "a@example.jp", "MIXED",
                              "", "INVALID MimeMultipartSubType"},
                      Refusal{"LineBreakInToAddr", Variant(u"b@example.jp\r\nRSET"), "a@example.jp",
                              "", "", "INVALID CHARACTER IN ToAddr"},
                      Refusal{
                          "LineBreakInArrayElement",
                          Variant(StringArray::OneBased({u"ok@example.jp", u"b@example.jp\nDATA"})),
                          "a@example.jp", "", "", "INVALID CHARACTER IN ToAddr"},
                      Refusal{"LineBreakInFromAddr", Variant(u"b@example.jp"), "a@example.jp\rQUIT",
                              "", "", "INVALID CHARACTER IN FromAddr"},
                      Refusal{"LineBreakInHeaderAddress", Variant(), "", "",
                              "From: a@example.jp\nRCPT TO:<x@evil>\r\nTo: b@example.jp\r\n",
                              "INVALID CHARACTER IN MailHeader"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(SmtpStart, LineBreakInHostnameOrUserRefusesTheSend) {
    {
        SmtpHarness h;
        h.control->ToAddr(u"b@example.jp");
        h.control->FromAddr(u"a@example.jp");
        h.control->Hostname(u"me\r\nMAIL FROM:<x>");
        h.Send("");
        ASSERT_EQ(h.dones.size(), 1U);
        EXPECT_EQ(h.dones[0], std::make_pair(-1L, std::string("INVALID CHARACTER IN Hostname")));
    }
    {
        SmtpHarness h;
        h.control->ToAddr(u"b@example.jp");
        h.control->FromAddr(u"a@example.jp");
        h.control->User(u"tim\n");
        h.Send("");  // no AUTH: the user name goes nowhere and is not checked
        EXPECT_TRUE(h.dones.empty());
    }
    {
        SmtpHarness h;
        h.control->ToAddr(u"b@example.jp");
        h.control->FromAddr(u"a@example.jp");
        h.control->Auth(2);
        h.control->User(u"tim\n");
        h.Send("");
        ASSERT_EQ(h.dones.size(), 1U);
        EXPECT_EQ(h.dones[0].second, "INVALID CHARACTER IN User");
        EXPECT_EQ(h.control->Caption(), u"INVALID CHARACTER IN User");
    }
}

TEST(SmtpStart, PlainAuthRefusesNulInUserOrPassword) {
    for (const auto& [user, pass, field] : {std::tuple{Text(u"ti\0m", 4), Text(u"pw"), "User"},
                                            std::tuple{Text(u"tim"), Text(u"p\0w", 3), "Pass"}}) {
        SmtpHarness h;
        h.control->ToAddr(u"b@example.jp");
        h.control->FromAddr(u"a@example.jp");
        h.control->Auth(3);
        h.control->User(user);
        h.control->Pass(pass);
        h.Send("");
        ASSERT_EQ(h.dones.size(), 1U);
        EXPECT_EQ(h.dones[0].second, std::string("INVALID CHARACTER IN ") + field);
    }
    SmtpHarness login;  // LOGIN sends each in base64 on its own: a NUL harms nothing
    login.control->ToAddr(u"b@example.jp");
    login.control->FromAddr(u"a@example.jp");
    login.control->Auth(2);
    login.control->Pass(Text(u"p\0w", 3));
    login.Send("");
    EXPECT_TRUE(login.dones.empty());
}

TEST(SmtpStart, ConnectErrorEndsInsideSmtp) {
    SmtpHarness h;
    h.control->ToAddr(u"b@example.jp");
    h.control->FromAddr(u"a@example.jp");
    h.control->ConnectTimeout(5);
    h.wire->throwOnConnect = true;
    h.Send("");
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0], std::make_pair(10049L, std::string("address not available")));
    EXPECT_EQ(h.control->Caption(), u"Connect Error(10049)address not available");
    EXPECT_FALSE(h.timer->Enabled());
    h.wire->throwOnConnect = false;
    EXPECT_NO_THROW(h.Send(""));
}

TEST(SmtpStart, NewSendFromInsideDoneOfARefusedSend) {
    SmtpHarness h;
    h.control->FromAddr(u"a@example.jp");
    int calls = 0;
    h.control->Done = [&](long code, const Text& message) {
        h.dones.emplace_back(code, U(message));
        if (++calls == 1) {
            h.control->ToAddr(u"b@example.jp");
            h.control->Smtp(u"mx.example", u"");
        }
    };
    h.Send("");  // no recipient
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0].second, "NO RECIPIENT ADDRESS");
    EXPECT_EQ(h.wire->connects.size(), 1U);
    EXPECT_EQ(h.control->Caption(), u"CONNECTING TO mx.example");
}

TEST(SmtpStart, GiantHeaderEndsWithTheOverflowInsteadOfSticking) {
    SmtpHarness h;
    h.control->FromAddr(u"a@example.jp");
    std::string header = "To: b@example.jp\r\nX-Long: " + std::string(40000, 'x') + "\r\n";
    h.Send(header);
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0], std::make_pair(6L, std::string("Overflow")));
    EXPECT_TRUE(h.wire->connects.empty());
    h.control->ToAddr(u"b@example.jp");  // the header is then not read
    EXPECT_NO_THROW(h.Send(header));
    EXPECT_EQ(h.wire->connects.size(), 1U);
}

// --- where the recipients come from ---

TEST(SmtpRecipients, StringToAddrIsOneRecipientUntrimmed) {
    SmtpHarness h;
    h.control->ToAddr(u"b@example.jp");
    h.control->FromAddr(u"a@example.jp");
    h.Send("To: header@example.jp\r\n");
    EXPECT_EQ(Envelope(h, 1), "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\n");
}

TEST(SmtpRecipients, OneBasedArrayGivesItsNonBlankElementsInOrder) {
    SmtpHarness h;
    h.control->ToAddr(StringArray::OneBased({u"b@example.jp", u"   ", u"Cee <c@example.jp>"}));
    h.control->FromAddr(u"a@example.jp");
    h.Send("");
    EXPECT_EQ(Envelope(h, 2),
              "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\nRCPT TO:<c@example.jp>\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.Sent(), "DATA\r\n");
}

TEST(SmtpRecipients, ElementZeroAndOtherTypesGiveNoneSoTheHeaderIsRead) {
    const Variant values[] = {Variant(StringArray{0, {u"zero@example.jp"}}), Variant(7L), Variant(),
                              Variant(true)};
    for (const Variant& value : values) {
        SmtpHarness h;
        h.control->ToAddr(value);
        h.Send("From: Aa <a@example.jp>\r\nTo: h@example.jp\r\n\r\n");
        EXPECT_EQ(Envelope(h, 1), "MAIL FROM:<a@example.jp>\r\nRCPT TO:<h@example.jp>\r\n")
            << value.VarType();
    }
}

TEST(SmtpRecipients, HeaderFieldsFoldingCommasAndTheEndOfTheHeader) {
    SmtpHarness h;
    h.Send(
        "from: Old <old@example.jp>\r\n"
        "To: \"Sato, Taro\" <t@example.jp>, u@example.jp,\r\n"
        " \tv@example.jp\r\n"
        "Subject: Cc: not@example.jp\r\n"
        "CC: w@example.jp\r\n"
        "Bcc: x@example.jp (hidden)\r\n"
        "From: Hanako <h@example.jp>\r\n"
        "\r\n"
        "To: body@example.jp\r\n");
    EXPECT_EQ(Envelope(h, 6),
              "MAIL FROM:<h@example.jp>\r\n"
              "RCPT TO:<\"Sato>\r\n"  // the quoted comma splits, as a plain comma does
              "RCPT TO:<t@example.jp>\r\n"
              "RCPT TO:<u@example.jp>\r\n"
              "RCPT TO:<v@example.jp>\r\n"
              "RCPT TO:<w@example.jp>\r\n"
              "RCPT TO:<x@example.jp >\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.Sent(), "DATA\r\n");
}

TEST(SmtpRecipients, FromAddrOverridesTheHeaderFrom) {
    SmtpHarness h;
    h.control->FromAddr(u"me@example.jp");
    h.Send("From: other@example.jp\r\nTo: b@example.jp\r\n");
    EXPECT_EQ(Envelope(h, 1), "MAIL FROM:<me@example.jp>\r\nRCPT TO:<b@example.jp>\r\n");
}

TEST(SmtpRecipients, TextAfterTheLastCrLfIsNotRead) {
    SmtpHarness h;
    h.control->FromAddr(u"a@example.jp");
    h.Send("To: b@example.jp\r\nCc: c@example.jp");
    EXPECT_EQ(Envelope(h, 1), "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.Sent(), "DATA\r\n");
}

// --- the multipart header block ---

TEST(SmtpHeaderBlock, MultipartHeaderWithCharsetAndBoundary) {
    SmtpHarness h;
    h.control->MimeMultipart(u"mixed");
    h.control->ToAddr(u"b@example.jp");
    h.control->FromAddr(u"a@example.jp");
    const std::string sent = h.RunToData("Subject: hi\r\n");
    const std::regex expected(
        "[\\s\\S]*DATA\r\n"
        "X-TALVORN: zef smtpZef 0.1\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed;\r\n"
        "\tcharset=iso-2022-jp;\r\n"
        "\tboundary=\"-----_=_Boundary_[0-9]{14}_1_1\"\r\n"
        "Subject: hi\r\n"
        "\r\n"
        "\r\n"
        "This message is in MIME format. \r\n");
    EXPECT_TRUE(std::regex_match(sent, expected)) << sent;
}

TEST(SmtpHeaderBlock, EmptyCharsetLeavesTheParameterOut) {
    SmtpHarness h;
    h.control->MimeMultipart(u"alternative");
    h.control->CharSet(u"");
    h.control->ToAddr(u"b@example.jp");
    h.control->FromAddr(u"a@example.jp");
    const std::string sent = h.RunToData("Subject: hi\r\n");
    const std::regex expected(
        "[\\s\\S]*\r\nContent-Type: multipart/alternative;\r\n"
        "\tboundary=\"-----_=_Boundary_[0-9]{14}_1_1\"\r\nSubject: hi\r\n[\\s\\S]*");
    EXPECT_TRUE(std::regex_match(sent, expected)) << sent;
}

TEST(SmtpHeaderBlock, PlainMessageSendsTheHeaderAsGivenWithDotsStuffed) {
    SmtpHarness h;
    h.control->ToAddr(u"b@example.jp");
    h.control->FromAddr(u"a@example.jp");
    const std::string sent = h.RunToData("Subject: a\r\n.hidden: b\r\n..two\r\n\r\n.body\r\n");
    EXPECT_TRUE(
        sent.ends_with("DATA\r\nX-TALVORN: zef smtpZef 0.1\r\n"
                       "Subject: a\r\n..hidden: b\r\n...two\r\n\r\n..body\r\n"))
        << sent;
    EXPECT_TRUE(h.Traced(">>Sending Data ..."));
}

TEST(SmtpHeaderBlock, HeaderThatStartsWithADotIsStuffedToo) {
    SmtpHarness h;
    h.control->ToAddr(u"b@example.jp");
    h.control->FromAddr(u"a@example.jp");
    const std::string sent = h.RunToData(".\r\nSubject: a\r\n\r\n");
    EXPECT_TRUE(sent.ends_with("X-TALVORN: zef smtpZef 0.1\r\n..\r\nSubject: a\r\n\r\n")) << sent;
}

}  // namespace
}  // namespace zef::testing
