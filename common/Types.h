// The two string kinds the library speaks: raw bytes and UTF-16 text.
#pragma once

#include <string>

namespace zef {

// A sequence of 8-bit bytes: what crosses the socket, the charset converter, the MIME codec and
// the MD5 digest. Also used for the byte arrays of the body events.
using Bytes = std::string;

// Text as properties, event arguments and trace messages carry it: UTF-16 code units.
using Text = std::u16string;

// CR LF, which ends every command, reply, header and delimiter line.
inline constexpr const char* kCrLf = "\r\n";

}  // namespace zef
