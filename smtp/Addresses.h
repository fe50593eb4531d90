// Where the sender and the recipients of a send come from: the ToAddr property or the From,
// To, Cc and Bcc fields of the message header. Pure functions.
#pragma once

#include <vector>

#include "common/Types.h"
#include "common/Variant.h"

namespace zef::smtp {

// The text without leading and trailing spaces (only spaces, as the host's Trim does).
Text TrimSpaces(const Text& text);

// True when nothing but spaces is left.
bool IsBlank(const Text& text);

// The recipients that ToAddr gives, in order: a non-blank String, or the non-blank elements of
// a String array from index 1 up (index 0 is never read). Any other value gives none.
std::vector<Text> RecipientsFromToAddr(const Variant& toAddr);

struct HeaderAddresses {
    Text from;                     // the value of the last From field, trimmed
    std::vector<Text> recipients;  // the pieces of To, Cc and Bcc, split at every comma
};

// Reads the header line by line (each line ends with CR LF; text after the last CR LF is not
// read), unfolding continuation lines, and collects the addresses as written, display names
// and comments included. Reading stops at the first empty line that follows a field.
HeaderAddresses CollectHeaderAddresses(const Text& mailHeader);

// True when the text holds a CR or an LF, which would end a command line early.
bool HasLineBreak(const Text& text);

}  // namespace zef::smtp
