// How a transfer ends: time-outs, socket errors, disconnects, refused starts, and a broken
// or hostile server or application. Every started transfer gives exactly one Done.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Error.h"
#include "tests/pop/PopTestDoubles.h"

namespace zef::testing {
namespace {

using Log = std::vector<std::string>;

// --- time-outs (a limit of N seconds fires on tick N+1) ---

TEST(PopTimeout, ConnectTimeoutClosesAndReportsMinus3) {
    PopHarness h;
    h.control->ConnectTimeout(3);
    h.control->pop(u"pop.example", u"bob", u"pw", 0);
    EXPECT_EQ(h.timer->Interval(), 1000);
    EXPECT_EQ(h.timer->Fire(3), 3);
    EXPECT_EQ(h.wire->closeCalls, 0);
    EXPECT_EQ(h.timer->Fire(5), 1);  // fires on the fourth tick, then the timer is off
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.doneCount, 0);  // Done waits for Closed
    h.wire->RaiseClosed();
    EXPECT_EQ(h.TakeEvents(), Log{"Done -3 [connect timeout]"});
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(PopTimeout, TransTimeoutCountsSilenceSinceTheLastSocketEvent) {
    PopHarness h;
    h.control->ConnectTimeout(30);
    h.control->TransTimeout(5);
    h.Start();
    h.timer->Fire(5);
    h.Receive("+OK ready\r\n");  // re-arms the guard
    h.timer->Fire(5);
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.timer->Fire(1);
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), "Done -4 [trans timeout]");
    EXPECT_EQ(h.doneCount, 1);
}

TEST(PopTimeout, TimeoutOverwritesAnEarlierCode) {
    PopHarness h;
    h.control->TransTimeout(1);
    h.LogIn();
    h.Receive("-ERR busy\r\n");  // error reset: RSET is out, code -1
    h.timer->Fire(2);
    EXPECT_EQ(h.CloseAndDone(), "Done -4 [trans timeout]");
}

TEST(PopTimeout, ZeroMeansNoLimit) {
    PopHarness h;
    h.Start();
    EXPECT_FALSE(h.timer->Enabled());
    EXPECT_EQ(h.timer->Fire(100), 0);
    EXPECT_EQ(h.wire->closeCalls, 0);
}

// --- socket events ---

TEST(PopSocket, SocketErrorIsReportedWhenTheConnectionCloses) {
    PopHarness h;
    h.LogIn();
    h.wire->RaiseSocketError(10054, "connection reset by peer");
    EXPECT_EQ(h.doneCount, 0);
    h.wire->RaiseClosed();
    EXPECT_EQ(h.TakeEvents(), Log{"Done 10054 [connection reset by peer]"});
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(PopSocket, UnexpectedDisconnect) {
    PopHarness h;
    h.LogIn();
    h.wire->RaiseClosed();
    EXPECT_EQ(h.TakeEvents(), Log{"Done -2 [UNEXPECTED DISCONNECT]"});
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL UNEXPECTED DISCONNECT)");
}

TEST(PopSocket, SecondClosedGivesNoSecondDone) {
    PopHarness h;
    h.LogIn();
    h.wire->RaiseClosed();
    h.wire->RaiseClosed();
    h.Receive("+OK late\r\n");
    EXPECT_EQ(h.doneCount, 1);
    EXPECT_EQ(h.wire->sent, "");
}

TEST(PopSocket, UnfinishedLineOfAnEndedConnectionJoinsTheNextFirstLine) {
    PopHarness h;
    h.Start();
    h.Receive("+OK half");
    EXPECT_EQ(h.CloseAndDone(), "Done -2 [UNEXPECTED DISCONNECT]");
    h.TakeEvents();
    h.Start();
    h.Receive(" of a greeting\r\n");
    EXPECT_EQ(h.TakeEvents().front(), "Trace +OK half of a greeting");
}

TEST(PopSocket, SocketTraceIsForwardedOnlyWhenAskedFor) {
    PopHarness h;
    h.wire->RaiseTrace("resolving");
    h.control->TcpTraceOn(true);
    h.wire->RaiseTrace("connecting");
    EXPECT_EQ(h.TakeEvents(), Log{"Trace connecting"});
}

// --- starting ---

TEST(PopStart, SecondPopRaises59AndLeavesTheTransferRunning) {
    PopHarness h;
    h.Start();
    try {
        h.control->pop(u"other", u"x", u"y", 1);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 59);
        EXPECT_EQ(e.source(), "TALVORN:Smtp");
        EXPECT_EQ(e.description(), u"\u51e6\u7406\u4e2d\u3067\u3059\u3002");
    }
    EXPECT_EQ(h.wire->connects.size(), 1u);
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "USER bob\r\n");
}

