#include "pop/MessageParser.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "common/Error.h"
#include "pop/HeaderValue.h"
#include "pop/Outcomes.h"

namespace zef::pop {

namespace {

constexpr std::string_view kDashes = "--";

bool BeginsWithDashes(std::string_view line) {
    return line.substr(0, 2) == kDashes;
}

// `text` is `delimiter` followed by nothing but transport padding (spaces and tabs, RFC 2046
// 5.1.1). The bare "--" of a container without boundary takes no padding: "-- " is the
// signature separator.
bool IsDelimiterLine(std::u16string_view text, std::u16string_view delimiter) {
    if (!text.starts_with(delimiter)) {
        return false;
    }
    const std::u16string_view padding = text.substr(delimiter.size());
    return padding.empty() ||
           (delimiter != u"--" && padding.find_first_not_of(u" \t") == std::u16string_view::npos);
}

}  // namespace

MessageParser::MessageParser(Glyph& glyph, Codec& codec, MessageEvents& events)
    : glyph_(glyph),
      codec_(codec),
      events_(events),
      decoder_(glyph, codec),
      currentContainer_(std::make_shared<MultiPart>()) {
    SetDefaults();
}

void MessageParser::SetDefaults() {
    contentType_ = u"text/plain";
    contentCharset_.clear();
    contentName_.clear();
    boundary_.clear();
    transferEncoding_ = u"7bit";
}

void MessageParser::BeginMessage(long id, long much, bool& cancelRetr) {
    events_.RetrFirst(id, much, cancelRetr);
    if (cancelRetr) {
        return;
    }
    if (!parseMessages_) {
        state_ = State::AfterLast;  // every line is passed over; EndMessage raises RetrDone
        return;
    }
    state_ = State::MailHeader;
    pendingHeaderLine_.clear();
    pendingFieldBytes_ = 0;
    currentContainer_ = std::make_shared<MultiPart>();
    currentPart_ = currentContainer_->NextPart();
    messageBase_ = openBoundaries_.size();
    SetDefaults();
    events_.MailHeadFirst(id);
}

void MessageParser::ParseMessageLine(long id, std::string_view line) {
    switch (state_) {
        case State::MailHeader:
        case State::PartHeader:
            CountFieldBytes(line);
            HeaderLine(id, HeaderText(line));
            break;
        case State::BetweenParts:
            BetweenPartsLine(id, line);
            break;
        case State::PartData:
            PartDataLine(id, line);
            break;
        case State::BodyStart:
            BodyStartLine(id, line);
            break;
        case State::BodyData:
            DataLine(id, line);
            break;
        case State::AfterLast:
            break;
    }
}

void MessageParser::EndMessage(long id, bool& cancelDelete) {
    if (state_ == State::PartData || state_ == State::BodyStart || state_ == State::BodyData) {
        events_.MimeDataDone(id, currentPart_);
    }
    events_.RetrDone(id, cancelDelete);
    while (openContainers_.Count() > 0) {
        CloseContainer();
        events_.MultiPartClose(id, currentTag_);
    }
}

Text MessageParser::HeaderText(std::string_view line) {
    scratch_.assign(line);
    Bytes decoded;
    try {
        decoded = codec_.DecodeHeader(scratch_);
    } catch (const std::exception&) {
        decoded.assign(line);  // an undecodable line is kept as it came
    }
    return glyph_.JisToText(decoded);
}

Text MessageParser::LineText(std::string_view line) {
    scratch_.assign(line);
    return glyph_.JisToText(scratch_);
}

void MessageParser::CountFieldBytes(std::string_view line) {
    const bool continues = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    pendingFieldBytes_ = continues ? pendingFieldBytes_ + line.size() : line.size();
    if (pendingFieldBytes_ > maxFieldLength_) {
        throw outcome::pop::kHeaderFieldTooLong.AsError();
    }
}

void MessageParser::HeaderLine(long id, const Text& line) {
    if (!line.empty() && (line[0] == u' ' || line[0] == u'\t')) {
        // A folded line continues the pending field, joined without a space.
        pendingHeaderLine_ += TrimLeadingControls(std::u16string_view(line).substr(1));
        return;
    }
    ReportPendingField(id);
    pendingHeaderLine_ = line;
    if (line.empty()) {
        EndHeaderBlock(id);
    }
}

void MessageParser::ReportPendingField(long id) {
    const size_t colon = pendingHeaderLine_.find(u':');
    if (colon == Text::npos) {
        return;  // not a field: dropped without an event
    }
    const Text name = pendingHeaderLine_.substr(0, colon);
    const Text value =
        TrimLeadingControls(std::u16string_view(pendingHeaderLine_).substr(colon + 1));
    const Text upperName = AsciiUpper(name);
    if (upperName == u"CONTENT-TYPE") {
        ReadContentType(value);
    } else if (upperName == u"CONTENT-TRANSFER-ENCODING") {
        transferEncoding_ = value;
    }
    if (state_ == State::MailHeader) {
        events_.MailHeadNext(id, name, value);
    } else {
        events_.MimeHeadNext(id, currentPart_, name, value);
    }
}

void MessageParser::ReadContentType(const Text& value) {
    std::vector<Text> pieces;
    long noLimit = 0;
    SplitQuoted(value, u";", pieces, noLimit);
    contentType_ = pieces[0];
    for (size_t i = 1; i < pieces.size(); ++i) {
        const Parameter parameter = SplitParameter(pieces[i]);
        const Text upperName = AsciiUpper(parameter.name);
        if (upperName == u"CHARSET") {
            contentCharset_ = parameter.value;
        } else if (upperName == u"BOUNDARY") {
            boundary_ = parameter.value;
        } else if (upperName == u"NAME") {
            contentName_ = parameter.value;
        }
    }
}

void MessageParser::EndHeaderBlock(long id) {
    if (state_ == State::MailHeader) {
        events_.MailHeadDone(id);
        if (boundary_.empty()) {
            // A message without parts is still reported as one multipart holding one part.
            events_.MultiPartOpen(id, currentPart_, u"multipart/mixed", u"", u"", u"7bit",
                                  currentTag_);
            state_ = State::BodyStart;
        } else {
            events_.MultiPartOpen(id, currentPart_, contentType_, contentName_, contentCharset_,
                                  transferEncoding_, currentTag_);
            state_ = State::BetweenParts;
        }
        OpenContainer();
        return;
    }
    events_.MimeHeadDone(id, currentPart_);
    if (AsciiLower(contentType_).find(u"multipart/") != Text::npos) {
        events_.MultiPartOpen(id, currentPart_, contentType_, contentName_, contentCharset_,
                              transferEncoding_, currentTag_);
        OpenContainer();
        state_ = State::BetweenParts;
        return;
    }
    BeginPartData(id);
    state_ = State::PartData;
    boundary_ = currentContainer_->Boundary();
}

void MessageParser::OpenContainer() {
    if (openContainers_.Count() >= kMaxOpenMultiparts) {
        throw outcome::pop::kMultipartNestedTooDeeply.AsError();
    }
    // The tag the application gave the new multipart is kept by the enclosing container and
    // comes back with the matching MultiPartClose.
    currentContainer_->Tag(currentTag_);
    openContainers_.Push(Variant(std::shared_ptr<Object>(currentContainer_)));
    openBoundaries_.push_back(currentContainer_->Boundary());
    currentContainer_ = std::make_shared<MultiPart>();
    currentContainer_->Boundary(boundary_);
}

void MessageParser::CloseContainer() {
    auto enclosing = std::dynamic_pointer_cast<MultiPart>(openContainers_.pop().AsObject());
    openBoundaries_.pop_back();
    messageBase_ = std::min(messageBase_, openBoundaries_.size());
    if (enclosing) {
        currentContainer_ = std::move(enclosing);
    }
    currentTag_ = currentContainer_->Tag();
    currentPart_ = currentContainer_->Part();
    boundary_ = currentContainer_->Boundary();
}

void MessageParser::StartPart(long id) {
    currentPart_ = currentContainer_->NextPart();
    events_.MimeHeadFirst(id, currentPart_);
    state_ = State::PartHeader;
    SetDefaults();
}

void MessageParser::BeginPartData(long id) {
    bool isText = true;
    events_.MimeDataFirst(id, currentPart_, contentType_, contentName_, contentCharset_,
                          transferEncoding_, isText);
    decoder_.BeginPart(transferEncoding_, isText);
}

void MessageParser::BetweenPartsLine(long id, std::string_view line) {
    // Only the delimiter line opens a part; the closing delimiter is ignored here unless
    // NestedDelimiters is set.
    if (!BeginsWithDashes(line)) {
        return;
    }
    const Text text = LineText(line);
    const Text delimiter = u"--" + boundary_;
    if (IsDelimiterLine(text, delimiter)) {
        StartPart(id);
        return;
    }
    if (!nestedDelimiters_) {
        return;
    }
    if (IsDelimiterLine(text, delimiter + u"--")) {
        DelimiterOfCurrent(id, text);
    } else if (const size_t count = EnclosingDelimiter(text); count > 0) {
        CloseNested(id, count);
        DelimiterOfCurrent(id, text);
    }
}

void MessageParser::PartDataLine(long id, std::string_view line) {
    // Only lines beginning with "--" can be delimiters; the others skip the conversion.
    if (!BeginsWithDashes(line)) {
        DataLine(id, line);
        return;
    }
    const Text text = LineText(line);
    const Text delimiter = u"--" + boundary_;
    if (text.compare(0, delimiter.size(), delimiter) == 0) {
        events_.MimeDataDone(id, currentPart_);
        DelimiterOfCurrent(id, text);
        return;
    }
    if (const size_t count = nestedDelimiters_ ? EnclosingDelimiter(text) : 0; count > 0) {
        events_.MimeDataDone(id, currentPart_);
        CloseNested(id, count);
        DelimiterOfCurrent(id, text);
        return;
    }
    DataLine(id, line);
}

// A delimiter of the current container: its closing delimiter closes it (or ends the message's
// structure when none encloses it), any other opens its next part.
void MessageParser::DelimiterOfCurrent(long id, const Text& text) {
    if (IsDelimiterLine(text, u"--" + boundary_ + u"--")) {
        if (openContainers_.Count() == 0) {
            state_ = State::AfterLast;
            return;
        }
        CloseContainer();
        events_.MultiPartClose(id, currentTag_);
        state_ = State::BetweenParts;
        return;
    }
    StartPart(id);
}

// How many containers must close before `text` is a delimiter of the current one: 0 when it is
// no delimiter of a container enclosing the current one in this message. Enclosing containers
// with an empty boundary are left out, or every line beginning "--" would match them. The
// innermost match wins, each matched as PartData matches the current container's delimiter.
size_t MessageParser::EnclosingDelimiter(const Text& text) const {
    for (size_t i = openBoundaries_.size(); i > messageBase_; --i) {
        const Text& boundary = openBoundaries_[i - 1];
        if (!boundary.empty() && text.size() >= boundary.size() + 2 &&
            text.compare(2, boundary.size(), boundary) == 0) {
            return openBoundaries_.size() - i + 1;
        }
    }
    return 0;
}

void MessageParser::CloseNested(long id, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        CloseContainer();
        events_.MultiPartClose(id, currentTag_);
    }
}

void MessageParser::BodyStartLine(long id, std::string_view line) {
    currentPart_ = currentContainer_->NextPart();
    events_.MimeHeadFirst(id, currentPart_);
    events_.MimeHeadDone(id, currentPart_);
    BeginPartData(id);
    state_ = State::BodyData;
    DataLine(id, line);
}

void MessageParser::DataLine(long id, std::string_view line) {
    events_.MimeDataNext(id, currentPart_, decoder_.DecodeLine(line));
}

}  // namespace zef::pop
