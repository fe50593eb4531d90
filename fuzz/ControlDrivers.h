// What the dialogue targets share: a control's components with a scripted socket and a manual
// timer beside the real converter, codec and MD5, and readers of what the control sent.
#pragma once

#include <string_view>
#include <vector>

#include "common/Types.h"
#include "components/Components.h"
#include "components/Timer.h"
#include "tests/support/ScriptedWire.h"

namespace zef::fuzz {

struct ScriptedComponents {
    Components components;
    testing::ScriptedWire* wire = nullptr;  // owned by `components` until handed on
    ManualTimer* timer = nullptr;
};

// The real Glyph, Codec and Hash with a ScriptedWire and a ManualTimer.
ScriptedComponents MakeScriptedComponents();

// The command lines (without CR LF) in what a control sent.
std::vector<std::string_view> CommandLines(std::string_view sent);

// How many line feeds the bytes hold: the number of complete lines a peer sent.
size_t LineCount(std::string_view bytes);

// A message as a POP3 server sends it in a multi-line response: every line that starts with a
// "." gets a second one, the last line is ended, and the line "." follows.
Bytes MultiLineResponse(std::string_view message);

}  // namespace zef::fuzz