TEST(PopStart, ConnectThatThrowsGivesDoneBeforePopReturns) {
    PopHarness h;
    h.wire->throwOnConnect = true;
    h.control->pop(u"nowhere", u"bob", u"pw", 0);
    EXPECT_EQ(h.TakeEvents(), Log{"Done 10049 [address not available]"});
    EXPECT_EQ(h.control->Caption(), u"Connect Error(10049)address not available");
    h.wire->throwOnConnect = false;
    h.Start();  // idle again: a new pop is accepted
    EXPECT_EQ(h.wire->connects.size(), 1u);
}

TEST(PopStart, NewPopFromInsideDone) {
    PopHarness h;
    int dones = 0;
    h.control->Done = [&](long, const Text&) {
        if (++dones == 1) {
            h.control->pop(u"pop.example", u"again", u"pw", 0);
        }
    };
    h.LogIn();
    h.wire->RaiseClosed();
    ASSERT_EQ(h.wire->connects.size(), 2u);
    h.wire->RaiseConnected();
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "USER again\r\n");
    h.wire->RaiseClosed();
    EXPECT_EQ(dones, 2);
}

TEST(PopStart, LineBreaksInLoginArgumentsAreRefusedBeforeConnecting) {
    const std::vector<std::pair<Text, Text>> bad{
        {u"bob\r\nDELE 1", u"pw"}, {u"bob", u"pw\nQUIT"}, {Text(u"b\0b", 3), u"pw"}};
    for (const auto& [user, password] : bad) {
        PopHarness h;
        h.control->pop(u"pop.example", user, password, 0);
        ASSERT_EQ(h.doneCount, 1);
        const std::string done = h.events.back();
        EXPECT_EQ(done.rfind("Done -1 [INVALID ", 0), 0u) << done;
        EXPECT_NE(done.find(user == u"bob" ? "xpass" : "xuser"), std::string::npos) << done;
        EXPECT_TRUE(h.wire->connects.empty());
        h.Start();  // still idle
        EXPECT_EQ(h.wire->connects.size(), 1u);
    }
}

// --- a broken or hostile server ---

TEST(PopHostile, GarbageGreetingEndsTheTransferOnce) {
    PopHarness h;
    h.Start();
    h.Receive(std::string("\x00\xff\x1b$B\x80garbage\r\n\xfe\n", 17));
    EXPECT_EQ(h.wire->shutdownCalls, 2);  // the refusal, then the line after it
    EXPECT_EQ(h.Sent(), "");
    h.wire->RaiseClosed();
    EXPECT_EQ(h.doneCount, 1);
    EXPECT_EQ(h.events.back().rfind("Done -1 [", 0), 0u);
}

