// A connection to the real Dovecot cut in the middle of RETR and in the middle of the DELE
// exchange, through a proxy on loopback: afterwards a fresh session with Python's poplib must
// find every message that the application did not let go. POP3 commits deletions only when the
// server gets QUIT, so before that nothing at all may be missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "pop/popZef.h"
#include "tests/integration/support/IntegrationEnv.h"
#include "tests/integration/support/Relay.h"

namespace zef::reliability {
namespace {

using integration::Relay;
using integration::RunChecker;
using integration::RunUntil;
using integration::ServerEnv;
using namespace std::chrono_literals;

int runs = 0;
int lost = 0;

struct Cut {
    std::string name;
    std::string mailbox;
    Relay::Rule rule;
    long code;            // what Done must carry
    std::set<long> keep;  // RetrDone: CancelDelete for these, the others are let go
};

void PrintTo(const Cut& cut, std::ostream* out) {
    *out << cut.name;
}

std::vector<std::string> Ids(const ServerEnv& env, const std::string& mailbox) {
    return RunChecker(env, {"mailbox", env.pop3Port, mailbox, env.pop3Pass})["ids"];
}

class DroppedConnection : public integration::WithServers,
                          public ::testing::WithParamInterface<Cut> {};

TEST_P(DroppedConnection, NothingIsDeletedThatTheApplicationDidNotLetGo) {
    const Cut& cut = GetParam();
    const std::vector<std::string> before = Ids(env_, cut.mailbox);
    ASSERT_FALSE(before.empty());

    asio::io_context io;
    Relay proxy(io, env_.pop3Port, cut.rule);
    popZef control(io);
    int dones = 0;
    long code = 0;
    std::string message;
    std::set<long> letGo;
    control.Done = [&](long c, const Text& m) {
        ++dones;
        code = c;
        message = TextToUtf8(m);
    };
    control.RetrDone = [&](long id, bool& cancelDelete) {
        cancelDelete = cut.keep.count(id) != 0;
        if (!cancelDelete) {
            letGo.insert(id);
        }
    };
    control.Port(Utf8ToText(proxy.Port()));
    control.ConnectTimeout(10);
    control.TransTimeout(10);
    control.pop(u"127.0.0.1", Utf8ToText(cut.mailbox), Utf8ToText(env_.pop3Pass), 0);
    ASSERT_TRUE(RunUntil(
        io, [&] { return dones > 0; }, 30s))
        << "no Done";
    RunUntil(
        io, [] { return false; }, 200ms);  // a second Done would show here

    EXPECT_EQ(dones, 1);
    EXPECT_TRUE(proxy.HasCut());
    EXPECT_EQ(code, cut.code) << message;

    // What may be gone: only messages let go, and only once the server had QUIT.
    const std::vector<std::string> after = Ids(env_, cut.mailbox);
    std::vector<std::string> expected;
    for (size_t i = 0; i < before.size(); ++i) {
        const long id = static_cast<long>(i + 1);
        const bool committed = cut.rule.trigger == "QUIT\r\n" && cut.rule.forwardTrigger;
        if (!(committed && letGo.count(id) != 0)) {
            expected.push_back(before[i]);
        }
    }
    EXPECT_EQ(after, expected);
    ++runs;
    for (const std::string& id : before) {
        const bool stillThere = std::find(after.begin(), after.end(), id) != after.end();
        const bool wasExpected = std::find(expected.begin(), expected.end(), id) != expected.end();
        lost += !stillThere && wasExpected ? 1 : 0;
    }
    std::printf(
        "reliability summary: dovecot %s: Done %ld, %zu of %zu messages left, lost %d "
        "(runs so far %d)\n",
        cut.name.c_str(), code, after.size(), before.size(), lost, runs);
}

// Mailbox "drop" holds three messages (the third about 29 KB) and is never committed; the cut
// after QUIT uses "quit" of its own. The message numbers in the triggers are the server's.
INSTANTIATE_TEST_SUITE_P(
    Cuts, DroppedConnection,
    ::testing::Values(
        Cut{"retr_before_any_byte", "drop", {"RETR 1\r\n", true, 0}, -2, {}},
        Cut{"retr_inside_status_line", "drop", {"RETR 1\r\n", true, 5}, -2, {}},
        Cut{"retr_inside_header", "drop", {"RETR 1\r\n", true, 60}, -2, {}},
        Cut{"retr_third_after_1000_bytes", "drop", {"RETR 3\r\n", true, 1000}, -2, {}},
        Cut{"retr_third_after_20000_bytes", "drop", {"RETR 3\r\n", true, 20000}, -2, {}},
        Cut{"dele_never_reaches_server", "drop", {"DELE 1\r\n", false, 0}, -2, {}},
        Cut{"dele_reply_lost", "drop", {"DELE 1\r\n", true, 0}, -2, {}},
        Cut{"second_dele_reply_half_sent", "drop", {"DELE 2\r\n", true, 3}, -2, {}},
        Cut{"list_after_two_deletions", "drop", {"LIST 3\r\n", true, 0}, -2, {}},
        // QUIT sent but never read by the server: the control ends as planned (Done 0) and
        // the server commits nothing.
        Cut{"quit_never_reaches_server", "drop", {"QUIT\r\n", false, 0}, 0, {}},
        // The server has QUIT and commits; only its reply is lost. Message 2 is kept.
        Cut{"quit_reply_lost", "quit", {"QUIT\r\n", true, 0}, 0, {2}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zef::reliability
