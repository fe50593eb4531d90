#include "fuzz/ControlDrivers.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "components/CodePage.h"
#include "fuzz/FuzzInput.h"

namespace zef::fuzz {

ScriptedComponents MakeScriptedComponents() {
    ScriptedComponents scripted;
    auto wire = std::make_unique<test::ScriptedWire>();
    scripted.wire = wire.get();
    scripted.components.wire = std::move(wire);
    auto timer = std::make_unique<ManualTimer>();
    scripted.timer = timer.get();
    scripted.components.timer = std::move(timer);
    scripted.components.glyph = MakeGlyph();
    scripted.components.codec = MakeCodec();
    scripted.components.hash = MakeMd5Hash();
    return scripted;
}

HostCodePage::HostCodePage(bool cp932) {
    SetHostCodePage(cp932 ? "CP932" : "UTF-8");
}

HostCodePage::~HostCodePage() {
    SetHostCodePage("UTF-8");
}

void PlayConnection(test::ScriptedWire& wire, ManualTimer& timer, const SocketPlan& plan,
                    std::string_view stream, std::string_view lengths,
                    const std::function<void()>& afterPiece,
                    const std::function<void(bool closedByControl)>& beforeSilence) {
    wire.RaiseConnected();
    const int closesBefore = wire.closeCalls;
    DeliverInPieces(stream, lengths, [&](std::string_view piece) {
        if (wire.closeCalls != closesBefore) {
            return;
        }
        wire.Deliver(Bytes(piece));
        afterPiece();
        timer.Fire(plan.ticksPerPiece);
    });
    beforeSilence(wire.closeCalls != closesBefore);
    timer.Fire(plan.ticksAtEnd);
    if (plan.socketErrorAtEnd) {
        wire.RaiseSocketError(kSocketErrorNumber, "connection reset by peer");
    }
    wire.RaiseClosed();
}

std::vector<std::string_view> CommandLines(std::string_view sent) {
    std::vector<std::string_view> lines;
    for (size_t end = sent.find("\r\n"); end != std::string_view::npos; end = sent.find("\r\n")) {
        lines.push_back(sent.substr(0, end));
        sent.remove_prefix(end + 2);
    }
    return lines;
}

size_t LineCount(std::string_view bytes) {
    return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
}

Bytes MultiLineResponse(std::string_view message) {
    Bytes response;
    response.reserve(message.size() + message.size() / 16 + 5);
    bool lineStart = true;
    for (char c : message) {
        if (lineStart && c == '.') {
            response += '.';
        }
        response += c;
        lineStart = c == '\n';
    }
    if (!lineStart) {
        response += "\r\n";
    }
    response += ".\r\n";
    return response;
}

}  // namespace zef::fuzz
