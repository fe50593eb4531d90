// Many small messages through one smtpZef, each send started from the Done handler of the one
// before, to an SMTP server on this machine: a new connection and a whole dialogue per
// message, as an application that sends a batch would.
//
//   smtp_many PORT COUNT
//
// Each message is a short Japanese text (ISO-2022-JP on the wire) with an encoded-word
// subject. Prints one line: the count sent, the seconds, the rate and the peak RSS.

#include <asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/ProcessUsage.h"
#include "common/Unicode.h"
#include "smtp/smtpZef.h"

namespace {

const char16_t* const kBody =
    u"お世話になっております。\r\n"
    u"来週の会議の資料をお送りします。ご確認のほど、よろしくお願いいたします。\r\n"
    u"A line of ASCII text as well.\r\n";

}  // namespace

int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape): a failure may end it
    if (argc != 3) {
        std::fprintf(stderr, "usage: smtp_many PORT COUNT\n");
        return 2;
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    if (count < 1) {
        std::fprintf(stderr, "COUNT must be at least 1\n");
        return 2;
    }

    asio::io_context io;
    zef::smtpZef control(io);
    control.Port(zef::Utf8ToText(argv[1]));
    control.FromAddr(u"bench@example.jp");
    control.ToAddr(u"sink@example.jp");
    control.TransTimeout(30);
    control.ConnectTimeout(30);

    const zef::Bytes body = zef::TextToUtf16Le(kBody);
    control.MoreData = [&body](long id, zef::Bytes& data) {
        if (id == 1) {
            data = body;
        }
    };

    long sent = 0;
    long failures = 0;
    std::string lastError;
    auto startNext = [&] {
        control.Smtp(u"127.0.0.1", u"Subject: 会議の資料 " +
                                       zef::AsciiToText(std::to_string(sent + 1)) +
                                       u"\r\nTo: sink@example.jp\r\n");
    };
    control.Done = [&](long code, const zef::Text& message) {
        if (code != 0) {
            ++failures;
            lastError = zef::TextToUtf8(message);
            return;  // stop at the first failure
        }
        if (++sent < count) {
            startNext();
        }
    };

    const auto start = std::chrono::steady_clock::now();
    startNext();
    io.run();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("sent=%ld failed=%ld wall=%.6f rate=%.1f rss_kib=%ld%s%s\n", sent, failures,
                seconds, static_cast<double>(sent) / seconds, zef::bench::PeakRssKiB(),
                lastError.empty() ? "" : " error=", lastError.c_str());
    return sent == count ? 0 : 1;
}
