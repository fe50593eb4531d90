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

// --- SMTP ---

struct SmtpCase {
    std::string name;
    Fault fault;
    long transTimeout = 10;
    long code;
    std::string message;
    bool delivered;
};

void PrintTo(const SmtpCase& value, std::ostream* out) {
    *out << value.name;
}

class SmtpLoopback : public ::testing::TestWithParam<SmtpCase> {};

TEST_P(SmtpLoopback, EndsWithTheDocumentedDone) {
    const SmtpCase& test = GetParam();
    asio::io_context io;
    SmtpServer server;
    server.fault = test.fault;
    LoopbackPeer peer(io, server);
    smtpZef control(io);
    Ending ending;
    control.Done = [&](long code, const Text& message) { Record(ending, code, message); };
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

    EXPECT_EQ(ending.dones, 1);
    EXPECT_EQ(ending.code, test.code) << ending.message;
    EXPECT_EQ(ending.message, test.message);
    EXPECT_EQ(server.accepted.size(), test.delivered ? 1U : 0U);
}

// Replies of the LOGIN dialogue: 0 greeting, 1 EHLO, 2 AUTH, 3 user, 4 password, 5 MAIL, 6 RCPT,
// 7 DATA, 8 the dot, 9 QUIT.
INSTANTIATE_TEST_SUITE_P(
    Faults, SmtpLoopback,
    ::testing::Values(
        SmtpCase{"close_at_mail", {FaultKind::kClose, 5}, 10, -2, "UNEXPECTED DISCONNECT", false},
        SmtpCase{"refusal_at_rcpt",
                 {FaultKind::kRefuse, 6},
                 10,
                 -1,
                 "554 5.7.1 injected refusal",
                 false},
        SmtpCase{"silence_at_data", {FaultKind::kSilence, 7}, 1, -4, "trans timeout", false},
        SmtpCase{"huge_line_at_ehlo",
                 {FaultKind::kHugeLine, 1, size_t{3} << 20},
                 10,
                 -1,
                 "REPLY LINE TOO LONG",
                 false},
        SmtpCase{"replies_after_quit", {FaultKind::kExtra, 9}, 10, 0, "", true}),
    [](const auto& info) { return info.param.name; });

// --- POP3 ---

struct PopCase {
    std::string name;
    Fault fault;
    long transTimeout = 10;
    long long maxLineLength = 64LL << 20;
    long code;
    std::string message;
    size_t deleted;
};

void PrintTo(const PopCase& value, std::ostream* out) {
    *out << value.name;
}

class PopLoopback : public ::testing::TestWithParam<PopCase> {};

TEST_P(PopLoopback, EndsWithTheDocumentedDone) {
    const PopCase& test = GetParam();
    asio::io_context io;
    Pop3Server server;
    server.fault = test.fault;
    server.mails = {{Corpus().at(0).bytes, "uid-1"}, {Corpus().at(3).bytes, "uid-2"}};
    LoopbackPeer peer(io, server);
    popZef control(io);
    Ending ending;
    control.Done = [&](long code, const Text& message) { Record(ending, code, message); };
    control.Port(Utf8ToText(peer.Port()));
    control.TransTimeout(test.transTimeout);
    control.ConnectTimeout(10);
    control.MaxLineLength(test.maxLineLength);
    control.pop(u"127.0.0.1", Utf8ToText(server.user), Utf8ToText(server.pass), 0);
    RunUntilDone(io, ending, 20s);

    EXPECT_EQ(ending.dones, 1);
    EXPECT_EQ(ending.code, test.code) << ending.message;
    EXPECT_EQ(ending.message, test.message);
    EXPECT_EQ(server.committed.size(), test.deleted);
}

// Replies: 0 greeting, 1 USER, 2 PASS, 3 STAT, then per message LIST, UIDL, TOP, RETR, DELE
// (4 to 8 and 9 to 13), 14 QUIT.
INSTANTIATE_TEST_SUITE_P(
    Faults, PopLoopback,
    ::testing::Values(PopCase{"close_at_second_retr",
                              {FaultKind::kClose, 12},
                              10,
                              64LL << 20,
                              -2,
                              "UNEXPECTED DISCONNECT",
                              0},
                      PopCase{"refusal_at_pass",
                              {FaultKind::kRefuse, 2},
                              10,
                              64LL << 20,
                              -1,
                              "-ERR injected refusal",
                              0},
                      PopCase{"garbage_then_silence",
                              {FaultKind::kGarbage, 7},
                              1,
                              64LL << 20,
                              -4,
                              "trans timeout",
                              0},
                      PopCase{"huge_line_in_retr",
                              {FaultKind::kHugeLine, 7, size_t{3} << 20},
                              10,
                              1LL << 20,
                              -1,
                              "LINE TOO LONG",
                              0},
                      PopCase{
                          "replies_after_quit", {FaultKind::kExtra, 14}, 10, 64LL << 20, 0, "", 2}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zef::reliability
