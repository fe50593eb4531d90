// notify_users: sends one notice to every address read from standard input (one a line),
// through SESSIONS smtpZef controls that send at the same time on one event loop, each over a
// kept session with its envelope pipelined where the server offers it.
//
//   notify_users HOST PORT FROM SESSIONS < addresses.txt
//
// Each control takes the next address from the shared list in its Done handler, so a slow
// message holds up only its own session. Done comes once per message; failures are counted and
// printed, and the other messages go on.
#include <algorithm>
#include <asio/io_context.hpp>
#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "smtp/smtpZef.h"

namespace {

struct Run {
    std::deque<std::string> addresses;
    long sent = 0;
    long failed = 0;
    std::string host;
};

// Starts the next message on `control`, or ends its session when no address is left.
void SendNext(zef::smtpZef& control, Run& run) {
    if (run.addresses.empty()) {
        control.CloseSession();
        return;
    }
    const std::string to = run.addresses.front();
    run.addresses.pop_front();
    control.ToAddr(zef::Utf8ToText(to));
    const std::string header = "To: " + to +
                               "\r\nSubject: メンテナンスのお知らせ\r\nMIME-Version: 1.0\r\n"
                               "Content-Type: text/plain; charset=iso-2022-jp\r\n\r\n";
    control.Smtp(zef::Utf8ToText(run.host), zef::Utf8ToText(header));
}

int NotifyUsers(char** argv) {
    Run run;
    run.host = argv[1];
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty()) {
            run.addresses.push_back(line);
        }
    }
    const long sessions = std::max(1L, std::stol(argv[4]));

    asio::io_context io;
    std::vector<std::unique_ptr<zef::smtpZef>> controls;
    for (long i = 0; i < sessions; ++i) {
        auto& control = *controls.emplace_back(std::make_unique<zef::smtpZef>(io));
        control.Port(zef::Utf8ToText(argv[2]));
        control.FromAddr(zef::Utf8ToText(argv[3]));
        control.ConnectTimeout(10);
        control.TransTimeout(30);
        control.KeepSession(true);  // one connection for all of this control's messages
        control.Pipelining(true);   // MAIL, RCPT and DATA in one write where offered
        control.MoreData = [](long id, zef::Bytes& data) {
            if (id == 1) {
                data = zef::TextToUtf16Le(u"今夜 22 時から 23 時まで、サービスを停止します。\r\n");
            }
        };
        control.Done = [&run, &control](long code, const zef::Text& message) {
            if (code == 0) {
                ++run.sent;
            } else {
                ++run.failed;
                std::cerr << "notify_users: Done " << code << ": " << zef::TextToUtf8(message)
                          << "\n";
            }
            SendNext(control, run);
        };
    }
    for (auto& control : controls) {
        SendNext(*control, run);
    }
    io.run();  // returns once every session has ended
    std::cout << run.sent << " sent, " << run.failed << " failed\n";
    return run.failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: notify_users HOST PORT FROM SESSIONS < addresses.txt\n";
        return 2;
    }
    try {
        return NotifyUsers(argv);
    } catch (const std::exception& e) {  // zef::Error: a property or call refused
        std::cerr << "notify_users: " << e.what() << "\n";
        return 1;
    }
}
