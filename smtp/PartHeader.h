// The text that frames the parts of a multipart body (delimiters, part headers) and the
// transfer encoding of a part's data. Pure functions: no events, no sending.
#pragma once

#include "common/Types.h"
#include "components/Codec.h"

namespace zef::smtp {

// What the application describes in MimeHead. OriginalDataFormat arrives as "BINARY".
struct PartHead {
    Text originalDataFormat = u"BINARY";
    Text contentType;
    Text contentName;
    Text contentCharset;
    Text transferEncoding;  // the event calls it TramsferEncoding
    Text additionalHeader;
};

// How the bytes of a leaf part's pieces go on the wire.
enum class PartEncoding { kAsIs, kQuotedPrintable, kBase64 };

// Base64 input per line: 57 bytes make one line of 76 characters.
inline constexpr size_t kBase64ChunkBytes = 57;

// CR LF "--" boundary CR LF: the delimiter before a part.
Text Delimiter(const Text& boundary);

// CR LF "--" boundary "--" CR LF: the end of a multipart.
Text CloseDelimiter(const Text& boundary);

// A part whose type begins with the lower-case "multipart/" opens a nested multipart.
bool OpensNestedMultiPart(const Text& contentType);

// The header of a nested multipart. It has no empty line of its own: the delimiter of its
// first part begins with CR LF and makes it.
Text NestedMultiPartHeader(const Text& contentType, const Text& boundary);

// The header of a leaf part, up to and including its empty line. With `utf8Names` a non-ASCII
// ContentName is also given as RFC 2231 filename* parameters of a Content-Disposition field
// (unless AdditionalHeader writes that field), as mail programs read it today.
Text LeafPartHeader(const PartHead& head, bool utf8Names = false);

// TramsferEncoding names 8bit (any case).
bool AsksFor8Bit(const Text& transferEncoding);

// The first field of the part description that could break the part header apart, or "" when
// none does: a CR or LF in ContentType, ContentName, ContentCharset or TramsferEncoding, and in
// AdditionalHeader (which may hold several lines) a bare CR or LF or a line of just ".", which
// would end the message early and let what follows pass for commands.
Text FieldBreakingPartHeader(const PartHead& head);

// True for a text part ("U..."), false for a binary one ("B..."). Anything else raises 380
// "INVALID DataFormat".
bool IsTextFormat(const Text& originalDataFormat);

// The encoding named by TramsferEncoding (any case). An unknown name raises 380
// "INVALID ENCODE-TYPE:" followed by the name as given.
PartEncoding ParseTransferEncoding(const Text& transferEncoding);

// The wire bytes of one piece. Base64 gives CR LF ended lines of at most 76 characters;
// quoted-printable is sent as the codec returns it.
Bytes EncodePiece(Codec& codec, PartEncoding encoding, Bytes piece);

}  // namespace zef::smtp
