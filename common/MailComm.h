// Small text routines shared by both controls: tokens, lines, replacement and the bare
// address of an address expression.
//
// Positions are 1-based character positions held in 16 bits, as the controls always used
// them: a match or a result beyond 32767 raises error 6 "Overflow". Header lines, reply lines
// and addresses stay far below that limit.
#pragma once

#include "common/Types.h"

namespace zef::mailcomm {

inline constexpr long kMaxPosition = 32767;

// Replaces the first occurrence of `search` at or after `start` by `replacement`. Returns the
// position just after the inserted text, or 0 (text unchanged) when there is none.
long ReplaceNext(long start, Text& text, const Text& search, const Text& replacement);

// Replaces every occurrence, never re-reading inserted text. `search` must not be empty.
void ReplaceAll(Text& text, const Text& search, const Text& replacement);

// Sets `token` to the text from `start` up to the next `delimiter` and returns the position
// after that delimiter; returns 0 with an empty token when no delimiter follows, so a last
// piece without a closing delimiter is never returned.
long NextToken(long start, const Text& text, Text& token, const Text& delimiter);

// NextToken with the delimiter CR LF.
long NextLine(long start, const Text& text, Text& line);

// The bare address of an expression such as `Taro (sales) <box@example.jp>`: comments in
// parentheses are removed (nested ones as a whole), then the text between the first "<" and
// the first ">" is taken if both exist. When ">" stands before "<" the comment-free text is
// returned as it is.
Text ExtractAddress(Text expression);

}  // namespace zef::mailcomm
