// Replaces the RFC 2047 encoded words of received header text by UTF-8.
#pragma once

#include <string_view>

#include "common/Types.h"

namespace zef::codec {

// Every encoded word (B or Q, any charset the converter knows, case ignored) is replaced by
// its text as UTF-8; the rest of the text comes back unchanged, raw ISO-2022-JP runs included
// (no "=?" inside a kanji run is taken for the start of a word).
// - White space between adjacent encoded words is dropped, as RFC 2047 says.
// - Adjacent words of one charset are joined before conversion, so a character split over
//   two words survives.
// - A word whose charset the converter does not know stays as it stood, and so does the
//   white space on either side of it.
// Throws zef::Error when the converter fails in a way it cannot express as text.
Bytes DecodeHeader(std::string_view header);

}  // namespace zef::codec
