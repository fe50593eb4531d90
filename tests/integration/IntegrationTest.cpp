// popZef against Dovecot on loopback, as scripts/servers/run_with_servers.py starts it with the
// corpus of make_corpus.py, ending its sessions every way it can end: what stays on the server is
// read afterwards with Python's poplib (reference.py). zefmail_e2e.py runs the rest of the
// end-to-end cases, with both servers, through zefmail.
#include <gtest/gtest.h>

#include <array>
#include <asio.hpp>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "pop/popZef.h"
#include "smtp/smtpZef.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TestText.h"
#ifdef ZEF_TEST_QT
#include "components/qt/QtComponents.h"
#endif

namespace zef::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Strings = std::vector<std::string>;
constexpr auto npos = std::string::npos;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}
const std::string kWork = Env("ZEF_IT_WORKDIR"), kPopPort = Env("ZEF_IT_POP3_PORT"),
                  kPopPass = Env("ZEF_IT_POP3_PASS");

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
// What reference.py prints for the arguments.
json Python(const std::string& arguments) {
    const std::string command = "timeout 60 " ZEF_PYTHON " " ZEF_REFERENCE " " + arguments;
    EXPECT_EQ(std::system((command + " >" + kWork + "/python.json").c_str()), 0) << command;
    return json::parse(ReadFile(kWork + "/python.json"));
}
// The corpus ids of the messages in a mailbox of the plain Dovecot, read with poplib.
Strings Remaining(const std::string& mailbox) {
    return Python("mailbox " + kPopPort + " " + mailbox + " " + kPopPass);
}
// The forms of the password that `text` holds: none may (reference.py leaks).
json Leaks(const std::string& user, const std::string& password, const std::string& text) {
    std::ofstream(kWork + "/leaks.txt", std::ios::binary) << text;
    return Python("leaks " + user + " " + password + " " + kWork + "/leaks.txt");
}
// popZef on a loop of its own, and what the application hears of it.
struct Reader {
    Reader() {
        control.Port(T(kPopPort));
        control.ConnectTimeout(10);
        control.TransTimeout(20);
        control.TcpTraceOn(true);
        control.Trace = [this](const Text& line) { trace += U(line) + "\n"; };
        control.Done = [this](long c, const Text& m) { ++dones, code = c, message = U(m); };
    }
    void Read(const std::string& mailbox) {
        control.pop(u"127.0.0.1", T(mailbox), T(kPopPass), 0);
        const bool done = RunUntil(
            io, [this] { return dones > 0; }, 120s);
        ASSERT_TRUE(done) << "no Done:\n" << trace;
    }
    int dones = 0;
    long code = 0;
    std::string message, trace;
    asio::io_context io;
    popZef control{io};
};

// A TCP relay between a control and a server, on the control's loop. It keeps what the client
// sends (what anyone on the path could read), and cuts the connection when the client sends
// `trigger`: before the server has it, or after the server's next serverBytesAfter bytes.
struct Rule {
    std::string trigger;  // empty: never cut
    bool forwardTrigger = true;
    size_t serverBytesAfter = 0;
};
struct Relay {
    using Socket = asio::ip::tcp::socket;
    Relay(asio::io_context& io, const std::string& serverPort, Rule cut = Rule())
        : rule(std::move(cut)),
          acceptor(io, {asio::ip::make_address("127.0.0.1"), 0}),
          client(io),
          server(io) {
        acceptor.async_accept(client, [this, serverPort](std::error_code error) {
            const auto port = static_cast<unsigned short>(std::stoi(serverPort));
            server.connect({asio::ip::make_address("127.0.0.1"), port}, error);
            Pump(client, server);  // a failure to accept or to connect ends both at once
            Pump(server, client);
        });
    }
    std::string Port() const { return std::to_string(acceptor.local_endpoint().port()); }
    // Writes are synchronous: the order of the stream is kept simply.
    void Pump(Socket& from, Socket& to) {
        auto buffer = std::make_shared<std::array<char, 16384>>();
        from.async_read_some(asio::buffer(*buffer), [=, this, &from, &to](auto error, size_t n) {
            std::string bytes(buffer->data(), error ? 0 : n);
            bool cut = static_cast<bool>(error);
            const size_t length = rule.trigger.size(), before = sent.size();
            if (&from == &client) {
                sent += bytes;
                const size_t at =
                    triggered || length == 0
                        ? npos
                        : sent.find(rule.trigger, before > length ? before - length : 0);
                triggered = triggered || at != npos;
                if (at != npos && !rule.forwardTrigger) {
                    bytes.resize(at > before ? at - before : 0);  // what came before still goes
                    cut = true;
                }
            } else if (triggered) {
                cut = cut || bytes.size() >= rule.serverBytesAfter - serverBytes;
                bytes.resize(std::min(bytes.size(), rule.serverBytesAfter - serverBytes));
                serverBytes += bytes.size();
            }
            asio::write(to, asio::buffer(bytes), error);
            if (!cut && !error) {
                return Pump(from, to);
            }
            for (Socket* socket : {&client, &server}) {
                socket->shutdown(Socket::shutdown_both, error);
                socket->close(error);
            }
            closed = true;
        });
    }
    Rule rule;
    asio::ip::tcp::acceptor acceptor;
    Socket client, server;
    std::string sent;  // everything the client sent
    bool triggered = false, closed = false;
    size_t serverBytes = 0;
};

