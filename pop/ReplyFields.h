// Reading the values that the dialogue takes from POP3 status lines: the counts of a STAT
// reply, the size of a LIST reply, the unique id of a UIDL reply, the APOP time stamp of
// the greeting, the response code of a refusal and the SASL mechanisms of a CAPA response.
// Pure functions of the reply text, free of I/O.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

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

// The message number of a LIST or UIDL reply, "+OK number ...": from the fourth character on,
// after any spaces, up to the next space. Empty when it is not a decimal number.
std::optional<long> ReadMessageNumber(std::u16string_view line);

// The greeting's time stamp: from its first "<" to its first ">" (both included) when the ">"
// comes after the "<"; empty otherwise.
Text ApopTimestamp(std::u16string_view greeting);

// "-ERR [SYS/TEMP] text" (RFC 2449, 3206): the code between the brackets, "SYS/TEMP"; empty when
// the line is not a refusal that starts with a bracketed code of printable characters without
// spaces.
Text ReadResponseCode(std::u16string_view line);

// Whether a line of a CAPA response (its lines joined by CR LF) starts with the capability
// `name` (upper case), alone or followed by a space and its arguments, in any case.
bool HasCapability(std::u16string_view capabilities, std::u16string_view name);

// The mechanisms of the "SASL" line of a CAPA response (its lines joined by CR LF), in the
// server's order and upper case; empty when there is no such line.
std::vector<Text> ReadSaslMechanisms(std::u16string_view capabilities);

}  // namespace zef::pop
