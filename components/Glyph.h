// The character-set converter for Japanese mail.
//
// Buffers are passed by reference: each operation removes from its argument what it has
// converted, leaving at most an incomplete trailing sequence, so a caller that keeps a buffer
// and only appends to it never splits a character. Callers that pass a copy ignore the rest.
#pragma once

#include <memory>
#include <string>

#include "common/Types.h"

namespace zef {

class Glyph {
  public:
    virtual ~Glyph() = default;

    // The two characters after ESC that designate the two-byte set ("$B") and the return to
    // the one-byte set ("(J"), as written by TextToJis.
    virtual void KanjiInEscape(const std::string& escape) = 0;
    virtual void KanjiOutEscape(const std::string& escape) = 0;

    // Text to ISO-2022-JP bytes. ASCII, CR and LF stay single bytes.
    virtual Bytes TextToJis(Text& text) = 0;

    // Received bytes to text: ASCII and ISO-2022-JP (read as the superset Japanese mailers
    // write), and runs in UTF-8, Shift_JIS/CP932 or EUC-JP recognised and read as such.
    virtual Text JisToText(Bytes& bytes) = 0;

    // Japanese text in whatever encoding the bytes use, to the host's ANSI code page.
    virtual Bytes AnyToAnsi(Bytes& bytes) = 0;

    // AnyToAnsi of `bytes` read on their own: from ASCII, with no shift state or encoding
    // guess taken from or left for any other call, every byte used. Any2Unicode uses it, so a
    // call neither depends on nor changes a text part being received. A converter that keeps
    // no state between AnyToAnsi calls may leave this as it is (AnyToAnsi of a copy).
    virtual Bytes AnyToAnsiAlone(const Bytes& bytes);

    // AnyToAnsi, then those ANSI bytes as text in UTF-16LE form, into `out` (replaced): what a
    // part delivered as text carries. A converter may skip the ANSI step where it changes
    // nothing, as it does not on a UTF-8 host.
    virtual void AnyToUtf16Le(Bytes& bytes, Bytes& out);
};

std::unique_ptr<Glyph> MakeGlyph();

}  // namespace zef
