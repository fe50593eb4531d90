// Mailbox names on the wire: the application sees UTF-8; IMAP sends modified UTF-7, where
// printable ASCII stands for itself ("&" as "&-") and every other run of characters is "&", the
// UTF-16BE of the run in base64 with "," for "/" and no padding, then "-". Free of I/O.
#pragma once

#include <string>
#include <string_view>

namespace zef::imap {

enum class Utf7Fault {
    None,
    BadUtf8,            // the name to encode is not valid UTF-8
    RawByte,            // a byte outside printable ASCII in the wire form
    UnterminatedShift,  // "&" without the "-" that ends its run
    BadBase64,          // a byte in a run that is not of the modified base64 alphabet
    BadRunLength,       // a run whose bits leave part of a character or set padding bits
    BadSurrogate,       // a UTF-16 surrogate without its partner
    NeedlessShift,      // a run that holds printable ASCII, or one that follows another at once
};

// The fault's name in capitals: "BAD BASE64".
const char* Utf7FaultName(Utf7Fault fault);

// UTF-8 to the wire form; `wire` is replaced.
Utf7Fault EncodeModifiedUtf7(std::string_view utf8, std::string& wire);

// The wire form to UTF-8; `utf8` is replaced. Anything a correct encoder would not produce is
// refused, so each name has exactly one wire form.
Utf7Fault DecodeModifiedUtf7(std::string_view wire, std::string& utf8);

}  // namespace zef::imap
