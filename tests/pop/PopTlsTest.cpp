// TLS in the POP3 dialogue: the settings handed to the wire, implicit TLS, STLS with its
// refusals and failures, and that no login travels before the handshake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/pop/PopTestDoubles.h"

namespace zef::testing {
namespace {

using Log = std::vector<std::string>;

// The greeting and the go-ahead for STLS: the handshake is under way.
void RunToHandshake(PopHarness& h, const Text& user = u"bob", const Text& password = u"s3cret") {
    h.control->Security(2);
    h.Start(user, password);
    h.Receive("+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n");
    EXPECT_EQ(h.Sent(), "STLS\r\n");
    h.Receive("+OK Begin TLS negotiation\r\n");
}

TEST(PopTls, EveryTransferHandsItsSettingsToTheWire) {
    PopHarness h;
    h.Start();
    ASSERT_EQ(h.wire->tlsSettings.size(), 1u);
    EXPECT_EQ(h.wire->tlsSettings[0].mode, TlsMode::None);
    EXPECT_TRUE(h.wire->tlsSettings[0].verifyPeer);
    EXPECT_EQ(h.wire->tlsSettings[0].caFile, "");
    h.wire->RaiseClosed();

    h.control->Security(1);
    h.control->VerifyCert(false);
    h.control->CAFile(u"/etc/zef/\u8a3c\u660e.pem");
    h.Start();
    h.wire->RaiseClosed();
    h.control->Security(2);
    h.Start();
    ASSERT_EQ(h.wire->tlsSettings.size(), 3u);
    EXPECT_EQ(h.wire->tlsSettings[1].mode, TlsMode::Implicit);
    EXPECT_FALSE(h.wire->tlsSettings[1].verifyPeer);
    EXPECT_EQ(h.wire->tlsSettings[1].caFile, "/etc/zef/\xe8\xa8\xbc\xe6\x98\x8e.pem");
    EXPECT_EQ(h.wire->tlsSettings[2].mode, TlsMode::Upgrade);
}

TEST(PopTls, ImplicitTlsKeepsTheDialogue) {
    PopHarness h;
    h.control->Security(1);
    h.Start(u"bob", u"s3cret");
    h.Receive("+OK ready\r\n");
    EXPECT_EQ(h.Sent(), "USER bob\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "PASS s3cret\r\n");
    EXPECT_EQ(h.wire->startTlsCalls, 0);
    EXPECT_EQ(h.wire->sentInClear, "");
}

TEST(PopTls, StlsThenUserAndPass) {
    PopHarness h;
    RunToHandshake(h);
    EXPECT_EQ(h.wire->startTlsCalls, 1);
    EXPECT_EQ(h.Sent(), "");
    EXPECT_FALSE(h.wire->CanSend());

    h.wire->RaiseTlsReady();
    EXPECT_EQ(h.Sent(), "USER bob\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "PASS s3cret\r\n");
    h.Receive("+OK logged in\r\n");
    EXPECT_EQ(h.Sent(), "STAT\r\n");
    h.Receive("+OK 0 0\r\n");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.Receive("+OK bye\r\n");
    h.wire->RaiseClosed();
    EXPECT_EQ(h.wire->sentInClear, "STLS\r\n");
    const Log traces = h.Traces();
    const Log start(traces.begin(), traces.begin() + 5);
    EXPECT_EQ(start, (Log{"+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>", ">>STLS ",
                          "+OK Begin TLS negotiation", ">>USER bob", "+OK"}));
    EXPECT_TRUE(h.Logged("Done 0 []"));
}

// The time stamp of the greeting counts, not anything the go-ahead holds.
TEST(PopTls, ApopAfterStlsUsesTheGreetingsTimestamp) {
    PopHarness h;
    h.control->APOP(true);
    h.control->Security(2);
    h.Start(u"mrose", u"tanstaaf");
    h.Receive("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n");
    EXPECT_EQ(h.Sent(), "STLS\r\n");
    h.Receive("+OK <other.1@elsewhere>\r\n");
    h.wire->RaiseTlsReady();
    EXPECT_EQ(h.Sent(), "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n");
    EXPECT_EQ(h.wire->sentInClear, "STLS\r\n");
}

TEST(PopTls, RefusedStlsShutsDownWithNothingSent) {
    PopHarness h;
    h.control->Security(2);
    h.Start();
    h.Receive("+OK ready\r\n");
    h.Receive("-ERR TLS support isn't enabled.\r\n");
    EXPECT_EQ(h.wire->shutdownCalls, 1);
    EXPECT_EQ(h.wire->startTlsCalls, 0);
    h.wire->RaiseClosed();
    EXPECT_EQ(h.wire->sent, "STLS\r\n");
    EXPECT_EQ(h.events.back(), "Done -1 [-ERR TLS support isn't enabled.]");
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(PopTls, RefusedGreetingSendsNoStls) {
    PopHarness h;
    h.control->Security(2);
    h.Start();
    h.Receive("-ERR busy\r\n");
    EXPECT_EQ(h.wire->shutdownCalls, 1);
    EXPECT_EQ(h.wire->sent, "");
}

// Whatever follows the go-ahead in the clear was not sent by the server: it is not read, no
// handshake starts, and the connection is closed.
TEST(PopTls, BytesAfterTheGoAheadEndTheTransfer) {
    for (const std::string extra : {"+OK\r\n", "+", "\r\n"}) {
        PopHarness h;
        h.control->Security(2);
        h.Start();
        h.Receive("+OK ready\r\n");
        h.Sent();
        h.Receive("+OK go ahead\r\n" + extra);
        EXPECT_EQ(h.wire->startTlsCalls, 0) << extra;
        EXPECT_EQ(h.Sent(), "") << extra;
        EXPECT_EQ(h.wire->closeCalls, 1) << extra;
        h.wire->RaiseClosed();
        EXPECT_EQ(h.events.back(), "Done -1 [UNEXPECTED DATA AFTER STLS REPLY]") << extra;
    }
}

TEST(PopTls, FailedHandshakeReportsTheWiresError) {
    PopHarness h;
    RunToHandshake(h);
    h.wire->RaiseSocketError(62, "certificate verify failed: hostname mismatch");
    EXPECT_EQ(h.CloseAndDone(), "Done 62 [certificate verify failed: hostname mismatch]");
    EXPECT_EQ(h.doneCount, 1);
    EXPECT_EQ(h.Sent(), "");
    EXPECT_EQ(h.wire->sentInClear, "STLS\r\n");
}

TEST(PopTls, WireThatCannotUpgradeEndsTheTransfer) {
    PopHarness h;
    h.wire->throwOnStartTls = true;
    RunToHandshake(h);
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), "Done 5 [cannot start TLS]");
}

TEST(PopTls, WireWithoutTlsRefusesTheTransferAtOnce) {
    PopHarness h;
    h.wire->withoutTls = true;
    h.control->Security(1);
    h.control->pop(u"pop.example", u"bob", u"pw", 0);
    EXPECT_TRUE(h.wire->connects.empty());
    EXPECT_EQ(h.TakeEvents(), (Log{"Done 380 [this wire has no TLS]"}));
    EXPECT_EQ(h.control->Caption(), u"Connect Error(380)this wire has no TLS");
    h.control->Security(0);
    h.Start();
    EXPECT_EQ(h.wire->connects.size(), 1u);
}

TEST(PopTls, TransferGuardCoversTheHandshake) {
    PopHarness h;
    h.control->TransTimeout(2);
    RunToHandshake(h);
    h.timer->Fire(2);
    h.wire->RaiseTlsReady();
    h.timer->Fire(2);
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.timer->Fire(1);
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), "Done -4 [trans timeout]");
}

TEST(PopTls, UnaskedTlsReadyIsIgnored) {
    PopHarness h;
    h.Start();
    h.Receive("+OK ready\r\n");
    EXPECT_EQ(h.Sent(), "USER bob\r\n");
    h.wire->RaiseTlsReady();
    EXPECT_EQ(h.Sent(), "");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "PASS secret\r\n");
}

}  // namespace
}  // namespace zef::testing
