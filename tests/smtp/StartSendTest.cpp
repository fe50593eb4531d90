// The start of a send: refusals, the sender and recipients, the header block and the connect.
#include <gtest/gtest.h>

#include <regex>

#include "common/Error.h"
#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

TEST(SmtpStart, ConnectsWithServerPortAndOptionAndShowsCaption) {
    SmtpHarness h;
    h.Address();
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

    SmtpHarness empty;  // empty escapes are not handed on
    empty.Address();
    empty.control->KanjiIn(u"");
    empty.control->KanjiOut(u"");
    empty.Send("");
    EXPECT_EQ(empty.asciiGlyph->kanjiIn, "");
    EXPECT_EQ(empty.asciiGlyph->kanjiOut, "");
}

TEST(SmtpStart, SecondSendWhileRunningRaises59AndLeavesTheFirstAlone) {
    SmtpHarness h;
    h.Address();
    h.Open();
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
    EXPECT_EQ(h.OnlyDone(), Outcome(-1, r.message));
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

// The user name and password are checked only where they go out: a NUL only for PLAIN, which
// joins them with NULs; LOGIN sends each in base64 on its own.
TEST(SmtpStart, HostnameUserAndPassAreCheckedWhereTheyGoOut) {
    struct Case {
        const char* name;
        Text hostname, user, pass;
        long auth;
        const char* refusal;  // empty: accepted
    };
    const Case cases[] = {
        {"LineBreakInHostname", u"me\r\nMAIL FROM:<x>", u"", u"", 0,
         "INVALID CHARACTER IN Hostname"},
        {"UserWithoutAuth", u"h", u"tim\n", u"", 0, ""},
        {"LineBreakInUser", u"h", u"tim\n", u"", 2, "INVALID CHARACTER IN User"},
        {"NulInPlainUser", u"h", Text(u"ti\0m", 4), u"pw", 3, "INVALID CHARACTER IN User"},
        {"NulInPlainPass", u"h", u"tim", Text(u"p\0w", 3), 3, "INVALID CHARACTER IN Pass"},
        {"NulInLoginPass", u"h", u"tim", Text(u"p\0w", 3), 2, ""},
    };
    for (const Case& c : cases) {
        SmtpHarness h;
        h.Address();
        h.control->Hostname(c.hostname);
        h.control->Auth(c.auth);
        h.control->User(c.user);
        h.control->Pass(c.pass);
        h.Send("");
        if (*c.refusal == '\0') {
            EXPECT_TRUE(h.dones.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(h.OnlyDone(), Outcome(-1, c.refusal)) << c.name;
        EXPECT_EQ(U(h.control->Caption()), c.refusal) << c.name;
    }
}

TEST(SmtpStart, ConnectErrorEndsInsideSmtp) {
    SmtpHarness h;
    h.Address();
    h.control->ConnectTimeout(5);
    h.wire->throwOnConnect = true;
    h.Send("");
    EXPECT_EQ(h.OnlyDone(), Outcome(10049, "address not available"));
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
    EXPECT_EQ(h.OnlyDone(), Outcome(-1, "NO RECIPIENT ADDRESS"));
    EXPECT_EQ(h.wire->connects.size(), 1U);
    EXPECT_EQ(h.control->Caption(), u"CONNECTING TO mx.example");
}

TEST(SmtpStart, GiantHeaderEndsWithTheOverflowInsteadOfSticking) {
    SmtpHarness h;
    h.control->FromAddr(u"a@example.jp");
    std::string header = "To: b@example.jp\r\nX-Long: " + std::string(40000, 'x') + "\r\n";
    h.Send(header);
    EXPECT_EQ(h.OnlyDone(), Outcome(6, "Overflow"));
    EXPECT_TRUE(h.wire->connects.empty());
    h.control->ToAddr(u"b@example.jp");  // the header is then not read
    EXPECT_NO_THROW(h.Send(header));
    EXPECT_EQ(h.wire->connects.size(), 1U);
}

// --- where the recipients come from ---

struct Recipients {
    const char* name;
    Variant toAddr;
    const char* fromAddr;
    const char* header;
    const char* envelope;  // the MAIL and RCPT lines; DATA must follow the last RCPT reply
};

class SmtpRecipients : public ::testing::TestWithParam<Recipients> {};

TEST_P(SmtpRecipients, GiveTheEnvelope) {
    const Recipients& r = GetParam();
    SmtpHarness h;
    h.control->ToAddr(r.toAddr);
    h.control->FromAddr(T(r.fromAddr));
    h.Open(r.header);
    h.Reply("220 ready");
    h.Sent();  // HELO
    h.Reply("250 hello");
    std::string envelope;
    for (std::string sent = "?"; !sent.empty() && !sent.starts_with("DATA");) {
        h.Reply("250 ok");
        sent = h.Sent();
        envelope += sent;
    }
    EXPECT_EQ(envelope, std::string(r.envelope) + "DATA\r\n");
}

const Variant kNoToAddr;
const char* const kHeaderTo = "From: Aa <a@example.jp>\r\nTo: h@example.jp\r\n\r\n";
const char* const kFromHeader = "MAIL FROM:<a@example.jp>\r\nRCPT TO:<h@example.jp>\r\n";

INSTANTIATE_TEST_SUITE_P(
    Sources, SmtpRecipients,
    ::testing::Values(
        Recipients{"StringToAddrIsOneRecipient", Variant(u"b@example.jp"), "a@example.jp",
                   "To: header@example.jp\r\n",
                   "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\n"},
        Recipients{"ArrayGivesItsNonBlankElementsInOrder",
                   Variant(StringArray::OneBased({u"b@example.jp", u"   ", u"Cee <c@example.jp>"})),
                   "a@example.jp", "",
                   "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\n"
                   "RCPT TO:<c@example.jp>\r\n"},
        // An element 0 or a value of another type gives none, so the header is read.
        Recipients{"ArrayElementZero", Variant(StringArray{0, {u"zero@example.jp"}}), "", kHeaderTo,
                   kFromHeader},
        Recipients{"NumberToAddr", Variant(7L), "", kHeaderTo, kFromHeader},
        Recipients{"EmptyToAddr", kNoToAddr, "", kHeaderTo, kFromHeader},
        Recipients{"BooleanToAddr", Variant(true), "", kHeaderTo, kFromHeader},
        Recipients{"HeaderFieldsFoldingCommasAndTheEndOfTheHeader", kNoToAddr, "",
                   "from: Old <old@example.jp>\r\n"
                   "To: \"Sato, Taro\" <t@example.jp>, u@example.jp,\r\n"
                   " \tv@example.jp\r\n"
                   "Subject: Cc: not@example.jp\r\n"
                   "CC: w@example.jp\r\n"
                   "Bcc: x@example.jp (hidden)\r\n"
                   "From: Hanako <h@example.jp>\r\n"
                   "\r\n"
                   "To: body@example.jp\r\n",
                   "MAIL FROM:<h@example.jp>\r\n"
                   "RCPT TO:<\"Sato>\r\n"  // the quoted comma splits, as a plain comma does
                   "RCPT TO:<t@example.jp>\r\nRCPT TO:<u@example.jp>\r\n"
                   "RCPT TO:<v@example.jp>\r\nRCPT TO:<w@example.jp>\r\n"
                   "RCPT TO:<x@example.jp >\r\n"},
        Recipients{"FromAddrOverridesTheHeaderFrom", kNoToAddr, "me@example.jp",
                   "From: other@example.jp\r\nTo: b@example.jp\r\n",
                   "MAIL FROM:<me@example.jp>\r\nRCPT TO:<b@example.jp>\r\n"},
        Recipients{"TextAfterTheLastCrLfIsNotRead", kNoToAddr, "a@example.jp",
                   "To: b@example.jp\r\nCc: c@example.jp",
                   "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\n"}),
    [](const ::testing::TestParamInfo<Recipients>& info) { return std::string(info.param.name); });

// --- the multipart header block ---

TEST(SmtpHeaderBlock, MultipartHeaderWithCharsetAndBoundary) {
    for (const auto& [subtype, charset, contentType] :
         {std::tuple{u"mixed", u"iso-2022-jp",
                     "Content-Type: multipart/mixed;\r\n\tcharset=iso-2022-jp;\r\n"},
          // An empty charset leaves the parameter out.
          std::tuple{u"alternative", u"", "Content-Type: multipart/alternative;\r\n"}}) {
        SmtpHarness h;
        h.control->MimeMultipart(subtype);
        h.control->CharSet(charset);
        h.Address();
        const std::string sent = h.RunToData("Subject: hi\r\n");
        const std::regex expected(
            "[\\s\\S]*DATA\r\n"
            "X-TALVORN: zef smtpZef 0.1\r\n"
            "MIME-Version: 1.0\r\n" +
            std::string(contentType) +
            "\tboundary=\"-----_=_Boundary_[0-9]{14}_1_1\"\r\n"
            "Subject: hi\r\n"
            "\r\n"
            "\r\n"
            "This message is in MIME format. \r\n");
        EXPECT_TRUE(std::regex_match(sent, expected)) << sent;
    }
}

TEST(SmtpHeaderBlock, PlainMessageSendsTheHeaderAsGivenWithDotsStuffed) {
    SmtpHarness h;
    h.Address();
    const std::string sent = h.RunToData("Subject: a\r\n.hidden: b\r\n..two\r\n\r\n.body\r\n");
    EXPECT_TRUE(
        sent.ends_with("DATA\r\nX-TALVORN: zef smtpZef 0.1\r\n"
                       "Subject: a\r\n..hidden: b\r\n...two\r\n\r\n..body\r\n"))
        << sent;
    EXPECT_TRUE(h.Traced(">>Sending Data ..."));

    SmtpHarness first;  // a header that starts with a dot
    first.Address();
    const std::string firstSent = first.RunToData(".\r\nSubject: a\r\n\r\n");
    EXPECT_TRUE(firstSent.ends_with("X-TALVORN: zef smtpZef 0.1\r\n..\r\nSubject: a\r\n\r\n"))
        << firstSent;
}

}  // namespace
}  // namespace zef::testing
