// The POP3 dialogue of popZef against a server that says whatever the fuzz input says: the
// reply stream arrives in pieces cut as the input says, with timer ticks between them, while
// the application makes its choices (skip, keep, delete, stop) from the input as well.
//
// Whatever the server sends, the control ends the transfer with exactly one Done (carrying a
// socket error's number when one is reported), sends no command that no reply asked for,
// deletes only messages that the application let it delete, and is ready for the next
// transfer afterwards.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>

#include "common/Types.h"
#include "fuzz/ControlDrivers.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "pop/popZef.h"

namespace zef::fuzz {
namespace {

struct Settings {
    bool apop, deleteOnError, socketErrorAtEnd, tcpTrace, busySocket, cp932Host;
    int abendMode;  // 0 none, 1 Abend(false), 2 Abend(true)
    long transTimeout, connectTimeout;
    int ticksPerPiece;
    int abendAtMessage;
    long long maxLineLength;
    int ticksAtEnd;  // the server's silence after its last byte
    bool pipelining, desyncGuard;
};

Settings ReadSettings(FuzzInput& input) {
    const uint8_t flags = input.Byte();
    const uint8_t timing = input.Byte();
    const uint8_t limit = input.Byte();
    const uint8_t silence = input.Byte();
    return Settings{
        (flags & 1) != 0,   (flags & 2) != 0,
        (flags & 4) != 0,   (flags & 8) != 0,
        (flags & 16) != 0,  (flags & 32) != 0,
        (flags >> 6) % 3,   timing & 3,
        (timing >> 2) & 3,  (timing >> 4) & 3,
        1 + (timing >> 6),  limit < 0xC0 ? 64LL << 20 : static_cast<long long>(limit - 0xBF) * 4,
        silence % 8,        (silence & 8) != 0,
        (silence & 16) != 0};
}

// The application's yes-or-no answers, taken bit by bit from the input, in turn.
class Answers {
  public:
    explicit Answers(std::string_view bits) : bits_(bits) {}
    bool Next() {
        if (bits_.empty()) {
            return false;
        }
        const size_t bit = turn_++ % (bits_.size() * 8);
        return ((static_cast<uint8_t>(bits_[bit / 8]) >> (bit % 8)) & 1) != 0;
    }

  private:
    std::string_view bits_;
    size_t turn_ = 0;
};

struct Observed {
    int done = 0;
    long doneCode = 0;
    std::set<long> deletable;  // messages the application let go
};

void Listen(popZef& control, const Settings& settings, Answers& answers, Observed& seen) {
    control.Done = [&seen](long code, const Text&) {
        ++seen.done;
        seen.doneCode = code;
    };
    control.UidlFirst = [&, listed = 0](long, bool& cancel) mutable {
        if (++listed == settings.abendAtMessage && settings.abendMode != 0) {
            control.Abend(settings.abendMode == 2);
        }
        cancel = answers.Next();
    };
    control.UidlDone = [&](long id, const Text&, bool& deleteNow) {
        deleteNow = answers.Next();
        if (deleteNow) {
            seen.deletable.insert(id);
        }
    };
    control.TopFirst = [&](long, bool& cancel) { cancel = answers.Next(); };
    control.TopDone = [&](long id, bool& deleteNow) {
        deleteNow = answers.Next();
        if (deleteNow) {
            seen.deletable.insert(id);
        }
    };
    control.RetrFirst = [&](long, long, bool& cancel) { cancel = answers.Next(); };
    control.RetrDone = [&](long id, bool& cancelDelete) {
        cancelDelete = answers.Next();
        if (!cancelDelete) {
            seen.deletable.insert(id);
        }
    };
    control.MimeDataFirst = [&](long, long, const Text&, const Text&, const Text&, const Text&,
                                bool& isText) { isText = answers.Next(); };
    control.MultiPartOpen = [](long, long, const Text&, const Text&, const Text&, const Text&,
                               Text& tag) { tag.assign(1, u't'); };
}

// One transfer: pop, then the connection as the plan says; a busy socket refuses every
// other piece's sends.
void Transfer(popZef& control, test::ScriptedWire& wire, ManualTimer& timer,
              const Settings& settings, std::string_view stream, std::string_view lengths) {
    control.pop(u"pop.example", u"taro", u"secret", 3);
    bool busy = false;
    const auto afterPiece = [&] {
        if (settings.busySocket) {
            busy = !busy;
            wire.canSend = !busy;
            wire.RaiseSendComplete();
        }
    };
    const auto drain = [&](bool) {
        wire.canSend = true;
        wire.RaiseSendComplete();
    };
    PlayConnection(wire, timer,
                   {settings.ticksPerPiece, settings.ticksAtEnd, settings.socketErrorAtEnd}, stream,
                   lengths, afterPiece, drain);
}

void Run(FuzzInput& input) {
    const Settings settings = ReadSettings(input);
    Answers answers(input.Piece(16));
    const std::string_view lengths = input.Piece(32);
    const std::string_view stream = input.Rest();

    const HostCodePage codePage(settings.cp932Host);
    ScriptedComponents scripted = MakeScriptedComponents();
    test::ScriptedWire& wire = *scripted.wire;
    ManualTimer& timer = *scripted.timer;
    popZef control(std::move(scripted.components));
    control.APOP(settings.apop);
    control.DeleteOnError(settings.deleteOnError);
    control.TcpTraceOn(settings.tcpTrace);
    control.TransTimeout(settings.transTimeout);
    control.ConnectTimeout(settings.connectTimeout);
    control.MaxLineLength(settings.maxLineLength);
    control.Pipelining(settings.pipelining);
    control.DesyncGuard(settings.desyncGuard);
    Observed seen;
    Listen(control, settings, answers, seen);

    Transfer(control, wire, timer, settings, stream, lengths);
    if (Verbose()) {
        std::fprintf(stderr, "Done %ld, sent:\n%s\n", seen.doneCode, wire.sent.c_str());
    }
    ZEF_FUZZ_CHECK(seen.done == 1);
    if (settings.socketErrorAtEnd && wire.closeCalls == 0) {
        ZEF_FUZZ_CHECK(seen.doneCode == kSocketErrorNumber);
    }
    const auto commands = CommandLines(wire.sent);
    // Each command has its reply line, but for the next message's four sent ahead and a DELE
    // behind them.
    ZEF_FUZZ_CHECK(commands.size() <= LineCount(stream) + (settings.pipelining ? 5 : 0));
    for (std::string_view command : commands) {
        if (command.starts_with("DELE ")) {
            ZEF_FUZZ_CHECK(seen.deletable.count(std::stol(std::string(command.substr(5)))) == 1);
        }
    }

    // The control is free for the next transfer, which ends with its own one Done.
    Transfer(control, wire, timer, settings, "+OK ready\r\n-ERR no such user\r\n", {});
    ZEF_FUZZ_CHECK(seen.done == 2);
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_TARGET(zef::fuzz::Run)
