// A few faults end to end: the misbehaving servers on a real loopback socket, the controls with
// their real socket component and timer. Each run must end with one Done with the documented
// code, and nothing may happen after it.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "common/Unicode.h"
#include "pop/popZef.h"
#include "smtp/smtpZef.h"
#include "tests/reliability/Corpus.h"
#include "tests/reliability/LoopbackPeer.h"
#include "tests/reliability/ServerModels.h"

namespace zef::reliability {
namespace {

using namespace std::chrono_literals;

struct Ending {
    int dones = 0;
    long code = 0;
    std::string message;
};

// Runs the loop until Done, at most `limit`, then a little longer to see that no second Done
// comes.
void RunUntilDone(asio::io_context& io, const Ending& ending, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (ending.dones == 0 && std::chrono::steady_clock::now() < deadline) {
        io.run_for(20ms);
        io.restart();
    }
    io.run_for(200ms);
    io.restart();
}

void Record(Ending& ending, long code, const Text& message) {
    if (++ending.dones == 1) {
        ending.code = code;
        ending.message = TextToUtf8(message);
    }
}

struct LoopbackCase {
    std::string name;
    bool pop;
    Fault fault;
    long code;
    std::string message;
    size_t committed;  // messages the SMTP server accepted, or the POP3 server deleted
    long transTimeout = 10;
    long long maxLineLength = 64LL << 20;  // POP3
};

void PrintTo(const LoopbackCase& value, std::ostream* out) {
    *out << value.name;
}

class Loopback : public ::testing::TestWithParam<LoopbackCase> {};

TEST_P(Loopback, EndsWithTheDocumentedDone) {
    const LoopbackCase& test = GetParam();
    asio::io_context io;
    Ending ending;
    const auto record = [&](long code, const Text& message) { Record(ending, code, message); };
    if (test.pop) {
        Pop3Server server;
        server.fault = test.fault;
        server.mails = {{Corpus().at(0).bytes, "uid-1"}, {Corpus().at(3).bytes, "uid-2"}};
        LoopbackPeer peer(io, server);
        popZef control(io);
        control.Done = record;
        control.Port(Utf8ToText(peer.Port()));
        control.TransTimeout(test.transTimeout);
        control.ConnectTimeout(10);
        control.MaxLineLength(test.maxLineLength);
        control.pop(u"127.0.0.1", Utf8ToText(server.user), Utf8ToText(server.pass), 0);
        RunUntilDone(io, ending, 20s);
        EXPECT_EQ(server.committed.size(), test.committed);
    } else {
        SmtpServer server;
        server.fault = test.fault;
        LoopbackPeer peer(io, server);
        smtpZef control(io);
        control.Done = record;
        control.MoreData = [](long id, Bytes& data) {
            if (id == 1) {
                data = TextToUtf16Le(u"one line of body\r\n");
            }
        };
        control.Auth(2);
        control.User(Utf8ToText(server.user));
        control.Pass(Utf8ToText(server.pass));
        control.Port(Utf8ToText(peer.Port()));
        control.TransTimeout(test.transTimeout);
        control.ConnectTimeout(10);
        control.ToAddr(Variant(u"rcpt@example.net"));
        control.FromAddr(u"sender@example.org");
        control.Smtp(u"127.0.0.1", u"Subject: loopback\r\n");
        RunUntilDone(io, ending, 20s);
        EXPECT_EQ(server.accepted.size(), test.committed);
    }
    EXPECT_EQ(ending.dones, 1);
    EXPECT_EQ(ending.code, test.code) << ending.message;
    EXPECT_EQ(ending.message, test.message);
}

using enum FaultKind;
constexpr size_t k3MiB = size_t{3} << 20;

// SMTP replies of the LOGIN dialogue: 0 greeting, 1 EHLO, 2 AUTH, 3 user, 4 password, 5 MAIL,
// 6 RCPT, 7 DATA, 8 the dot, 9 QUIT. POP3 replies: 0 greeting, 1 USER, 2 PASS, 3 STAT, then per
// message LIST, UIDL, TOP, RETR, DELE (4 to 8 and 9 to 13), 14 QUIT.
INSTANTIATE_TEST_SUITE_P(
    Faults, Loopback,
    ::testing::Values(
        LoopbackCase{"smtp_close_at_mail", false, {kClose, 5}, -2, "UNEXPECTED DISCONNECT", 0},
        LoopbackCase{
            "smtp_refusal_at_rcpt", false, {kRefuse, 6}, -1, "554 5.7.1 injected refusal", 0},
        LoopbackCase{"smtp_silence_at_data", false, {kSilence, 7}, -4, "trans timeout", 0, 1},
        LoopbackCase{
            "smtp_huge_line_at_ehlo", false, {kHugeLine, 1, k3MiB}, -1, "REPLY LINE TOO LONG", 0},
        LoopbackCase{"smtp_replies_after_quit", false, {kExtra, 9}, 0, "", 1},
        LoopbackCase{
            "pop_close_at_second_retr", true, {kClose, 12}, -2, "UNEXPECTED DISCONNECT", 0},
        LoopbackCase{"pop_refusal_at_pass", true, {kRefuse, 2}, -1, "-ERR injected refusal", 0},
        LoopbackCase{"pop_garbage_then_silence", true, {kGarbage, 7}, -4, "trans timeout", 0, 1},
        LoopbackCase{"pop_huge_line_in_retr",
                     true,
                     {kHugeLine, 7, k3MiB},
                     -1,
                     "LINE TOO LONG",
                     0,
                     10,
                     1LL << 20},
        LoopbackCase{"pop_replies_after_quit", true, {kExtra, 14}, 0, "", 2}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zef::reliability
