// What the dialogue targets share: a control's components with a scripted socket and a manual
// timer beside the real converter, codec and MD5, and readers of what the control sent.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "common/Types.h"
#include "components/Components.h"
#include "components/Timer.h"
#include "tests/support/ScriptedWire.h"

namespace zef::fuzz {

struct ScriptedComponents {
    Components components;
    test::ScriptedWire* wire = nullptr;  // owned by `components` until handed on
    ManualTimer* timer = nullptr;
};

// The real Glyph, Codec and Hash with a ScriptedWire and a ManualTimer.
ScriptedComponents MakeScriptedComponents();

// The host code page for one run, back to UTF-8 at its end.
struct HostCodePage {
    explicit HostCodePage(bool cp932);
    ~HostCodePage();
    HostCodePage(const HostCodePage&) = delete;
    HostCodePage& operator=(const HostCodePage&) = delete;
};

// The number a socket error carries when a plan ends with one.
constexpr long kSocketErrorNumber = 10054;

// How the socket reports one connection to a dialogue target.
struct SocketPlan {
    int ticksPerPiece;      // timer ticks after each piece
    int ticksAtEnd;         // the server's silence after its last byte
    bool socketErrorAtEnd;  // an error before Closed
};

// Connected; the pieces of `stream` cut as `lengths` says, while the control has not closed
// the socket, each followed by `afterPiece` and the ticks; `beforeSilence(closedByControl)`;
// the silence, the socket error when planned, and Closed.
void PlayConnection(test::ScriptedWire& wire, ManualTimer& timer, const SocketPlan& plan,
                    std::string_view stream, std::string_view lengths,
                    const std::function<void()>& afterPiece,
                    const std::function<void(bool closedByControl)>& beforeSilence);

// The command lines (without CR LF) in what a control sent.
std::vector<std::string_view> CommandLines(std::string_view sent);

// How many line feeds the bytes hold: the number of complete lines a peer sent.
size_t LineCount(std::string_view bytes);

// A message as a POP3 server sends it in a multi-line response: every line that starts with a
// "." gets a second one, the last line is ended, and the line "." follows.
Bytes MultiLineResponse(std::string_view message);

}  // namespace zef::fuzz
