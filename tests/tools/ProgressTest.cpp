#include "tools/zefmail/Progress.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/zefmail/Outcome.h"

namespace zef::zefmail {
namespace {

TEST(Progress, BarShowsBytesMessagesRateAndTimeLeft) {
    ProgressState state;
    state.bytesDone = uint64_t{512} * 1024;
    state.bytesTotal = uint64_t{1024} * 1024;
    state.itemsDone = 1;
    state.itemsTotal = 2;
    state.seconds = 2;
    EXPECT_EQ(RenderProgress(state),
              "[############------------]  50%  512.0 KiB / 1.0 MiB  1/2 messages  256.0 KiB/s"
              "  0:02 left");
}

TEST(Progress, UnknownTotalsAreLeftOut) {
    ProgressState state;
    state.bytesDone = 100;
    EXPECT_EQ(RenderProgress(state), "[------------------------]   0%  100 B");
}

TEST(Progress, NothingIsDrawnWhenDisabled) {
    std::ostringstream out;
    Progress progress(out, false);
    progress.Totals(100, 1);
    progress.Update(50, 0);
    progress.Finish();
    EXPECT_TRUE(out.str().empty());
    progress.Print("a trace line");
    EXPECT_EQ(out.str(), "a trace line\n");
}

TEST(Progress, APrintedLineClearsTheBarAndRedrawsIt) {
    std::ostringstream out;
    Progress progress(out, true);
    progress.Totals(100, -1);
    out.str("");
    progress.Print("220 ready");
    EXPECT_EQ(out.str().rfind("\r\x1b[K220 ready\n\r[", 0), 0U) << out.str();
}

TEST(Outcome, OneLineThatNamesTheCauseAndKeepsCodeAndMessage) {
    EXPECT_EQ(DescribeFailure(111, "Connection refused", "mail.example", 25, false),
              "cannot reach mail.example:25 (code 111: Connection refused)");
    EXPECT_EQ(DescribeFailure(-3, "connect timeout", "h", 110, false),
              "cannot reach h:110 (code -3: connect timeout)");
    EXPECT_EQ(DescribeFailure(-1, "NO FROM ADDRESS", "h", 25, false),
              "cannot send (code -1: NO FROM ADDRESS)");
    EXPECT_EQ(DescribeFailure(-1, "-ERR [AUTH] Authentication failed.", "h", 110, true),
              "the server refused (code -1: -ERR [AUTH] Authentication failed.)");
    EXPECT_EQ(DescribeFailure(-4, "trans timeout", "h", 25, true),
              "the server stopped answering (code -4: trans timeout)");
}

TEST(Outcome, TlsFailuresSayWhatToDo) {
    EXPECT_EQ(
        DescribeFailure(10, "certificate verify failed: certificate has expired", "h", 465, false),
        "the server's certificate was refused (code 10: certificate verify failed: "
        "certificate has expired; --ca-file names a CA to trust, --insecure skips the "
        "check)");
    EXPECT_EQ(DescribeFailure(1, "TLS handshake failed: wrong version number", "h", 995, true),
              "no TLS with h:995 (code 1: TLS handshake failed: wrong version number)");
}

}  // namespace
}  // namespace zef::zefmail