class Servers : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(kPopPort, "") << "run through run_with_servers.py"; }
};

struct Ending {
    const char* name;
    const char* mailbox;
    Rule cut;      // of the relay between popZef and Dovecot
    long abendAt;  // RetrDone of this message calls Abend(undo); 0: none
    bool undo;
    long code;            // of Done
    std::set<long> keep;  // RetrDone keeps these and lets the others go
};
class SessionEnd : public Servers, public ::testing::WithParamInterface<Ending> {};

// Abend, or a connection to Dovecot cut inside RETR, DELE or QUIT: a fresh session (poplib)
// finds every message the application did not let go; deletions count only once the server had
// QUIT, and not after RSET.
TEST_P(SessionEnd, TheServerKeepsEveryMessageTheApplicationDidNotLetGo) {
    const Ending& end = GetParam();
    const Strings before = Remaining(end.mailbox);
    ASSERT_FALSE(before.empty());
    Reader reader;
    Relay relay(reader.io, kPopPort, end.cut);
    reader.control.Port(T(relay.Port()));
    std::set<long> letGo;
    reader.control.RetrDone = [&](long n, bool& cancelDelete) {
        if (n == end.abendAt) {
            reader.control.Abend(end.undo);
        }
        if (!(cancelDelete = end.keep.count(n) != 0)) {
            letGo.insert(n);
        }
    };
    reader.Read(end.mailbox);
    RunFor(reader.io, 200ms);  // a second Done would show here
    EXPECT_EQ(reader.dones, 1);
    EXPECT_EQ(reader.code, end.code) << reader.message;
    EXPECT_EQ(reader.message, end.code == 0 ? "" : "UNEXPECTED DISCONNECT");
    EXPECT_TRUE(relay.closed);
    if (end.abendAt != 0) {
        EXPECT_EQ(letGo.size(), static_cast<size_t>(end.abendAt)) << "Abend ends after the message";
    }
    const bool committed =
        end.abendAt != 0 ? !end.undo : end.cut.trigger == "QUIT\r\n" && end.cut.forwardTrigger;
    Strings expected;
    for (size_t i = 0; i < before.size(); ++i) {
        if (!committed || letGo.count(static_cast<long>(i + 1)) == 0) {
            expected.push_back(before[i]);
        }
    }
    EXPECT_EQ(Remaining(end.mailbox), expected);
    EXPECT_EQ(Leaks(end.mailbox, kPopPass, reader.trace)["found"], json::array()) << "USER/PASS";
}

