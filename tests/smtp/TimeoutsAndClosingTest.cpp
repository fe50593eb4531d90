// Time-outs counted in manual-timer ticks, every way a send ends, socket errors and traces, and
// failures inside handlers.
#include <gtest/gtest.h>

#include <stdexcept>

#include "common/Error.h"
#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

void StartSend(SmtpHarness& h) {
    h.Address();
    h.Send("Subject: x\r\n\r\n");
}

TEST(SmtpTimeouts, ConnectTimeoutOfNFiresOnTickNPlusOne) {
    SmtpHarness h;
    h.control->ConnectTimeout(3);
    StartSend(h);
    EXPECT_TRUE(h.timer->Enabled());
    EXPECT_EQ(h.timer->Fire(3), 3);
    EXPECT_EQ(h.wire->closeCalls, 0);
    EXPECT_EQ(h.timer->Fire(1), 1);
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_FALSE(h.timer->Enabled());
    EXPECT_TRUE(h.dones.empty());  // Done comes with Closed
    EXPECT_EQ(h.CloseAndDone(), Outcome(-3, "connect timeout"));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(SmtpTimeouts, LimitsBelowOneNeverFire) {
    for (long limit : {0L, -5L}) {
        SmtpHarness h;
        h.control->ConnectTimeout(limit);
        h.control->TransTimeout(limit);
        StartSend(h);
        EXPECT_FALSE(h.timer->Enabled());
        h.wire->RaiseConnected();
        h.Reply("220 ready");
        EXPECT_FALSE(h.timer->Enabled());
        EXPECT_EQ(h.timer->Fire(1000), 0);
        EXPECT_EQ(h.wire->closeCalls, 0);
    }
}

TEST(SmtpTimeouts, ConnectedSwitchesToTheTransferGuard) {
    SmtpHarness h;
    h.control->ConnectTimeout(10);
    h.control->TransTimeout(2);
    StartSend(h);
    h.timer->Fire(5);
    h.wire->RaiseConnected();
    h.timer->Fire(2);
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.timer->Fire(1);
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), Outcome(-4, "trans timeout"));
}

TEST(SmtpTimeouts, EverySocketEventRestartsTheTransferGuard) {
    SmtpHarness h;
    h.control->TransTimeout(2);
    StartSend(h);
    h.wire->RaiseConnected();
    h.timer->Fire(2);
    h.Reply("220 ready");  // DataArrival re-arms
    h.timer->Fire(2);
    h.wire->RaiseSendComplete();  // so does SendComplete
    h.timer->Fire(2);
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.timer->Fire(1);
    EXPECT_EQ(h.wire->closeCalls, 1);
}

TEST(SmtpTimeouts, UnansweredQuitEndsWithTransTimeout) {
    SmtpHarness h;
    h.control->TransTimeout(1);
    h.Address();
    h.RunToData("");
    h.RunBody();
    h.Reply("250 queued");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.timer->Fire(2);
    EXPECT_EQ(h.CloseAndDone(), Outcome(-4, "trans timeout"));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(SmtpClosing, ServerClosingAfterA421GivesTheReply) {
    SmtpHarness h;
    StartSend(h);
    h.wire->RaiseConnected();
    h.Reply("421 too busy");
    EXPECT_EQ(h.Sent(), "RSET\r\n");
    EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "421 too busy"));
}

TEST(SmtpClosing, DroppedConnectionDuringTheBodyIsUnexpected) {
    SmtpHarness h;
    h.plainPieces = {"line 1\r\n", "line 2\r\n"};
    h.Address();
    h.RunToData("");
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.CloseAndDone(), Outcome(-2, "UNEXPECTED DISCONNECT"));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL UNEXPECTED DISCONNECT)");
    h.wire->RaiseSendComplete();  // a late event asks for no more data
    EXPECT_EQ(h.moreDataIds.size(), 1U);
}

