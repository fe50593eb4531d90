// The POP3 dialogue on a scripted socket: each row of the state table, the walk over the
// messages and the application's choices.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/pop/PopTestDoubles.h"

namespace zef::testing {
namespace {

using Log = std::vector<std::string>;

// --- logging in ---

TEST(PopLogin, UserAndPassThenStat) {
    PopHarness h;
    h.Start(u"bob", u"s3cret");
    ASSERT_EQ(h.wire->connects.size(), 1u);
    EXPECT_EQ(h.wire->connects[0].host, "pop.example");
    EXPECT_EQ(h.wire->connects[0].port, "110");
    EXPECT_EQ(h.wire->connects[0].options, "0");

    h.Receive("+OK POP3 ready\r\n");
    EXPECT_EQ(h.Sent(), "USER bob\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "PASS s3cret\r\n");
    h.Receive("+OK logged in\r\n");
    EXPECT_EQ(h.Sent(), "STAT\r\n");
    EXPECT_EQ(h.Traces(), (Log{"+OK POP3 ready", ">>USER bob", "+OK", ">>PASS ***", "+OK logged in",
                               ">>STAT "}));
    EXPECT_EQ(h.control->Caption(), u"PROCESSING");
}

TEST(PopLogin, ApopDigestOfTheGreetingsTimestamp) {
    PopHarness h;
    h.control->APOP(true);
    h.Start(u"mrose", u"tanstaaf");
    h.Receive("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n");
    EXPECT_EQ(h.Sent(), "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n");
    EXPECT_TRUE(h.Logged("Trace >>APOP mrose c4c9334bac560ecc979e58001b3e22fb"));
    h.Receive("+OK maildrop locked\r\n");
    EXPECT_EQ(h.Sent(), "STAT\r\n");
}

TEST(PopLogin, ApopWithoutTimestampSendsAnEmptyDigest) {
    PopHarness h;
    h.control->APOP(true);
    h.Start(u"mrose", u"tanstaaf");
    h.Receive("+OK ready > and < reversed\r\n");
    EXPECT_EQ(h.Sent(), "APOP mrose \r\n");
}

TEST(PopLogin, PasswordNeverReachesTheTrace) {
    PopHarness h;
    h.control->TcpTraceOn(true);
    h.Start(u"bob", u"hunter2");
    h.Receive("+OK\r\n+OK\r\n");
    EXPECT_EQ(h.Sent(), "USER bob\r\nPASS hunter2\r\n");
    for (const std::string& trace : h.Traces()) {
        EXPECT_EQ(trace.find("hunter2"), std::string::npos) << trace;
    }
    EXPECT_TRUE(h.Logged("Trace >>PASS ***"));
}

// A refusal of the greeting, USER, PASS or APOP shuts the connection down without a command.
class PopFatalRefusal : public ::testing::TestWithParam<int> {};

TEST_P(PopFatalRefusal, ShutsDownAndReportsTheLine) {
    PopHarness h;
    h.control->APOP(GetParam() == 3);
    h.Start();
    const std::vector<std::string> goodReplies{"+OK ready <1.2@x>\r\n", "+OK\r\n"};
    const int goodSteps = GetParam() == 3 ? 1 : GetParam();  // APOP answers the greeting
    for (int i = 0; i < goodSteps; ++i) {
        h.Receive(goodReplies[static_cast<size_t>(i)]);
    }
    h.Sent();
    h.TakeEvents();
    h.Receive("-ERR go away\r\n");
    EXPECT_EQ(h.Sent(), "");
    EXPECT_EQ(h.wire->shutdownCalls, 1);
    EXPECT_EQ(h.TakeEvents(), Log{"Trace -ERR go away"});
    h.wire->RaiseClosed();
    EXPECT_EQ(h.TakeEvents(), Log{"Done -1 [-ERR go away]"});
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

// 0: greeting, 1: USER, 2: PASS, 3: APOP
INSTANTIATE_TEST_SUITE_P(EachLoginStep, PopFatalRefusal, ::testing::Values(0, 1, 2, 3));

// --- STAT ---

TEST(PopStat, EmptyMailboxQuits) {
    PopHarness h;
    h.LogIn();
    h.Receive("+OK 0 0\r\n");
    EXPECT_EQ(h.TakeEvents(), (Log{"Trace +OK 0 0", "Stat 0 0", "Trace >>QUIT "}));
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.Receive("+OK bye\r\n");
    EXPECT_EQ(h.wire->shutdownCalls, 1);
    h.wire->RaiseClosed();
    EXPECT_EQ(h.TakeEvents(), (Log{"Trace +OK bye", "Done 0 []"}));
    EXPECT_EQ(h.control->Caption(), u"DONE(COMPLETE)");
}

TEST(PopStat, RefusalResetsThenQuitsWithTheRefusedLine) {
    PopHarness h;
    h.LogIn();
    h.Receive("-ERR mailbox busy\r\n");
    EXPECT_EQ(h.Sent(), "RSET\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.CloseAndDone(), "Done -1 [-ERR mailbox busy]");
}

TEST(PopStat, ReplyWithoutNumbersIsARefusal) {
    for (const char* reply : {"+OK\r\n", "+OK mailbox ready\r\n", "+OK 3\r\n"}) {
        PopHarness h;
        h.LogIn();
        h.Receive(reply);
        EXPECT_EQ(h.Sent(), "RSET\r\n") << reply;
        EXPECT_FALSE(h.Logged("Stat 0 0")) << reply;
        h.Receive("+OK\r\n+OK\r\n");
        h.wire->RaiseClosed();
        EXPECT_EQ(h.doneCount, 1);
        EXPECT_EQ(h.events.back().rfind("Done -1 [+OK", 0), 0u) << h.events.back();
    }
}

TEST(PopStat, CountIsCappedAt32000AndOnlyThoseAreWalked) {
    PopHarness h;
    h.control->UidlFirst = [](long, bool& cancel) { cancel = true; };
    h.control->TopFirst = [](long, bool& cancel) { cancel = true; };
    h.control->RetrFirst = [](long, long, bool& cancel) { cancel = true; };
    h.LogIn();
    h.Receive("+OK 40000 123456\r\n");
    EXPECT_TRUE(h.Logged("Stat 32000 123456"));
    EXPECT_EQ(h.Sent(), "LIST 1\r\n");
    for (int id = 1; id < 32000; ++id) {
        h.Receive("+OK 1 10\r\n");
    }
    EXPECT_EQ(h.Sent().substr(0, 22), "LIST 2\r\nLIST 3\r\nLIST 4");
    h.Receive("+OK 32000 10\r\n");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
}

// --- one message, end to end ---

class PopWalk : public ::testing::Test {
  protected:
    PopHarness h;
    void SetUp() override {
        h.LogIn();
        h.Receive("+OK 1 120\r\n");  // STAT: one message
        EXPECT_EQ(h.Sent(), "LIST 1\r\n");
        h.TakeEvents();
    }
};

TEST_F(PopWalk, DefaultChoicesGiveUidlTopRetrAndDele) {
    h.isText = false;
    h.Receive("+OK 1 120\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\n");
    h.Receive("+OK 1 uid-1\r\n");
    EXPECT_EQ(h.Sent(), "TOP 1 0\r\n");
    h.Receive("+OK top follows\r\nSubject: hi\r\n\r\n..x\r\n.\r\n");
    EXPECT_EQ(h.Sent(), "RETR 1\r\n");
    h.Receive("+OK message follows\r\nSubject: hi\r\n\r\n..x\r\n\r\n.y\r\n.\r\n");
    EXPECT_EQ(h.Sent(), "DELE 1\r\n");
    h.Receive("+OK deleted\r\n");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    EXPECT_EQ(h.TakeEvents(), (Log{"Trace +OK 1 120",
                                   "UidlFirst 1",
                                   "Trace >>UIDL 1",
                                   "Trace +OK 1 uid-1",
                                   "UidlDone 1 [uid-1]",
                                   "TopFirst 1",
                                   "Trace >>TOP 1 0",
                                   "Trace +OK top follows",
                                   "TopNext 1 [Subject: hi]",
                                   "TopNext 1 []",
                                   "TopNext 1 [..x]",
                                   "RetrFirst 1 120",
                                   "MailHeadFirst 1",
                                   "Trace >>RETR 1",
                                   "Trace +OK message follows",
                                   "MailHeadNext 1 [Subject] [hi]",
                                   "MailHeadDone 1",
                                   "MultiPartOpen 1 1 [multipart/mixed]",
                                   "MimeHeadFirst 1 1",
                                   "MimeHeadDone 1 1",
                                   "MimeDataFirst 1 1",
                                   "MimeDataNext 1 1 .x\\r\\n",
                                   "MimeDataNext 1 1 \\r\\n",
                                   "MimeDataNext 1 1 y\\r\\n",
                                   "MimeDataDone 1 1",
                                   "RetrDone 1",
                                   "MultiPartClose 1 []",
                                   "Trace >>DELE 1",
                                   "Trace +OK deleted",
                                   "Trace >>QUIT "}));
}

TEST_F(PopWalk, UidlRefusalGivesAnEmptyIdAndGoesOn) {
    h.Receive("+OK 1 120\r\n-ERR no UIDL\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\n");
    EXPECT_TRUE(h.Logged("UidlDone 1 []"));
}

TEST_F(PopWalk, DeleteInUidlDoneSkipsTopAndRetr) {
    h.control->UidlDone = [](long, const Text&, bool& deleteNow) { deleteNow = true; };
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nDELE 1\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    EXPECT_FALSE(h.Logged("TopFirst 1"));
    EXPECT_FALSE(h.Logged("RetrFirst 1 120"));
}

TEST_F(PopWalk, TopRefusalAsksTopDoneWhichMayDelete) {
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n-ERR no TOP\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nRETR 1\r\n");
    EXPECT_TRUE(h.Logged("TopDone 1"));

    PopHarness del;
    del.control->TopDone = [](long, bool& deleteNow) { deleteNow = true; };
    del.LogIn();
    del.Receive("+OK 1 120\r\n+OK 1 120\r\n+OK 1 x\r\n-ERR no TOP\r\n");
    EXPECT_EQ(del.Sent(), "LIST 1\r\nUIDL 1\r\nTOP 1 0\r\nDELE 1\r\n");
}

TEST_F(PopWalk, CompleteTopResponseLeadsToRetrFirstNotTopDone) {
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n+OK\r\n.\r\n");
    EXPECT_FALSE(h.Logged("TopDone 1"));
    EXPECT_TRUE(h.Logged("RetrFirst 1 120"));
}

TEST_F(PopWalk, CancelFlagsSkipSteps) {
    h.control->UidlFirst = [](long, bool& cancel) { cancel = true; };
    h.Receive("+OK 1 120\r\n");
    EXPECT_EQ(h.Sent(), "TOP 1 0\r\n");  // TopFirst is asked at once

    PopHarness all;
    all.control->UidlFirst = [](long, bool& cancel) { cancel = true; };
    all.control->TopFirst = [](long, bool& cancel) { cancel = true; };
    all.LogIn();
    all.Receive("+OK 1 120\r\n+OK 1 120\r\n");
    EXPECT_EQ(all.Sent(), "LIST 1\r\nRETR 1\r\n");
    EXPECT_TRUE(all.Logged("RetrFirst 1 120"));
}

TEST_F(PopWalk, CancelRetrLeavesTheMessage) {
    h.control->RetrFirst = [](long, long, bool& cancel) { cancel = true; };
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n+OK\r\n.\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nQUIT\r\n");
    EXPECT_FALSE(h.Logged("MailHeadFirst 1"));
}

TEST_F(PopWalk, CancelDeleteKeepsTheMessage) {
    h.control->RetrDone = [](long, bool& keep) { keep = true; };
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n+OK\r\n.\r\n+OK\r\nbody\r\n.\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nRETR 1\r\nQUIT\r\n");
}

TEST_F(PopWalk, RetrRefusalResets) {
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n+OK\r\n.\r\n-ERR gone\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nRETR 1\r\nRSET\r\n");
    h.Receive("-ERR whatever\r\n");  // the RSET reply is not examined
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.CloseAndDone(), "Done -1 [-ERR gone]");
}

TEST_F(PopWalk, DeleRefusalResets) {
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n+OK\r\n.\r\n+OK\r\n.\r\n-ERR locked\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nRETR 1\r\nDELE 1\r\nRSET\r\n");
}

TEST_F(PopWalk, ListRefusalOrReplyWithoutSizeResets) {
    for (const char* reply : {"-ERR no such message\r\n", "+OK\r\n"}) {
        PopHarness each;
        each.LogIn();
        each.Receive(std::string("+OK 1 120\r\n") + reply);
        EXPECT_EQ(each.Sent(), "LIST 1\r\nRSET\r\n") << reply;
        EXPECT_FALSE(each.Logged("UidlFirst 1")) << reply;
    }
}

TEST_F(PopWalk, NegativeTopLinesKeepTheirSign) {
    PopHarness n;
    n.control->pop(u"pop.example", u"bob", u"pw", -1);
    n.wire->RaiseConnected();
    n.Receive("+OK\r\n+OK\r\n+OK\r\n+OK 1 9\r\n+OK 1 9\r\n+OK 1 x\r\n");
    EXPECT_EQ(n.Sent(), "USER bob\r\nPASS pw\r\nSTAT\r\nLIST 1\r\nUIDL 1\r\nTOP 1 -1\r\n");
}

TEST_F(PopWalk, DeleteOnErrorTurnsTheResetIntoQuit) {
    h.control->DeleteOnError(true);
    h.Receive("+OK 1 120\r\n+OK 1 x\r\n+OK\r\n.\r\n-ERR gone\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nRETR 1\r\nQUIT\r\n");
    EXPECT_TRUE(h.Logged("Trace >>QUIT "));
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.CloseAndDone(), "Done -1 [-ERR gone]");
}

// --- lines in and outside multi-line responses ---

TEST_F(PopWalk, EmptyLinesCountOnlyInsideMultiLineResponses) {
    h.Receive("\r\n\n+OK 1 120\r\n");  // ignored, then the LIST reply
    EXPECT_EQ(h.TakeEvents().front(), "Trace +OK 1 120");
    h.Receive("\r\n+OK 1 x\r\n+OK\r\n\r\n\r\n.\r\n");
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nRETR 1\r\n");
    Log tops;
    for (const std::string& e : h.events) {
        if (e.rfind("TopNext", 0) == 0) {
            tops.push_back(e);
        }
    }
    EXPECT_EQ(tops, (Log{"TopNext 1 []", "TopNext 1 []"}));
}

TEST_F(PopWalk, LfOnlyLineEndsAndBytesSplitAnywhere) {
    const std::string stream = "+OK 1 120\n+OK 1 x\n+OK\nline\n.\n+OK\nSubject: a\n\nb\n.\n+OK\n";
    for (char c : stream) {
        h.Receive(std::string(1, c));
    }
    EXPECT_EQ(h.Sent(), "UIDL 1\r\nTOP 1 0\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n");
    EXPECT_TRUE(h.Logged("TopNext 1 [line]"));
    EXPECT_TRUE(h.Logged("MailHeadNext 1 [Subject] [a]"));
}

TEST_F(PopWalk, OutputWaitsWhileTheSocketCannotSend) {
    h.wire->canSend = false;
    h.Receive("+OK 1 120\r\n");
    EXPECT_EQ(h.Sent(), "");
    h.wire->canSend = true;
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "UIDL 1\r\n");
    h.wire->RaiseSendComplete();
    EXPECT_EQ(h.Sent(), "");  // nothing is sent twice
}

// --- stopping on request ---

class PopAbend : public ::testing::Test {
  protected:
    // Five messages; Abend is called while message `at` is handled. Returns what was sent
    // after the LIST reply of the next message.
    std::string Run(PopHarness& h, bool cancelDelete, long at) {
        h.control->UidlFirst = [](long, bool& cancel) { cancel = true; };
        h.control->TopFirst = [](long, bool& cancel) { cancel = true; };
        h.control->RetrDone = [&h, cancelDelete, at](long id, bool&) {
            if (id == at) {
                h.control->Abend(cancelDelete);
            }
        };
        h.LogIn();
        h.Receive("+OK 5 500\r\n");
        for (long id = 1; id <= at; ++id) {
            h.Receive("+OK 1 100\r\n+OK\r\nbody\r\n.\r\n+OK\r\n");  // LIST, RETR, DELE
        }
        h.Sent();
        h.Receive("+OK 4 100\r\n");
        return h.Sent();
    }
};

TEST_F(PopAbend, KeepDeletionsQuitsAtTheNextList) {
    PopHarness h;
    EXPECT_EQ(Run(h, false, 3), "QUIT\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.CloseAndDone(), "Done 0 []");
}

TEST_F(PopAbend, CancelDeletionsResetsThenQuits) {
    PopHarness h;
    EXPECT_EQ(Run(h, true, 3), "RSET\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.Receive("+OK\r\n");
    EXPECT_EQ(h.CloseAndDone(), "Done 0 []");
    EXPECT_EQ(h.control->Caption(), u"DONE(COMPLETE)");
}

TEST_F(PopAbend, DeleteOnErrorQuitsInBothModes) {
    for (bool cancelDelete : {false, true}) {
        PopHarness h;
        h.control->DeleteOnError(true);
        EXPECT_EQ(Run(h, cancelDelete, 3), "QUIT\r\n");
        h.Receive("+OK\r\n");
        EXPECT_EQ(h.CloseAndDone(), "Done 0 []");
    }
}

TEST_F(PopAbend, AbendWithoutArgumentUndoesDeletions) {
    PopHarness h;
    h.control->RetrDone = [&h](long, bool&) { h.control->Abend(); };
    h.control->UidlFirst = [](long, bool& cancel) { cancel = true; };
    h.control->TopFirst = [](long, bool& cancel) { cancel = true; };
    h.LogIn();
    h.Receive("+OK 2 10\r\n+OK 1 5\r\n+OK\r\n.\r\n+OK\r\n");
    h.Sent();
    h.Receive("+OK 2 5\r\n");
    EXPECT_EQ(h.Sent(), "RSET\r\n");
}

TEST(PopAbendIdle, HasNoLastingEffect) {
    PopHarness h;
    h.control->Abend(false);
    h.LogIn();
    h.Receive("+OK 1 10\r\n+OK 1 10\r\n");
    EXPECT_EQ(h.Sent(), "LIST 1\r\nUIDL 1\r\n");
}

// --- after QUIT ---

TEST(PopAfterQuit, DataIsTracedAndAnsweredWithShutdown) {
    PopHarness h;
    h.LogIn();
    h.Receive("+OK 0 0\r\n+OK bye\r\nnoise\r\n");
    EXPECT_EQ(h.wire->shutdownCalls, 2);
    EXPECT_TRUE(h.Logged("Trace noise"));
    h.Receive("more\r\n");
    EXPECT_EQ(h.wire->shutdownCalls, 3);
    EXPECT_EQ(h.CloseAndDone(), "Done 0 []");
}

}  // namespace
}  // namespace zef::testing
