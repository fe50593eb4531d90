// The host's ANSI code page: the byte form that text takes on the wire where no other charset
// applies (command lines, AUTH data, the output of AnyToAnsi). One process-wide setting, UTF-8
// by default as on today's hosts; "CP932" behaves as a Japanese desktop host does; any name
// the converter knows is accepted.
#pragma once

#include <string>
#include <string_view>

#include "common/Types.h"

namespace zef {

// Throws zef::Error (380) for a name the converter does not know; the setting is then unchanged.
void SetHostCodePage(const std::string& name);
const std::string& HostCodePage();
bool HostCodePageIsUtf8();

// Host ANSI bytes to text and back. Bytes or characters the code page cannot carry become
// the converter's substitute.
Text AnsiToText(std::string_view bytes);
Bytes TextToAnsi(std::u16string_view text);

}  // namespace zef
