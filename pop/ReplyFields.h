// Reading the values that the dialogue takes from POP3 status lines: the counts of a STAT
// reply, the size of a LIST reply, the unique id of a UIDL reply and the APOP time stamp of
// the greeting. Pure functions of the reply text, free of I/O.
#pragma once

#include <optional>
#include <string_view>

#include "common/Types.h"

namespace zef::pop {

// The most messages one transfer walks.
inline constexpr long kMaxMessages = 32000;

struct StatReply {
    long count = 0;  // lowered to kMaxMessages
    long size = 0;
};

// "+OK count size ...": the count from the fifth character up to the next space, the size after
// it up to the following space. Empty when either is not a decimal number.
std::optional<StatReply> ReadStatReply(std::u16string_view line);

// "+OK number size ...": the text from the fifth character up to the next space is skipped; the
// size follows up to the next space or the end of the line. Empty when it is not a decimal
// number or there is no space after the message number.
std::optional<long> ReadListReply(std::u16string_view line);

// From the fourth character on, after any spaces, the text after the next space with spaces
// trimmed at both ends; "" when there is no such space.
Text ReadUidlReply(std::u16string_view line);

// The greeting's time stamp: from its first "<" to its first ">" (both included) when the ">"
// comes after the "<"; empty otherwise.
Text ApopTimestamp(std::u16string_view greeting);

}  // namespace zef::pop