TEST(PopHostile, LineOverTheLimitClosesAndReportsIt) {
    PopHarness h;
    h.control->MaxLineLength(16);
    h.LogIn();
    h.Receive("+OK 1 1\r\n");  // STAT
    h.Receive("+OK 1 1234567890");
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.Receive("abcdefgh");  // the open line passes the limit
    EXPECT_EQ(h.wire->closeCalls, 1);
    h.Receive("+OK more\r\n");  // nothing more is taken
    EXPECT_EQ(h.Sent(), "LIST 1\r\n");
    EXPECT_EQ(h.CloseAndDone(), "Done -1 [LINE TOO LONG]");
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(PopHostile, LongLineInsideAMessageIsRefusedToo) {
    PopHarness h;
    h.control->MaxLineLength(100);
    h.control->UidlFirst = [](long, bool& cancel) { cancel = true; };
    h.control->TopFirst = [](long, bool& cancel) { cancel = true; };
    h.LogIn();
    h.Receive("+OK 1 1\r\n+OK 1 1\r\n+OK\r\nSubject: x\r\n\r\n" + std::string(101, 'a') +
              "\r\n.\r\n");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_FALSE(h.Logged("RetrDone 1"));
    EXPECT_EQ(h.Sent().find("DELE"), std::string::npos);
    EXPECT_EQ(h.CloseAndDone(), "Done -1 [LINE TOO LONG]");
}

// Random mixes of good replies, message lines and garbage, cut at random places, with the real
// converter and codec: whatever arrives, the control ends with exactly one Done.
TEST(PopHostile, RandomStreamsAlwaysEndWithOneDone) {
    const std::vector<std::string> pieces{"+OK\r\n",
                                          "+OK 3 300\r\n",
                                          "+OK 1 100\r\n",
                                          "-ERR no\r\n",
                                          ".\r\n",
                                          "\r\n",
                                          "\n",
                                          "..x\r\n",
                                          "Content-Type: multipart/mixed; boundary=B\r\n",
                                          "--B\r\n",
                                          "--B--\r\n",
                                          "Content-Transfer-Encoding: base64\r\n",
                                          "Content-Transfer-Encoding: quoted-printable\r\n",
                                          "YWJ=j*\r\n",
                                          "=E3=81=\r\n",
                                          "Subject: =?UTF-8?B?###?= =?ISO-2022-JP?Q?=1B$B?=\r\n",
                                          std::string("\x1b$B\x80\xff\x00\x1b(", 8),
                                          "\r"};
    for (unsigned seed = 0; seed < 200; ++seed) {
        std::mt19937 random(seed);
        PopHarness h{PopHarness::Options{true, true}};
        h.control->MaxLineLength(4096);
        h.control->TransTimeout(seed % 3 == 0 ? 2 : 0);
        h.isText = seed % 2 == 0;
        h.Start();
        // Logged in and inside a RETR response, so the parser gets its share of the noise.
        std::string stream =
            seed % 4 == 0
                ? ""
                : "+OK\r\n+OK\r\n+OK\r\n+OK 3 300\r\n+OK 1 9\r\n+OK 1 u\r\n+OK\r\n.\r\n+OK\r\n";
        for (int i = 0; i < 2000; ++i) {
            stream += pieces[random() % pieces.size()];
        }
        for (size_t at = 0; at < stream.size();) {
            const size_t length = 1 + random() % 64;
            h.Receive(stream.substr(at, length));
            at += length;
            if (random() % 50 == 0) {
                h.timer->Fire(3);
            }
        }
        h.wire->RaiseClosed();
        h.wire->RaiseClosed();
        EXPECT_EQ(h.doneCount, 1) << "seed " << seed;
    }
}

TEST(PopHostile, MaxLineLengthMustBePositive) {
    PopHarness h;
    EXPECT_EQ(h.control->MaxLineLength(), 64LL * 1024 * 1024);
    EXPECT_THROW(h.control->MaxLineLength(0), Error);
    EXPECT_EQ(h.control->MaxLineLength(), 64LL * 1024 * 1024);
}

// --- a failing application or decoder ---

TEST(PopFailingHandler, ZefErrorEndsTheTransferWithoutDeleting) {
    PopHarness h;
    h.control->MailHeadNext = [](long, const Text&, const Text&) {
        throw Error(1234, "app", u"cannot store");
    };
    h.LogIn();
    h.Receive(
        "+OK 2 10\r\n+OK 1 5\r\n+OK 1 u\r\n+OK\r\n.\r\n+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.Sent().find("DELE"), std::string::npos);
    h.Receive("+OK ignored\r\n");
    EXPECT_EQ(h.CloseAndDone(), "Done 1234 [cannot store]");
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(PopFailingHandler, OtherExceptionGivesMinusOneAndItsText) {
    PopHarness h;
    h.control->RetrDone = [](long, bool&) { throw std::runtime_error("disk full"); };
    h.LogIn();
    h.Receive("+OK 1 10\r\n+OK 1 5\r\n+OK 1 u\r\n+OK\r\n.\r\n+OK\r\nSubject: x\r\n\r\n.\r\n");
    EXPECT_EQ(h.Sent().find("DELE"), std::string::npos);
    EXPECT_EQ(h.CloseAndDone(), "Done -1 [disk full]");
}

TEST(PopFailingHandler, DecoderFailureEndsTheTransfer) {
    PopHarness h;
    h.codec->failDecoders = true;
    h.LogIn();
    h.Receive(
        "+OK 1 10\r\n+OK 1 5\r\n+OK 1 u\r\n+OK\r\n.\r\n+OK\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nYWJj\r\n.\r\n");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), "Done 5 [bad base64]");
}

TEST(PopFailingHandler, ThrowingTraceOrDoneNeverEscapes) {
    PopHarness h;
    h.control->Trace = [](const Text&) { throw std::logic_error("trace handler broke"); };
    int dones = 0;
    h.control->Done = [&dones](long, const Text&) {
        ++dones;
        throw std::logic_error("done handler broke");
    };
    h.Start();
    EXPECT_NO_THROW(h.Receive("+OK\r\n"));
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_NO_THROW(h.wire->RaiseClosed());
    EXPECT_EQ(dones, 1);
}

TEST(PopFailingHandler, ThrowingTimerTickHandlerPathStillEndsOnce) {
    PopHarness h;
    h.control->TransTimeout(1);
    h.control->CaptionChanged = [](const Text& caption) {
        if (caption == u"DONE(FAIL)") {
            throw std::runtime_error("caption");
        }
    };
    h.LogIn();
    h.timer->Fire(2);
    EXPECT_EQ(h.CloseAndDone(), "Done -4 [trans timeout]");
}

}  // namespace
}  // namespace zef::testing
