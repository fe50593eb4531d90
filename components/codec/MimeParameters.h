// Reading one parameter of a MIME header field value (Content-Type, Content-Disposition) as
// mail programs write it, to UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zef::codec {

// The value of parameter `name` (ASCII case ignored) of `fieldValue`, the unfolded value of a
// header field (the part before the first ";" is the type and never a parameter); std::nullopt
// when there is no such parameter. The value comes back as UTF-8:
// - RFC 2231: `name*=charset'language'text`, the text percent-decoded and read in that
//   charset (an empty or unknown charset as UTF-8); continuations `name*0`, `name*1*`, ...
//   joined in the order of their numbers whatever the order they stand in, each section
//   percent-decoded when its name ends in "*", the whole read in the charset of section 0.
//   The value ends at a section missing from the numbering; a section given twice counts
//   once; without section 0 the plain form below stands for it. Quoted values are unquoted
//   before they are decoded.
// - `name=token` and `name="quoted string"` (a backslash makes the next character ordinary),
//   with RFC 2047 encoded words inside decoded, as many programs write names.
// An RFC 2231 form wins over the plain one. Invalid bytes become U+FFFD; other bytes of the
// value (raw UTF-8 text) are kept. Time is linear in the length of the field value.
std::optional<std::string> MimeParameter(std::string_view fieldValue, std::string_view name);

}  // namespace zef::codec
