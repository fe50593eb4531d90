// What sending mail in UTF-8 needs beside the codec: the choice of TextCharset, envelope
// addresses for servers with and without SMTPUTF8 (IDNA A-labels), and part names as RFC 2231
// parameters. Pure functions, no I/O.
#pragma once

#include <string_view>

#include "common/Types.h"

namespace zef::smtp {

// "iso-2022-jp", "utf-8" or "auto", in any case.
bool IsKnownTextCharset(const Text& charset);
// Whether a send writes its text in UTF-8: "utf-8", or "auto" when `fitsJis` is false.
bool ChoosesUtf8(const Text& charset, bool fitsJis);

bool IsAscii(std::u16string_view text);

// The text as UTF-8, removed from `text`, except a high surrogate at its end, which waits
// there for the low surrogate of the next piece.
Bytes TakeUtf8(Text& text);

// The part of a bare address before its last "@" (all of it without one) is ASCII.
bool LocalPartIsAscii(const Text& address);
// The address with a non-ASCII domain (after its last "@") as its IDNA A-label (UTS #46,
// non-transitional); unchanged when the domain is ASCII or has no A-label.
Text WithALabelDomain(const Text& address);
// The header (up to its first empty line) with the non-ASCII domains of the addresses in
// From, To, Cc, Bcc, Reply-To, Sender and their Resent- forms as A-labels.
Text HeaderWithALabels(const Text& header);

// RFC 2231 parameter lines for a part name in UTF-8: ";" CR LF TAB "filename*0*=UTF-8''..."
// and further ";" CR LF TAB "filename*N*=..." continuations, percent-encoded, each line within
// 78 columns, cut only between whole characters.
Text Rfc2231FileName(const Text& name);

}  // namespace zef::smtp
