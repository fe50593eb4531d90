// Turns header text in ISO-2022-JP into header text with RFC 2047 encoded words.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/Types.h"

namespace zef::codec {

// The fold column selected by FoldLines:
// - 0: no folding; lines keep their length (encoded words are still at most 75 characters,
//   separated by a space);
// - 40 to 998: fold at that column;
// - any other value, 1 (the default) and -1 (the usual "True") among them: fold at 78
//   columns, the line length RFC 5322 recommends.
std::size_t FoldColumnFor(long mode);

// Header text with CR LF line ends: a message header block, or the delimiter lines and part
// headers between body parts.
// - Field names, words that are ASCII, specials and addresses, empty lines and delimiter
//   lines come out unchanged. A delimiter line that is not a closing one opens a part
//   header; any other line that follows an empty line is body text, and from there on
//   nothing is touched.
// - Each word holding ISO-2022-JP escape sequences becomes B-encoded ISO-2022-JP encoded
//   words, each complete in itself and at most 75 characters; adjacent such words are
//   encoded together with the white space between them, so no space is lost when decoders
//   drop the white space between encoded words. In Subject, Comments, Content-Description
//   and Thread-Topic the whole word is encoded; in other fields specials such as quotes,
//   "<", "@", "," and "=" stay outside the encoded words, so addresses and parameters keep
//   their form (a quoted display name keeps its quotes around the encoded words).
// - With a fold column, a line that would pass it is folded at white space (CR LF before
//   the white space), never right after the field name; a word longer than the line stays
//   whole.
// - Bytes above 127 outside escape sequences are not ISO-2022-JP and are left as they are.
Bytes EncodeHeader(std::string_view header, std::size_t foldColumn);

// The same for header text in UTF-8: each word holding bytes above 127 becomes B-encoded
// UTF-8 encoded words, split only between whole characters (a four-byte character is never
// cut), each at most 75 characters. With `keepAddresses` the local part and domain of an
// address stay as written (SMTPUTF8 carries them raw); otherwise they are encoded like any
// other word, which only a caller that has made them ASCII (A-labels) should allow.
Bytes EncodeUtf8Header(std::string_view header, std::size_t foldColumn, bool keepAddresses);

}  // namespace zef::codec
