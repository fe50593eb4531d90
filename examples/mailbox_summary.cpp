// mailbox_summary: lists every message of a mailbox (number, size, subject) over POP3 with popZef
// or, with "imap", the INBOX over IMAP with imapZef, and leaves all of them on the server. Both
// controls raise the same events, so one set of handlers serves either.
//
//   ZEF_PASSWORD=secret mailbox_summary HOST PORT USER [imap]
#include <asio/io_context.hpp>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "common/Unicode.h"
#include "imap/imapZef.h"
#include "pop/popZef.h"

struct Listing {
    long size = 0;
    std::string subject;
    long code = 0;
    std::string message;
};

// Prints a line per message as it is read; Done stops the loop.
void ListMessages(zef::MailboxEvents& reader, asio::io_context& io, Listing& listing) {
    reader.TopFirst = [](long /*id*/, bool& cancelTop) { cancelTop = true; };
    reader.RetrFirst = [&](long /*id*/, long much, bool& /*cancelRetr*/) {
        listing.size = much;
        listing.subject.clear();
    };
    reader.MailHeadNext = [&](long /*id*/, const zef::Text& name, const zef::Text& value) {
        if (name == u"Subject" || name == u"subject" || name == u"SUBJECT") {
            listing.subject = zef::TextToUtf8(value);  // encoded words already decoded
        }
    };
    reader.MimeDataFirst = [](long, long, const zef::Text&, const zef::Text&, const zef::Text&,
                              const zef::Text&, bool& isText) { isText = false; };
    reader.RetrDone = [&](long id, bool& cancelDelete) {
        cancelDelete = true;  // keep the message
        std::cout << id << "\t" << listing.size << "\t" << listing.subject << "\n";
    };
    reader.Done = [&](long doneCode, const zef::Text& doneMessage) {
        listing.code = doneCode;
        listing.message = zef::TextToUtf8(doneMessage);
        io.stop();
    };
}

// The settings popZef and imapZef share, under the same names.
template <class Reader>
void Connect(Reader& reader, const char* port) {
    reader.Port(zef::Utf8ToText(port));
    reader.ConnectTimeout(10);
    reader.TransTimeout(30);
}

int Summarise(char** argv, const char* password, bool imap) {
    asio::io_context io;
    Listing listing;
    const zef::Text host = zef::Utf8ToText(argv[1]), user = zef::Utf8ToText(argv[3]);
    if (imap) {
        zef::imapZef reader(io);
        Connect(reader, argv[2]);
        ListMessages(reader, io, listing);
        reader.imap(host, user, zef::Utf8ToText(password), 0);
        io.run();
    } else {
        zef::popZef reader(io);
        Connect(reader, argv[2]);
        ListMessages(reader, io, listing);
        reader.pop(host, user, zef::Utf8ToText(password), 0);
        io.run();
    }
    if (listing.code != 0) {
        std::cerr << "mailbox_summary: Done " << listing.code << ": " << listing.message << "\n";
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    const char* password = std::getenv("ZEF_PASSWORD");
    const bool imap = argc == 5 && std::strcmp(argv[4], "imap") == 0;
    if ((argc != 4 && !imap) || password == nullptr) {
        std::cerr << "usage: ZEF_PASSWORD=... mailbox_summary HOST PORT USER [imap]\n";
        return 2;
    }
    try {
        return Summarise(argv, password, imap);
    } catch (const std::exception& e) {  // zef::Error: a property or call refused
        std::cerr << "mailbox_summary: " << e.what() << "\n";
        return 1;
    }
}
