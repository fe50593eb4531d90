// The reply handling of smtpZef against a server that says whatever the fuzz input says. A
// small message (plain, or multipart with a text part and a binary part) is sent with the
// chosen AUTH mechanism; the replies arrive in pieces cut as the input says, with the
// socket's SendComplete and timer ticks between them.
//
// Whatever the server sends, the send ends with exactly one Done (carrying a socket error's
// number when one is reported and the control had not closed the socket itself), success is
// reported only after the whole message and QUIT went out, and the control is ready for the
// next send afterwards.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/Types.h"
#include "common/Unicode.h"
#include "common/Variant.h"
#include "fuzz/ControlDrivers.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "smtp/smtpZef.h"

namespace zef::fuzz {
namespace {

struct Settings {
    long auth;
    bool mime, busySocket, socketErrorAtEnd, cp932Host, slowSocket, tcpTrace;
    long transTimeout;
    int ticksPerPiece;
    int recipients;
    const char16_t* textEncoding;
    int ticksAtEnd;  // the server's silence after its last byte
};

Settings ReadSettings(FuzzInput& input) {
    static const char16_t* const kEncodings[] = {u"7bit", u"base64", u"quoted-printable", u"8bit"};
    const uint8_t flags = input.Byte();
    const uint8_t timing = input.Byte();
    const uint8_t silence = input.Byte();
    return Settings{
        flags & 3,         (flags & 4) != 0,        (flags & 8) != 0,        (flags & 16) != 0,
        (flags & 32) != 0, (flags & 64) != 0,       (flags & 128) != 0,      timing & 3,
        (timing >> 2) & 3, 1 + ((timing >> 4) & 3), kEncodings[timing >> 6], silence % 8};
}

// The application's side: the body pieces of a plain message, or the parts of a multipart one.
class Application {
  public:
    explicit Application(const Settings& settings) : settings_(settings) {}

    void Attach(smtpZef& control) {
        control.Done = [this](long code, const Text& message) {
            ++done;
            doneCode = code;
            doneMessage = message;
        };
        control.MoreData = [this](long, Bytes& data) {
            static const char16_t* const kPieces[] = {u"本日は晴天なり。\r\n",
                                                      u"Second line, .dot inside\r\n"};
            if (plainTurn_ < std::size(kPieces)) {
                data = TextToUtf16Le(kPieces[plainTurn_++]);
            }
        };
        control.MimeHead = [this](long, long part, Text& format, Text& type, Text& name,
                                  Text& charset, Text& encoding, Text&) {
            if (part == 1) {
                format = u"UNICODE", type = u"text/plain", charset = u"iso-2022-jp";
                encoding = settings_.textEncoding;
            } else if (part == 2) {
                format = u"BINARY", type = u"application/octet-stream", name = u"a.bin";
                encoding = u"base64";
            }
            partTurn_ = 0;
        };
        control.MimeBody = [this](long, long part, Bytes& data) {
            if (partTurn_++ == 0) {
                // Part data goes out without dot-stuffing, so it holds no line of a lone ".".
                data = part == 1 ? TextToUtf16Le(u"添付です。\r\n..\r\n")
                                 : Bytes("\x00\x01\xFF\r\n.\r\n", 8);
            }
        };
    }

    void Reset() { plainTurn_ = 0, partTurn_ = 0; }

    int done = 0;
    long doneCode = 0;
    Text doneMessage;

  private:
    const Settings& settings_;
    size_t plainTurn_ = 0;
    int partTurn_ = 0;
};

// SendComplete after each turn that handed bytes to the socket, as a socket whose queue drains
// at once reports it; bounded, since every turn of a finished body sends nothing.
void Drain(test::ScriptedWire& wire) {
    for (int turn = 0; turn < 64; ++turn) {
        const size_t before = wire.sent.size();
        wire.RaiseSendComplete();
        if (wire.sent.size() == before) {
            return;
        }
    }
}

// One send: Smtp, then the connection as the plan says, with the socket's SendComplete between
// the pieces. A slow socket reports one SendComplete per piece at most, so replies may arrive
// while the body is still going out.
void Send(smtpZef& control, test::ScriptedWire& wire, ManualTimer& timer, const Settings& settings,
          std::string_view replies, std::string_view lengths) {
    control.Smtp(u"mx.example", u"From: 太郎 <taro@example.jp>\r\nSubject: 試験 test\r\n\r\n");
    bool busy = false;
    const auto afterPiece = [&] {
        if (settings.busySocket) {
            busy = !busy;
            wire.canSend = !busy;
        }
        if (!settings.slowSocket) {
            Drain(wire);
        } else if (!busy) {
            wire.RaiseSendComplete();
        }
    };
    const auto drain = [&](bool closedByControl) {
        wire.canSend = true;
        if (!closedByControl) {
            Drain(wire);
        }
    };
    PlayConnection(wire, timer,
                   {settings.ticksPerPiece, settings.ticksAtEnd, settings.socketErrorAtEnd},
                   replies, lengths, afterPiece, drain);
}

void Run(FuzzInput& input) {
    const Settings settings = ReadSettings(input);
    const std::string_view lengths = input.Piece(32);
    const std::string_view replies = input.Rest();

    const HostCodePage codePage(settings.cp932Host);
    ScriptedComponents scripted = MakeScriptedComponents();
    test::ScriptedWire& wire = *scripted.wire;
    ManualTimer& timer = *scripted.timer;
    smtpZef control(std::move(scripted.components));
    control.Auth(settings.auth);
    control.User(u"taro");
    control.Pass(u"secret");
    control.MimeMultipart(settings.mime ? u"mixed" : u"");
    control.TransTimeout(settings.transTimeout);
    control.TcpTraceOn(settings.tcpTrace);
    control.FromAddr(u"taro@example.jp");
    std::vector<Text> to;
    to.reserve(static_cast<size_t>(settings.recipients));
    for (int i = 0; i < settings.recipients; ++i) {
        to.push_back(u"Hanako (sales) <r" + AsciiToText(std::to_string(i)) + u"@example.jp>");
    }
    control.ToAddr(StringArray::OneBased(to));
    Application application(settings);
    application.Attach(control);

    Send(control, wire, timer, settings, replies, lengths);
    if (Verbose()) {
        std::fprintf(stderr, "Done %ld %s, sent:\n%s\n", application.doneCode,
                     TextToUtf8(application.doneMessage).c_str(), wire.sent.c_str());
    }
    ZEF_FUZZ_CHECK(application.done == 1);
    if (settings.socketErrorAtEnd && wire.closeCalls == 0) {
        ZEF_FUZZ_CHECK(application.doneCode == kSocketErrorNumber);
    }
    if (application.doneCode == 0) {
        ZEF_FUZZ_CHECK(wire.sent.ends_with("\r\n.\r\nQUIT\r\n"));
    }

    // The control is free for the next send, which ends with its own one Done.
    application.Reset();
    Send(control, wire, timer, settings, "554 no service\r\n221 bye\r\n", {});
    ZEF_FUZZ_CHECK(application.done == 2);
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_TARGET(zef::fuzz::Run)
