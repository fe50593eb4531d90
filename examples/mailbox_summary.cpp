// mailbox_summary: lists every message of a POP3 mailbox (number, size, subject) with popZef
// and leaves all of them on the server.
//
//   ZEF_PASSWORD=secret mailbox_summary HOST PORT USER
#include <asio/io_context.hpp>
#include <cstdlib>
#include <iostream>
#include <string>

#include "common/Unicode.h"
#include "pop/popZef.h"

int Summarise(char** argv, const char* password) {
    asio::io_context io;
    zef::popZef pop(io);
    pop.Port(zef::Utf8ToText(argv[2]));
    pop.ConnectTimeout(10);
    pop.TransTimeout(30);

    long size = 0;
    std::string subject;
    pop.TopFirst = [](long /*id*/, bool& cancelTop) { cancelTop = true; };
    pop.RetrFirst = [&](long /*id*/, long much, bool& /*cancelRetr*/) {
        size = much;
        subject.clear();
    };
    pop.MailHeadNext = [&](long /*id*/, const zef::Text& name, const zef::Text& value) {
        if (name == u"Subject" || name == u"subject" || name == u"SUBJECT") {
            subject = zef::TextToUtf8(value);  // encoded words already decoded
        }
    };
    pop.MimeDataFirst = [](long, long, const zef::Text&, const zef::Text&, const zef::Text&,
                           const zef::Text&, bool& isText) { isText = false; };
    pop.RetrDone = [&](long id, bool& cancelDelete) {
        cancelDelete = true;  // keep the message
        std::cout << id << "\t" << size << "\t" << subject << "\n";
    };

    long code = 0;
    std::string message;
    pop.Done = [&](long doneCode, const zef::Text& doneMessage) {
        code = doneCode;
        message = zef::TextToUtf8(doneMessage);
        io.stop();
    };

    pop.pop(zef::Utf8ToText(argv[1]), zef::Utf8ToText(argv[3]), zef::Utf8ToText(password), 0);
    io.run();
    if (code != 0) {
        std::cerr << "mailbox_summary: Done " << code << ": " << message << "\n";
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    const char* password = std::getenv("ZEF_PASSWORD");
    if (argc != 4 || password == nullptr) {
        std::cerr << "usage: ZEF_PASSWORD=... mailbox_summary HOST PORT USER\n";
        return 2;
    }
    try {
        return Summarise(argv, password);
    } catch (const std::exception& e) {  // zef::Error: a property or call refused
        std::cerr << "mailbox_summary: " << e.what() << "\n";
        return 1;
    }
}
