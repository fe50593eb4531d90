// Peak memory of sending one message with a large attachment through smtpZef and the real
// components to an SMTP server on this machine (see smtp_memory.sh for a sink that discards).
//
//   smtp_rss PORT MEGABYTES
//
// The attachment is made piece by piece inside MimeBody, never held whole, so the figure shows
// what the control itself keeps. Prints one line: size, Done code, seconds, peak RSS in KiB.

#include <asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bench/ProcessUsage.h"
#include "common/Unicode.h"
#include "smtp/smtpZef.h"

namespace {

// 57 bytes make one base64 line; a multiple of 57 keeps every piece's lines whole.
constexpr size_t kPieceBytes = size_t{57} * 1024;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: smtp_rss PORT MEGABYTES\n");
        return 2;
    }
    try {
        const std::string port = argv[1];
        const size_t total = std::strtoull(argv[2], nullptr, 10) * 1024 * 1024;

        asio::io_context io;
        zef::smtpZef control(io);
        control.Port(zef::Utf8ToText(port));
        control.FromAddr(u"bench@example.jp");
        control.ToAddr(u"sink@example.jp");
        control.MimeMultipart(u"mixed");
        control.TransTimeout(30);

        size_t sent = 0;
        zef::Bytes piece(kPieceBytes, '\0');
        control.MimeHead = [](long depth, long part, zef::Text& format, zef::Text& type,
                              zef::Text& name, zef::Text&, zef::Text& encoding, zef::Text&) {
            if (depth == 1 && part == 1) {
                format = u"Binary";
                type = u"application/octet-stream";
                name = u"big.bin";
                encoding = u"base64";
            }
        };
        control.MimeBody = [&](long, long, zef::Bytes& data) {
            if (sent >= total) {
                return;
            }
            const size_t size = std::min(kPieceBytes, total - sent);
            for (size_t i = 0; i < size; ++i) {
                piece[i] = static_cast<char>((sent + i) * 131 % 251);
            }
            data.assign(piece, 0, size);
            sent += size;
        };
        long doneCode = 1;
        std::string doneMessage;
        control.Done = [&](long code, const zef::Text& message) {
            doneCode = code;
            doneMessage = zef::TextToUtf8(message);
        };

        const auto start = std::chrono::steady_clock::now();
        control.Smtp(u"127.0.0.1", u"Subject: memory bench\r\n");
        io.run();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        std::printf("attachment %s MB: Done %ld%s%s, %.2f s, peak RSS %ld KiB\n", argv[2], doneCode,
                    doneMessage.empty() ? "" : " ", doneMessage.c_str(), seconds,
                    zef::bench::PeakRssKiB());
        return doneCode == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smtp_rss: %s\n", e.what());
        return 1;
    }
}
