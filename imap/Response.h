// The values of an IMAP server response as the reader hands them over: atoms, numbers, quoted
// strings, literals, NIL and parenthesised lists of these, and the three kinds of response.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zef::imap {

struct Value {
    enum class Kind { Atom, Number, Quoted, Literal, Nil, List };

    Kind kind = Kind::Atom;
    // The atom or number as sent ("BODY[HEADER]<0>", "\Seen", "23"), the unescaped content of a
    // quoted string, the bytes of a collected literal, "NIL" as sent; empty for a list and for
    // a streamed literal.
    std::string text;
    uint64_t number = 0;       // a Number's value; a Literal's announced size
    bool binary = false;       // a literal8, ~{n}
    bool streamed = false;     // a literal whose bytes went to the events instead of `text`
    std::vector<Value> items;  // a List's values
};

struct Response {
    enum class Kind { Tagged, Untagged, Continuation };
    // OK, NO, BAD, PREAUTH, BYE; None for untagged data ("* 23 EXISTS") and continuations.
    enum class Status { None, Ok, No, Bad, Preauth, Bye };

    Kind kind = Kind::Untagged;
    std::string tag;  // a tagged response's tag
    Status status = Status::None;
    // A status response's code between "[" and "]": its name first, then its arguments, as in
    // [UIDNEXT 4392] or [PERMANENTFLAGS (\Seen \*)]; empty when there is none.
    std::vector<Value> code;
    // The human-readable text of a status response, or all of a continuation request's line
    // after "+ ".
    std::string text;
    // Untagged data: every value after "* ", as [23, EXISTS] or [12, FETCH, (UID 7 ...)].
    std::vector<Value> values;
};

}  // namespace zef::imap