TEST(SmtpClosing, SocketErrorIsReportedWhenTheConnectionCloses) {
    SmtpHarness h;
    h.control->TransTimeout(5);
    StartSend(h);
    h.wire->RaiseSocketError(111, "Connection refused");
    EXPECT_EQ(h.wire->closeCalls, 0);  // the error alone closes nothing
    EXPECT_TRUE(h.dones.empty());
    EXPECT_EQ(h.CloseAndDone(), Outcome(111, "Connection refused"));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(SmtpClosing, SocketErrorNumberZeroBeforeQuitIsUnexpected) {
    SmtpHarness h;
    StartSend(h);
    h.wire->RaiseConnected();
    h.wire->RaiseSocketError(0, "nothing");
    EXPECT_EQ(h.CloseAndDone(), Outcome(-2, "UNEXPECTED DISCONNECT"));
}

TEST(SmtpClosing, TimeOutReplacesAnEarlierSocketError) {
    SmtpHarness h;
    h.control->ConnectTimeout(1);
    StartSend(h);
    h.wire->RaiseSocketError(113, "No route to host");
    h.timer->Fire(2);
    EXPECT_EQ(h.CloseAndDone(), Outcome(-3, "connect timeout"));
}

TEST(SmtpClosing, SocketEventsWithoutARunningSendDoNothing) {
    SmtpHarness h;
    h.control->TransTimeout(1);
    h.control->ConnectTimeout(1);
    h.wire->RaiseConnected();
    h.Reply("220 stray");
    h.wire->RaiseSendComplete();
    h.wire->RaiseClosed();
    EXPECT_TRUE(h.dones.empty());
    EXPECT_TRUE(h.traces.empty());
    EXPECT_EQ(h.Sent(), "");
    EXPECT_FALSE(h.timer->Enabled());
    EXPECT_EQ(h.control->Caption(), u"zef smtpZef 0.1");
}

TEST(SmtpClosing, NextSendFromInsideDone) {
    SmtpHarness h;
    int sends = 0;
    h.control->Done = [&](long code, const Text& message) {
        h.dones.emplace_back(code, U(message));
        if (++sends == 1) {
            h.control->Smtp(u"second.example", u"");
        }
    };
    h.control->ConnectTimeout(2);
    StartSend(h);
    h.wire->RaiseConnected();
    h.wire->RaiseClosed();
    ASSERT_EQ(h.dones.size(), 1U);
    ASSERT_EQ(h.wire->connects.size(), 2U);
    EXPECT_EQ(h.wire->connects[1].host, "second.example");
    EXPECT_EQ(h.control->Caption(), u"CONNECTING TO second.example");
    EXPECT_TRUE(h.timer->Enabled());  // the new send's connect guard
    h.wire->RaiseConnected();
    h.Reply("220 again");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
}

TEST(SmtpTraces, SocketTracesOnlyWhenTcpTraceOn) {
    SmtpHarness h;
    h.wire->RaiseTrace("connecting to 192.0.2.1:25");
    EXPECT_TRUE(h.traces.empty());
    h.control->TcpTraceOn(true);
    h.wire->RaiseTrace("connecting to 192.0.2.1:25");
    EXPECT_EQ(h.traces, std::vector<std::string>{"connecting to 192.0.2.1:25"});
}

// --- failures inside handlers never reach the event loop ---

TEST(SmtpHandlerFailures, ThrowingTraceHandlerEndsTheSendWithOneDone) {
    SmtpHarness h;
    StartSend(h);
    h.control->Trace = [](const Text&) { throw std::runtime_error("trace window gone"); };
    h.wire->RaiseConnected();
    EXPECT_NO_THROW(h.Reply("220 ready"));
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_NO_THROW(h.Reply("250 more"));
    EXPECT_EQ(h.Sent(), "");
    EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "UNEXPECTED ERROR: trace window gone"));
}

TEST(SmtpHandlerFailures, ErrorFromMoreDataKeepsItsNumberAndText) {
    SmtpHarness h;
    h.control->TransTimeout(3);
    StartSend(h);
    h.control->MoreData = [](long, Bytes&) { throw Error(1234, "app", u"file vanished"); };
    h.wire->RaiseConnected();
    h.Replies({"220 ready", "250 hello", "250 ok", "250 ok", "354 go"});
    h.Sent();
    EXPECT_NO_THROW(h.wire->RaiseSendComplete());
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_FALSE(h.timer->Enabled());  // the time-out cannot replace the code
    EXPECT_EQ(h.CloseAndDone(), Outcome(1234, "file vanished"));
}

TEST(SmtpHandlerFailures, ThrowingDoneAndCaptionHandlersStayInside) {
    SmtpHarness h;
    h.control->CaptionChanged = [](const Text&) { throw std::runtime_error("repaint"); };
    int dones = 0;
    h.control->Done = [&](long, const Text&) {
        ++dones;
        throw std::runtime_error("done");
    };
    StartSend(h);
    h.wire->RaiseConnected();
    EXPECT_NO_THROW(h.Reply("220 ready"));
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
    EXPECT_NO_THROW(h.wire->RaiseClosed());
    EXPECT_EQ(dones, 1);
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL UNEXPECTED DISCONNECT)");
    EXPECT_NO_THROW(StartSend(h));  // idle again
}

}  // namespace
}  // namespace zef::testing
