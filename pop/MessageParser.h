// Turns one retrieved message, line by line, into header-field, structure and data events.
//
// The dialogue calls BeginMessage before RETR goes out, ParseMessageLine for every line of the
// response (dot-unstuffed, without its line end, the final "." excluded) and EndMessage at
// the final ".". The message is never held whole: each line is handled and forgotten, except
// a header field, which is reported when the next field starts or its header block ends.
//
// Lines arrive as received bytes. Header lines become text through the codec's DecodeHeader
// and the converter's JisToText; data lines are decoded from their bytes (BodyDecoder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "common/MultiPart.h"
#include "common/Stack.h"
#include "common/Types.h"
#include "components/Codec.h"
#include "components/Glyph.h"
#include "pop/BodyDecoder.h"
#include "pop/MessageEvents.h"

namespace zef::pop {

class MessageParser {
  public:
    enum class State {
        MailHeader = 1,    // the message's header block
        BetweenParts = 2,  // inside a multipart, before a part, or after a nested one closed
        PartHeader = 3,    // a body part's header block
        PartData = 4,      // a body part's data
        AfterLast = 6,     // the last container closed: the rest is ignored
        BodyStart = 9,     // a message without boundary, before its first body line
        BodyData = 10,     // the body of a message without boundary
    };

    MessageParser(Glyph& glyph, Codec& codec, MessageEvents& events);

    // Raises RetrFirst; unless the application cancels, prepares for a new message and raises
    // MailHeadFirst. Containers left open by an unfinished message stay open (EndMessage of
    // this message closes them after its own).
    void BeginMessage(long id, long much, bool& cancelRetr);

    // One line of the message. Errors of the body decoders and of the application's handlers
    // propagate; a failing DecodeHeader leaves the header line undecoded.
    void ParseMessageLine(long id, std::string_view line);

    // Ends the data part in progress, raises RetrDone and closes every open container.
    void EndMessage(long id, bool& cancelDelete);

    // The longest header field accepted, in received bytes with its continuation lines. A
    // longer one throws zef::Error -1 "HEADER FIELD TOO LONG", so that a server cannot make the
    // parser hold one field without bound.
    void MaxFieldLength(size_t bytes) { maxFieldLength_ = bytes; }

    // See popZef::NestedDelimiters.
    void NestedDelimiters(bool on) { nestedDelimiters_ = on; }
    bool NestedDelimiters() const { return nestedDelimiters_; }
    // See popZef::ParseMessages.
    void ParseMessages(bool on) { parseMessages_ = on; }
    bool ParseMessages() const { return parseMessages_; }

    // Multiparts open at once, the message's own included. Each one opened is held until it
    // closes, so a server could make the parser hold one per few bytes of a message; real mail
    // nests a handful. Opening one more throws zef::Error -1 "MULTIPART NESTED TOO DEEPLY".
    static constexpr long kMaxOpenMultiparts = 1000;

  private:
    void CountFieldBytes(std::string_view line);
    void HeaderLine(long id, const Text& line);
    void ReportPendingField(long id);
    void ReadContentType(const Text& value);
    void EndHeaderBlock(long id);
    void OpenContainer();
    void CloseContainer();
    void StartPart(long id);
    void BeginPartData(long id);
    void BetweenPartsLine(long id, std::string_view line);
    void PartDataLine(long id, std::string_view line);
    void DelimiterOfCurrent(long id, const Text& text);
    size_t EnclosingDelimiter(const Text& text) const;
    void CloseNested(long id, size_t count);
    void BodyStartLine(long id, std::string_view line);
    void DataLine(long id, std::string_view line);
    void SetDefaults();
    Text HeaderText(std::string_view line);
    Text LineText(std::string_view line);

    Glyph& glyph_;
    Codec& codec_;
    MessageEvents& events_;
    BodyDecoder decoder_;

    State state_ = State::AfterLast;
    Text pendingHeaderLine_;
    size_t pendingFieldBytes_ = 0;  // received bytes of the pending field
    size_t maxFieldLength_ = SIZE_MAX;
    long currentPart_ = 0;
    Text currentTag_;
    std::shared_ptr<MultiPart> currentContainer_;
    Stack openContainers_;  // enclosing containers, innermost on top
    // The boundary of each container on openContainers_, in the same order, and how many of
    // them belong to earlier, unfinished messages.
    std::vector<Text> openBoundaries_;
    size_t messageBase_ = 0;
    bool nestedDelimiters_ = false;
    bool parseMessages_ = true;

    Text contentType_;
    Text contentCharset_;
    Text contentName_;
    Text transferEncoding_;
    Text boundary_;

    Bytes scratch_;  // converter and codec input, reused
};

}  // namespace zef::pop
