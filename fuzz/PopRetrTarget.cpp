// The message parser of popZef fed through the whole control: a one-message mailbox whose
// message is the fuzz input, sent by a scripted server in pieces cut as the input says. The
// application keeps or deletes the message, takes its parts as text or bytes, and may read
// the message's first lines with TOP before RETR.
//
// Whatever the message holds, the transfer completes: one Done with 0, one RetrFirst and one
// RetrDone, every multipart opened is closed, data comes only inside a data part (as whole
// UTF-16 code units for a text part), and the message is deleted exactly when the
// application let it be; and the application hears exactly the same events whether the bytes
// came in pieces or all at once. With a small MaxLineLength a longer line or header field may end
// the transfer instead, with Done -1 ("LINE TOO LONG", "HEADER FIELD TOO LONG") and without
// deleting anything.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "common/Types.h"
#include "common/Unicode.h"
#include "fuzz/ControlDrivers.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "pop/popZef.h"

namespace zef::fuzz {
namespace {

struct Choices {
    bool isText;
    bool keepOnServer;  // CancelDelete in RetrDone
    bool readTopFirst;
    bool apop;
    bool cp932Host;
    long long maxLineLength;
};

Choices ReadChoices(FuzzInput& input) {
    const uint8_t flags = input.Byte();
    const uint8_t limit = input.Byte();
    return Choices{
        (flags & 1) != 0,  (flags & 2) != 0,
        (flags & 4) != 0,  (flags & 8) != 0,
        (flags & 16) != 0, limit < 0xC0 ? 64LL << 20 : static_cast<long long>(limit - 0xBF) * 4};
}

// What the application saw.
struct Observed {
    int done = 0;
    long doneCode = 0;
    Text doneMessage;
    int retrFirst = 0;
    int retrDone = 0;
    int multiPartOpen = 0;
    int multiPartClose = 0;
    int topNext = 0;
    bool inData = false;
    std::string events;  // every event with its arguments, one per line
};

void Note(Observed& seen, const char* event, const Text& a = {}, const Text& b = {}) {
    seen.events += event;
    seen.events += ' ' + TextToUtf8(a) + '|' + TextToUtf8(b) + '\n';
}

void Listen(popZef& control, const Choices& choices, Observed& seen) {
    control.Done = [&seen](long code, const Text& message) {
        ++seen.done;
        seen.doneCode = code;
        seen.doneMessage = message;
        Note(seen, "Done", message);
    };
    control.UidlFirst = [](long, bool& cancel) { cancel = true; };
    control.TopFirst = [&choices](long, bool& cancel) { cancel = !choices.readTopFirst; };
    control.TopNext = [&seen](long, const Text& line) {
        ++seen.topNext;
        Note(seen, "TopNext", line);
    };
    control.RetrFirst = [&seen](long, long, bool&) {
        ++seen.retrFirst;
        Note(seen, "RetrFirst");
    };
    control.RetrDone = [&seen, &choices](long, bool& cancelDelete) {
        ++seen.retrDone;
        cancelDelete = choices.keepOnServer;
        Note(seen, "RetrDone");
    };
    control.MailHeadNext = [&seen](long, const Text& name, const Text& value) {
        Note(seen, "MailHeadNext", name, value);
    };
    control.MimeHeadNext = [&seen](long, long, const Text& name, const Text& value) {
        Note(seen, "MimeHeadNext", name, value);
    };
    control.MultiPartOpen = [&seen](long, long parent, const Text& type, const Text& name,
                                    const Text&, const Text&, Text& tag) {
        ++seen.multiPartOpen;
        tag = u"tag" + Text(1, static_cast<char16_t>(u'0' + parent % 10));
        Note(seen, "MultiPartOpen", type, name);
    };
    control.MultiPartClose = [&seen](long, const Text& tag) {
        ++seen.multiPartClose;
        Note(seen, "MultiPartClose", tag);
    };
    control.MimeDataFirst = [&seen, &choices](long, long, const Text& type, const Text&,
                                              const Text& charset, const Text& encoding,
                                              bool& isText) {
        ZEF_FUZZ_CHECK(!seen.inData);
        seen.inData = true;
        isText = choices.isText;
        Note(seen, "MimeDataFirst", type + u";" + charset, encoding);
    };
    control.MimeDataNext = [&seen, &choices](long, long, Bytes& data) {
        ZEF_FUZZ_CHECK(seen.inData);
        ZEF_FUZZ_CHECK(!choices.isText || data.size() % 2 == 0);
        seen.events += "MimeDataNext " + data + '\n';
    };
    control.MimeDataDone = [&seen](long, long) {
        seen.inData = false;
        Note(seen, "MimeDataDone");
    };
}

Bytes ServerScript(std::string_view message, const Choices& choices) {
    const Bytes response = MultiLineResponse(message);
    const std::string size = std::to_string(message.size());
    Bytes script = "+OK POP3 ready <1896.697170952@pop.example>\r\n";
    script += choices.apop ? "+OK maildrop locked\r\n" : "+OK\r\n+OK maildrop locked\r\n";
    script += "+OK 1 " + size + "\r\n";  // STAT
    script += "+OK 1 " + size + "\r\n";  // LIST 1
    if (choices.readTopFirst) {
        script += "+OK top follows\r\n" + response;
    }
    script += "+OK message follows\r\n" + response;
    if (!choices.keepOnServer) {
        script += "+OK deleted\r\n";
    }
    script += "+OK bye\r\n";
    return script;
}

// One transfer of the mailbox, the server's bytes cut into pieces as `lengths` says.
Observed Retrieve(const Choices& choices, std::string_view message, std::string_view lengths,
                  Bytes& sent) {
    ScriptedComponents scripted = MakeScriptedComponents();
    test::ScriptedWire& wire = *scripted.wire;
    popZef control(std::move(scripted.components));
    control.APOP(choices.apop);
    control.MaxLineLength(choices.maxLineLength);
    Observed seen;
    Listen(control, choices, seen);

    control.pop(u"pop.example", u"taro", u"secret", 5);
    wire.RaiseConnected();
    DeliverInPieces(ServerScript(message, choices), lengths, [&wire](std::string_view piece) {
        if (wire.closeCalls == 0) {
            wire.Deliver(Bytes(piece));
        }
    });
    wire.RaiseClosed();
    sent = wire.sent;
    return seen;
}

void Run(FuzzInput& input) {
    const Choices choices = ReadChoices(input);
    const std::string_view lengths = input.Piece(8);
    const std::string_view message = input.Rest();

    Bytes sent, sentWhole;
    Observed seen, whole;
    {
        const HostCodePage codePage(choices.cp932Host);
        seen = Retrieve(choices, message, lengths, sent);
        whole = lengths.empty() ? seen : Retrieve(choices, message, {}, sentWhole);
    }

    if (Verbose()) {
        std::fprintf(stderr, "Done %ld %s, %d multiparts, %d TOP lines, sent:\n%s\n", seen.doneCode,
                     TextToUtf8(seen.doneMessage).c_str(), seen.multiPartOpen, seen.topNext,
                     sent.c_str());
    }
    ZEF_FUZZ_CHECK(seen.done == 1);
    ZEF_FUZZ_CHECK(seen.events == whole.events);
    ZEF_FUZZ_CHECK(lengths.empty() || sent == sentWhole);
    const auto commands = CommandLines(sent);
    bool deleted = false;
    for (std::string_view command : commands) {
        deleted = deleted || command.starts_with("DELE");
    }
    if (seen.doneCode != 0) {
        // Only the bound on what the control holds (a line, or a header field with its
        // continuation lines, over the limit) may end this transfer, and then nothing is deleted.
        ZEF_FUZZ_CHECK(seen.doneCode == -1 && seen.doneMessage.ends_with(u"TOO LONG"));
        ZEF_FUZZ_CHECK(choices.maxLineLength < 1024 && !deleted);
        return;
    }
    ZEF_FUZZ_CHECK(seen.doneMessage.empty());
    ZEF_FUZZ_CHECK(seen.retrFirst == 1 && seen.retrDone == 1);
    ZEF_FUZZ_CHECK(seen.multiPartOpen == seen.multiPartClose);
    ZEF_FUZZ_CHECK(!seen.inData);
    if (choices.readTopFirst) {
        ZEF_FUZZ_CHECK(static_cast<size_t>(seen.topNext) ==
                       LineCount(MultiLineResponse(message)) - 1);
    }
    ZEF_FUZZ_CHECK(deleted == !choices.keepOnServer);
    ZEF_FUZZ_CHECK(!commands.empty() && commands.back() == "QUIT");
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_TARGET(zef::fuzz::Run)
