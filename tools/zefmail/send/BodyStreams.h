// The body of an outgoing message, read from files in pieces and shaped for the wire.
//
// smtpZef sends what the application hands it: it neither fixes line ends nor doubles a dot
// at the start of a line in data that goes out as it is. These classes do both, across piece
// boundaries, and cut attachments into pieces whose base64 form is whole 76-character lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/Types.h"

namespace zef::zefmail {

// 57 input bytes make one 76-character base64 line; a piece that is a multiple of this keeps
// every line whole and makes the pieces of a part decode as one stream.
inline constexpr size_t kBase64LineBytes = 57;
inline constexpr size_t kAttachmentPieceBytes = kBase64LineBytes * 1024;

// A source of input bytes.
class ByteInput {
  public:
    virtual ~ByteInput() = default;
    // Up to `size` bytes, fewer only at the end of the input; empty at the end.
    virtual Bytes Read(size_t size) = 0;
    // What the input is called in error messages.
    virtual const std::string& Name() const = 0;
};

// A file, or standard input for "-". Throws ToolError when it cannot be opened or read.
std::unique_ptr<ByteInput> OpenFileInput(const std::string& path);

// The input, checked as it is read: a byte that is not UTF-8 throws ToolError naming the input
// (`what`) and the byte's offset, so that a send ends before the end of its data.
std::unique_ptr<ByteInput> RequireUtf8(std::unique_ptr<ByteInput> input, const std::string& what);

// Reads the whole file through RequireUtf8.
void RequireUtf8File(const std::string& path, const std::string& what);

// The text of a message or option that is not UTF-8: "<what>: byte <offset> is not UTF-8 ...".
std::string NotUtf8(const std::string& what, uint64_t offset);

// UTF-8 read in pieces, to text. A sequence cut by a piece boundary waits for the next piece;
// invalid bytes become U+FFFD.
class Utf8PieceDecoder {
  public:
    Text Feed(std::string_view bytes);
    Text Finish();

  private:
    std::string tail_;
};

// Bare LF, bare CR and CRLF all become CRLF. A CR at the end of a piece waits for the next
// piece, which tells whether an LF follows it.
template <class Str>
class LineEndNormaliser {
  public:
    void Feed(const Str& piece, Str& out);
    void Finish(Str& out);

  private:
    bool pendingCr_ = false;
};

// Doubles a "." that starts a line (the first line included), in CRLF-normalised data, also
// when the line began in an earlier piece.
template <class Str>
class DotStuffer {
  public:
    void Feed(const Str& piece, Str& out);

  private:
    bool atLineStart_ = true;
};

// Holds back a CRLF at the very end of the data. The control ends a plain body with CRLF "."
// CRLF, whose first CRLF ends the last line, so a body that ends with a line end would
// otherwise gain an empty line. (A MIME part keeps its last line end: the CRLF before the
// next delimiter belongs to the delimiter.)
template <class Str>
class FinalLineEndDropper {
  public:
    void Feed(const Str& piece, Str& out);

  private:
    bool heldCrLf_ = false;
};

// The three steps in order: line ends, dot-stuffing, the final line end (the last two
// optional).
template <class Str>
class TextShaper {
  public:
    TextShaper(bool dotStuff, bool dropFinalLineEnd)
        : dotStuff_(dotStuff), dropFinalLineEnd_(dropFinalLineEnd) {}
    Str Feed(const Str& piece);
    Str Finish();

  private:
    Str Pass(const Str& normalised);

    bool dotStuff_;
    bool dropFinalLineEnd_;
    LineEndNormaliser<Str> lineEnds_;
    DotStuffer<Str> dots_;
    FinalLineEndDropper<Str> finalLineEnd_;
};

// One piece of body data after another; an empty piece ends the data.
class PieceSource {
  public:
    virtual ~PieceSource() = default;
    virtual Bytes Next() = 0;
    // Input bytes consumed so far (for the progress bar).
    virtual uint64_t Consumed() const = 0;
};

// UTF-8 text to the UTF-16LE pieces that MoreData and a "Unicode" part take: CRLF line ends,
// dot-stuffed (unless the control encodes it: quoted-printable escapes the dot), cut after a
// line end where the buffer holds one. `plainBody`: the text is a whole plain message body,
// whose last line end the control supplies.
// `inspect` sees the text of every piece before it is handed out and may throw to stop.
using TextInspector = std::function<void(const Text&)>;
std::unique_ptr<PieceSource> MakeTextSource(std::unique_ptr<ByteInput> input, bool plainBody,
                                            TextInspector inspect = {}, bool dotStuff = true);

// Text kept as its own bytes (an HTML file sent as UTF-8): CRLF line ends, optional
// dot-stuffing, cut after a line end where possible.
std::unique_ptr<PieceSource> MakeByteTextSource(std::unique_ptr<ByteInput> input, bool dotStuff);

// UTF-8 text (CRLF line ends) as the base64 body of a plain message, handed out as the
// UTF-16LE text of its ASCII (MoreData's form); the last line end is left to the control.
std::unique_ptr<PieceSource> MakeBase64TextSource(std::unique_ptr<ByteInput> input);

// Raw bytes in pieces of kAttachmentPieceBytes (the last one shorter).
std::unique_ptr<PieceSource> MakeAttachmentSource(std::unique_ptr<ByteInput> input);

// No data at all.
std::unique_ptr<PieceSource> MakeEmptySource();

}  // namespace zef::zefmail
