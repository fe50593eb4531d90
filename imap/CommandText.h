// The words of the IMAP dialogue, free of I/O: command arguments as atoms, quoted strings or
// literals; UID sets; the search criteria the control sends; capability and FETCH lookups; and
// responses written out for the trace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imap/Response.h"

namespace zef::imap {

// How strings may go out on this connection.
struct StringRules {
    bool utf8 = false;          // UTF8=ACCEPT is enabled: UTF-8 may go in a quoted string
    bool literalPlus = false;   // LITERAL+: every literal may go without waiting
    bool literalMinus = false;  // LITERAL-: literals up to 4096 bytes may go without waiting
};

// One command as it goes out, in pieces: each piece but the last ends with a synchronizing
// literal's "{n}" and CR LF, and the next piece goes only after the server's go-ahead. The
// traced text shows secrets as "***" and literals as "{n}".
class CommandText {
  public:
    explicit CommandText(std::string_view tagAndName);
    // Words that need no quoting, as "(RFC822.SIZE)" or "UID 7:9"; a secret is traced as "***".
    CommandText& Raw(std::string_view words, bool secret = false);
    // A string argument: an atom when it is one, else a quoted string when it can be, else a
    // literal.
    CommandText& String(std::string_view value, const StringRules& rules, bool secret = false);
    // The pieces, each with its line end.
    std::vector<std::string> Pieces() const;
    const std::string& Traced() const { return traced_; }

  private:
    std::vector<std::string> pieces_;
    std::string traced_;
};

// Sorted UIDs as a set: "1:3,7,9:12".
std::string UidSet(const std::vector<uint32_t>& sortedUids);
// A set as ESEARCH sends it ("1:3,7"), appended to `uids` in order; false on anything else or
// past `maxCount` numbers.
bool ReadUidSet(std::string_view set, std::vector<uint32_t>& uids, size_t maxCount);

// The criteria the control sends for a Search property value, in capitals: "ALL", "UNSEEN",
// "SINCE 1-Dec-2026", "UNSEEN SINCE 1-Dec-2026" (any case, any spaces); nullopt for others.
std::optional<std::string> SearchCriteria(std::string_view value);

// Whether `name` is among the capabilities ("IMAP4rev1 IDLE AUTH=PLAIN"), in any case.
bool HasCapability(std::string_view capabilities, std::string_view name);
// The mechanisms of the AUTH= capabilities, in capitals.
std::vector<std::string> SaslMechanisms(std::string_view capabilities);
// The values of a list (or code) from `first` on, atoms and numbers joined with spaces.
std::string JoinAtoms(const std::vector<Value>& values, size_t first);

// The value that follows the item `name` (any case) in a FETCH list; null when absent.
const Value* FetchItem(const Value& list, std::string_view name);
// Case-insensitive comparison of an atom with a name.
bool IsAtom(const Value& value, std::string_view name);

// A response written out for the trace: tag or "*" or "+", status, code and text, or the data
// values, with literals as "{n}" and lists in brackets.
std::string Describe(const Response& response);

}  // namespace zef::imap
