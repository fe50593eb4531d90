// TLS in the SMTP dialogue: the settings handed to the wire, implicit TLS, STARTTLS with its
// refusals and failures, and that nothing secret goes out before the handshake.
#include <gtest/gtest.h>

#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

using namespace std::string_literals;

// Greeting, EHLO reply and the go-ahead for STARTTLS: the handshake is under way.
void RunToHandshake(SmtpHarness& h) {
    h.Open("Subject: x\r\n\r\n");
    h.Replies({"220 mx.example ESMTP", "250-mx.example\r\n250 STARTTLS", "220 ready to start TLS"});
}

// Security 2, then Open and the replies up to the one to STARTTLS.
void RunToStartTls(SmtpHarness& h) {
    h.Address();
    h.control->Security(2);
    h.Open();
    h.Replies({"220 mx.example ESMTP", "250 mx.example"});
    h.Sent();
}

TEST(SmtpTls, EverySendHandsItsSettingsToTheWire) {
    SmtpHarness h;
    h.Address();
    h.Send("");
    ASSERT_EQ(h.wire->tlsSettings.size(), 1U);
    EXPECT_EQ(h.wire->tlsSettings[0].mode, TlsMode::None);
    EXPECT_TRUE(h.wire->tlsSettings[0].verifyPeer);
    EXPECT_EQ(h.wire->tlsSettings[0].caFile, "");
    h.wire->RaiseClosed();

    h.control->Security(1);
    h.control->VerifyCert(false);
    h.control->CAFile(u"/etc/zef/\u8a3c\u660e.pem");  // a UTF-8 path
    h.Send("");
    h.wire->RaiseClosed();
    h.control->Security(2);
    h.Send("");
    ASSERT_EQ(h.wire->tlsSettings.size(), 3U);
    EXPECT_EQ(h.wire->tlsSettings[1].mode, TlsMode::Implicit);
    EXPECT_FALSE(h.wire->tlsSettings[1].verifyPeer);
    EXPECT_EQ(h.wire->tlsSettings[1].caFile, "/etc/zef/\xe8\xa8\xbc\xe6\x98\x8e.pem");
    EXPECT_EQ(h.wire->tlsSettings[2].mode, TlsMode::Upgrade);
    EXPECT_EQ(h.wire->connects.size(), 3U);
}

// With implicit TLS the wire is protected before Connected: the dialogue is the plain one.
TEST(SmtpTls, ImplicitTlsKeepsTheDialogue) {
    SmtpHarness h;
    h.Address();
    h.control->Security(1);
    h.control->Auth(3);
    h.control->User(u"u");
    h.control->Pass(u"p");
    h.Open("Subject: x\r\n\r\n");
    h.Reply("220 mx.example ESMTP");
    EXPECT_EQ(h.Sent(), "EHLO client.example\r\n");
    h.Reply("250 mx.example");
    EXPECT_EQ(h.Sent(), "AUTH PLAIN\r\n");
    h.Reply("334 ");
    h.Reply("235 ok");
    EXPECT_EQ(h.Sent(), "[B64:\0u\0p]\r\nMAIL FROM:<a@example.jp>\r\n"s);
    EXPECT_EQ(h.wire->startTlsCalls, 0);
    EXPECT_EQ(h.wire->sentInClear, "");
}

// STARTTLS with each mechanism: in the clear only EHLO and STARTTLS; then EHLO again and the
// dialogue goes on as without TLS. Auth 0 uses EHLO too, which STARTTLS needs.
class SmtpStartTls : public ::testing::TestWithParam<long> {};

TEST_P(SmtpStartTls, OnlyEhloAndStartTlsTravelInTheClear) {
    SmtpHarness h;
    h.Address();
    h.control->Security(2);
    h.control->Auth(GetParam());
    h.control->User(u"tim");
    h.control->Pass(u"secret");
    h.Open("Subject: x\r\n\r\n");
    h.Reply("220 mx.example ESMTP");
    EXPECT_EQ(h.Sent(), "EHLO client.example\r\n");
    h.Reply("250-mx.example\r\n250 STARTTLS");
    EXPECT_EQ(h.Sent(), "STARTTLS\r\n");
    EXPECT_EQ(h.wire->startTlsCalls, 0);
    h.Reply("220 ready to start TLS");
    EXPECT_EQ(h.wire->startTlsCalls, 1);
    EXPECT_EQ(h.Sent(), "");
    EXPECT_FALSE(h.wire->CanSend());

    h.wire->RaiseTlsReady();
    EXPECT_EQ(h.Sent(), "EHLO client.example\r\n");
    h.Reply("250-mx.example\r\n250 AUTH CRAM-MD5 LOGIN PLAIN");
    const std::string next = h.Sent();
    if (GetParam() == 0) {
        EXPECT_EQ(next, "MAIL FROM:<a@example.jp>\r\n");
    } else {
        EXPECT_EQ(next.rfind("AUTH ", 0), 0U) << next;
    }
    EXPECT_EQ(h.wire->sentInClear, "EHLO client.example\r\nSTARTTLS\r\n");
    EXPECT_TRUE(h.Traced(">>STARTTLS "));
    EXPECT_TRUE(h.Traced("220 ready to start TLS"));
}

