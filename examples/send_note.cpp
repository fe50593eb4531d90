// send_note: sends a short Japanese note through an SMTP server with smtpZef.
//
//   send_note HOST PORT FROM TO
//
// The control runs on the application's asio::io_context: Smtp returns at once, the body is
// asked for through MoreData, and Done reports the outcome.
#include <asio/io_context.hpp>
#include <iostream>
#include <string>

#include "common/Unicode.h"
#include "smtp/smtpZef.h"

int SendNote(char** argv) {
    asio::io_context io;
    zef::smtpZef smtp(io);
    smtp.Port(zef::Utf8ToText(argv[2]));
    smtp.ConnectTimeout(10);
    smtp.TransTimeout(30);
    smtp.FromAddr(zef::Utf8ToText(argv[3]));
    smtp.ToAddr(zef::StringArray::OneBased({zef::Utf8ToText(argv[4])}));  // read from index 1

    // The body in pieces of UTF-16LE text; an empty piece ends it.
    const zef::Text pieces[] = {u"こんにちは。\r\n", u"zef からのお知らせです。"};
    size_t next = 0;
    smtp.MoreData = [&](long /*id*/, zef::Bytes& data) {
        if (next < std::size(pieces)) {
            data = zef::TextToUtf16Le(pieces[next++]);
        }
    };

    long code = 0;
    std::string message;
    smtp.Done = [&](long doneCode, const zef::Text& doneMessage) {
        code = doneCode;
        message = zef::TextToUtf8(doneMessage);
        io.stop();
    };

    std::string header = "From: " + std::string(argv[3]) + "\r\nTo: " + argv[4] +
                         "\r\nSubject: お知らせ\r\nMIME-Version: 1.0\r\n"
                         "Content-Type: text/plain; charset=iso-2022-jp\r\n\r\n";
    smtp.Smtp(zef::Utf8ToText(argv[1]), zef::Utf8ToText(header));
    io.run();
    if (code != 0) {
        std::cerr << "send_note: Done " << code << ": " << message << "\n";
        return 1;
    }
    std::cout << "sent\n";
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: send_note HOST PORT FROM TO\n";
        return 2;
    }
    try {
        return SendNote(argv);
    } catch (const std::exception& e) {  // zef::Error: a property or call refused
        std::cerr << "send_note: " << e.what() << "\n";
        return 1;
    }
}