// Three notes over one kept session through aiosmtpd: the relay in front of it takes a single
// connection, whose one EHLO and final QUIT carry three MAIL FROM, and Dovecot has the three.
TEST_F(Servers, KeptSessionSendsSeveralMessagesOverOneConnection) {
    asio::io_context io;
    Relay relay(io, Env("ZEF_IT_SMTP_PORT"));
    smtpZef smtp(io);
    smtp.Port(T(relay.Port()));
    smtp.KeepSession(true);
    smtp.Pipelining(true);  // the test server offers it
    smtp.TransTimeout(20);
    smtp.FromAddr(u"a@example.jp");
    smtp.ToAddr(u"session@zef-test.localhost");
    smtp.MoreData = [](long id, Bytes& data) { data = id == 1 ? TextToUtf16Le(u"本文\r\n") : ""; };
    Strings outcomes;
    const auto send = [&] {
        smtp.Smtp(u"127.0.0.1", T("To: session@zef-test.localhost\r\nSubject: note " +
                                  std::to_string(outcomes.size() + 1) + "\r\n\r\n"));
    };
    smtp.Done = [&](long code, const Text& message) {
        outcomes.push_back(std::to_string(code) + U(message));
        outcomes.size() < 3 ? send() : smtp.CloseSession();
    };
    send();
    ASSERT_TRUE(RunUntil(
        io, [&] { return relay.closed; }, 60s))
        << relay.sent;
    EXPECT_EQ(outcomes, Strings(3, "0"));
    const auto count = [&](const std::string& command) {
        size_t n = 0;
        for (size_t at = relay.sent.find(command); at != npos;
             at = relay.sent.find(command, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("EHLO "), 1U);
    EXPECT_EQ(count("MAIL FROM:"), 3U);
    EXPECT_EQ(count("QUIT"), 1U);
    Reader reader;
    Strings subjects;
    reader.control.MailHeadNext = [&](long, const Text& name, const Text& value) {
        name == u"Subject" ? subjects.push_back(U(value)) : void();
    };
    reader.Read("session");
    EXPECT_EQ(subjects, (Strings{"note 1", "note 2", "note 3"}));
}

#ifdef ZEF_TEST_QT
// Both controls on Qt's loop with the Qt components, plain and over TLS: notes sent through
// aiosmtpd (plain and after STARTTLS) read back from Dovecot, and a corpus mailbox read over
// STLS gives the subjects a plain read of its twin gives.
TEST_F(Servers, QtComponentsSendAndReadBackOnQtsLoop) {
    StartQt();
    asio::io_context unused;  // RunQtUntil serves it too; nothing of the controls is on it
    const json tls = json::parse(Env("ZEF_IT_TLS"));
    const auto secure = [&](auto& control, const std::string& port) {
        control.Port(T(port));
        control.Security(2);
        control.CAFile(T(tls["ca"].get<std::string>()));
    };
    const auto run = [&](auto& control, auto start) {
        long code = -99;
        std::string trace;
        control.TcpTraceOn(true);
        control.Trace = [&](const Text& line) { trace += U(line) + "\n"; };
        control.Done = [&](long c, const Text&) { code = c; };
        start();
        EXPECT_TRUE(RunQtUntil(
            unused, [&] { return code != -99; }, 60s))
            << trace;
        EXPECT_EQ(code, 0) << trace;
        EXPECT_EQ(trace.find(kPopPass), npos);
    };
    const Strings notes = {"平文の便り", "暗号の便り"};
    for (size_t i = 0; i < notes.size(); ++i) {
        smtpZef smtp(MakeQtComponents());
        i == 1 ? secure(smtp, std::to_string(tls["smtp"]["starttls"]["good"].get<int>()))
               : smtp.Port(T(Env("ZEF_IT_SMTP_PORT")));
        smtp.FromAddr(u"a@example.jp");
        smtp.ToAddr(StringArray::OneBased({u"qt@zef-test.localhost"}));
        bool bodyGiven = false;
        smtp.MoreData = [&](long, Bytes& data) {
            data = std::exchange(bodyGiven, true) ? "" : TextToUtf16Le(u"こんにちは\r\n");
        };
        const std::string header =
            "From: a@example.jp\r\nTo: qt@zef-test.localhost\r\nSubject: " + notes[i] + "\r\n\r\n";
        run(smtp, [&] { smtp.Smtp(u"127.0.0.1", T(header)); });
    }
    const auto read = [&](const std::string& mailbox, const std::string& stlsPort) {
        popZef pop(MakeQtComponents());
        pop.Port(T(kPopPort));
        stlsPort.empty() ? void() : secure(pop, stlsPort);
        Strings subjects;
        pop.MailHeadNext = [&](long, const Text& name, const Text& value) {
            name == u"Subject" ? subjects.push_back(U(value)) : void();
        };
        run(pop, [&] { pop.pop(u"127.0.0.1", T(mailbox), T(kPopPass), 0); });
        return subjects;
    };
    EXPECT_EQ(read("qt", ""), notes);
    const Strings overStls = read("qtstls", std::to_string(tls["pop3"]["stls"]["good"].get<int>()));
    EXPECT_EQ(overStls.size(), 2U);
    EXPECT_EQ(overStls, read("qtstls", ""));
}
#endif

// "drop" (the third of three messages about 29 KB) is never committed; "commit" is, with message
// 2 kept. The message numbers in the triggers are the server's.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Ends, SessionEnd, ::testing::Values(
    Ending{"AbendKeepsDeletions", "quit", {}, 2, false, 0, {}},
    Ending{"AbendUndoesDeletions", "rset", {}, 2, true, 0, {}},
    Ending{"RetrBeforeAnyByte", "drop", {"RETR 1\r\n"}, 0, false, -2, {}},
    Ending{"RetrInStatusLine", "drop", {"RETR 1\r\n", true, 5}, 0, false, -2, {}},
    Ending{"RetrInHeader", "drop", {"RETR 1\r\n", true, 60}, 0, false, -2, {}},
    Ending{"RetrAfter1000Bytes", "drop", {"RETR 3\r\n", true, 1000}, 0, false, -2, {}},
    Ending{"RetrAfter20000Bytes", "drop", {"RETR 3\r\n", true, 20000}, 0, false, -2, {}},
    Ending{"DeleNeverReachesServer", "drop", {"DELE 1\r\n", false}, 0, false, -2, {}},
    Ending{"DeleReplyLost", "drop", {"DELE 1\r\n"}, 0, false, -2, {}},
    Ending{"SecondDeleReplyHalfSent", "drop", {"DELE 2\r\n", true, 3}, 0, false, -2, {}},
    Ending{"ListAfterTwoDeletions", "drop", {"LIST 3\r\n"}, 0, false, -2, {}},
    Ending{"QuitNeverReachesServer", "drop", {"QUIT\r\n", false}, 0, false, 0, {}},  // no commit
    Ending{"QuitReplyLost", "commit", {"QUIT\r\n"}, 0, false, 0, {2}}),              // commit
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace zef::test