INSTANTIATE_TEST_SUITE_P(EachAuth, SmtpStartTls, ::testing::Values(0L, 1L, 2L, 3L));

TEST(SmtpTls, StartTlsSendCompletesWithDoneZero) {
    SmtpHarness h;
    h.Address();
    h.control->Security(2);
    RunToHandshake(h);
    h.wire->RaiseTlsReady();
    h.Replies({"250 mx.example", "250 sender ok", "250 recipient ok", "354 go ahead"});
    h.RunBody();
    h.FinishOk();
    EXPECT_EQ(h.OnlyDone(), Outcome(0, ""));
}

TEST(SmtpTls, RefusedStartTlsEndsLikeAnyRefusal) {
    SmtpHarness h;
    h.control->Auth(2);
    RunToStartTls(h);
    h.Reply("454 4.7.0 TLS not available");
    EXPECT_EQ(h.Sent(), "RSET\r\n");
    h.Reply("250 reset");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "454 4.7.0 TLS not available"));
    EXPECT_EQ(h.wire->startTlsCalls, 0);
    EXPECT_EQ(h.wire->sentInClear, "EHLO client.example\r\nSTARTTLS\r\nRSET\r\n");
}

// Whatever follows the go-ahead in the clear was not sent by the server: nothing of it is read
// and no handshake starts.
TEST(SmtpTls, BytesAfterTheGoAheadEndTheSend) {
    for (const std::string extra : {"250 AUTH ok\r\n", "2", "\r\n"}) {
        SmtpHarness h;
        RunToStartTls(h);
        h.wire->Deliver("220 go ahead\r\n" + extra);
        EXPECT_EQ(h.wire->startTlsCalls, 0) << extra;
        EXPECT_EQ(h.Sent(), "") << extra;
        EXPECT_EQ(h.wire->closeCalls, 1) << extra;
        EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "UNEXPECTED DATA AFTER STARTTLS REPLY")) << extra;
    }
}

TEST(SmtpTls, NonTwoReplyToStartTlsIsNoGoAhead) {
    SmtpHarness h;
    RunToStartTls(h);
    h.Reply("334 what");
    EXPECT_EQ(h.wire->startTlsCalls, 0);
    EXPECT_EQ(h.Sent(), "RSET\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "UNEXPECTED REPLY: 334 what"));
}

// A failed handshake or certificate check comes as SocketError and Closed: Done carries them,
// and nothing was sent after STARTTLS.
TEST(SmtpTls, FailedHandshakeReportsTheWiresError) {
    SmtpHarness h;
    h.Address();
    h.control->Security(2);
    h.control->Auth(3);
    h.control->Pass(u"secret");
    RunToHandshake(h);
    h.wire->RaiseSocketError(10, "certificate verify failed: certificate has expired");
    EXPECT_EQ(h.CloseAndDone(), Outcome(10, "certificate verify failed: certificate has expired"));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
    EXPECT_EQ(h.wire->sent, "EHLO client.example\r\nSTARTTLS\r\n");
}

TEST(SmtpTls, WireThatCannotUpgradeEndsTheSend) {
    SmtpHarness h;
    h.Address();
    h.control->Security(2);
    h.wire->throwOnStartTls = true;
    RunToHandshake(h);
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), Outcome(5, "cannot start TLS"));
}

TEST(SmtpTls, WireWithoutTlsRefusesTheSendAtOnce) {
    SmtpHarness h;
    h.Address();
    h.wire->withoutTls = true;
    h.control->Security(1);
    h.Send("");
    EXPECT_TRUE(h.wire->connects.empty());
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0].first, 380);
    EXPECT_EQ(h.control->Caption(), u"Connect Error(380)this wire has no TLS");
    h.control->Security(0);  // the control is idle again and sends without TLS
    h.Send("");
    EXPECT_EQ(h.wire->connects.size(), 1U);
}

// A handshake that never ends is bounded by the transfer guard; TlsReady re-arms it.
TEST(SmtpTls, TransferGuardCoversTheHandshake) {
    SmtpHarness h;
    h.Address();
    h.control->Security(2);
    h.control->TransTimeout(2);
    RunToHandshake(h);
    h.timer->Fire(2);
    h.wire->RaiseTlsReady();
    h.timer->Fire(2);
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.timer->Fire(1);
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), Outcome(-4, "trans timeout"));
}

// TlsReady that no STARTTLS asked for changes nothing.
TEST(SmtpTls, UnaskedTlsReadyIsIgnored) {
    SmtpHarness h;
    h.Address();
    h.Open();
    h.Reply("220 mx.example ESMTP");
    h.Sent();
    h.wire->RaiseTlsReady();
    EXPECT_EQ(h.Sent(), "");
    h.Reply("250 hello");
    EXPECT_EQ(h.Sent(), "MAIL FROM:<a@example.jp>\r\n");
}

}  // namespace
}  // namespace zef::testing
