// The DATA phase: after the header block, every SendComplete brings one turn of body output,
// asked for from the application piece by piece, so that a body of any size is sent without
// being held: MoreData for a plain message, MimeHead and MimeBody for a multipart one.
#include <algorithm>
#include <optional>

#include "common/Error.h"
#include "common/Unicode.h"
#include "smtp/Outcomes.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

namespace {

bool IsPartRefusal(const Error& error) {
    return error.number() == error::kInvalidValue && error.source() == outcome::smtp::kPartSource;
}

}  // namespace

void smtpZef::Impl::OnSendComplete() {
    if (failed_ || sendPhase_ == kIdle) {
        return;  // a stray event of no send must not arm the transfer guard
    }
    ArmTimer(kTransferGuard);
    if (!pendingOutput_.empty()) {
        Bytes output;
        output.swap(pendingOutput_);
        wire_.SendData(output);
    }
    // A turn that hands nothing to the socket would get no SendComplete of its own (an
    // application piece that converts to no bytes, e.g. a single odd byte): go on with the next
    // turn at once instead of stalling.
    RunBodyTurns();
}

// The turns of one write. Without BodyWriteSize, until a turn hands bytes on: its SendComplete
// brings the next. With it, until that many bytes wait for the write or the message has ended.
void smtpZef::Impl::RunBodyTurns() {
    if (bodyWriteSize < 1) {
        while (dataPhase_ && !RunBodyTurn()) {
        }
        return;
    }
    SendAsOneWrite([this] {
        while (dataPhase_ && batch_.size() < static_cast<size_t>(bodyWriteSize)) {
            const size_t before = batch_.size();
            if (RunBodyTurn() && batch_.size() == before) {
                // A refused part (see MimeBodyTurn): the message waits for its time-out, so
                // nothing of it may go, as no SendComplete may bring another turn.
                batch_.clear();
                return;
            }
        }
    });
}

// One turn; true when it handed bytes to the socket (or to PendingOutput), or when the turn
// must end the body's progress (a refused part).
bool smtpZef::Impl::RunBodyTurn() {
    return mimeMultipart.empty() ? PlainBodyTurn() : MimeBodyTurn();
}

// The plain body is the application's text, sent as it comes: no dot-stuffing, so the
// application must not pass a line that consists of a single ".". Under RawMessage the pieces
// are bytes, and RawLines makes their line ends and leading dots safe.
bool smtpZef::Impl::PlainBodyTurn() {
    ++moreDataId_;
    Bytes data;
    if (owner_.MoreData) {
        owner_.MoreData(moreDataId_, data);
    }
    if (data.empty()) {
        RaiseTrace(Text(outcome::smtp::kDotTrace));
        dataPhase_ = false;
        return SendEndOfData(
            [this] { rawMessage ? SendRaw(rawLines_.Finish()) : SendText(u"\r\n.\r\n"); });
    }
    RaiseTrace(u">>Sending More Data ...");
    if (rawMessage && !eightBitDeclared_ &&
        std::any_of(data.begin(), data.end(), [](char c) { return (c & 0x80) != 0; })) {
        // RFC 6152: 8-bit data only after BODY=8BITMIME. Ending before the dot drops it.
        throw outcome::smtp::kUndeclared8BitData.AsError();
    }
    return rawMessage ? SendRaw(rawLines_.Pass(data)) : SendText(Utf16LeToText(data));
}

bool smtpZef::Impl::MimeBodyTurn() {
    if (inPartBody_) {
        if (std::optional<bool> sent = SendPartPiece()) {
            return *sent;
        }
    }
    partHeaderBuffer_.clear();
    try {
        RunPartLoop();
    } catch (const Error& error) {
        if (!IsPartRefusal(error)) {
            throw;
        }
        // A part with an unknown data format or transfer encoding. Its refusal cannot be
        // raised back to the socket's event loop as a host would; it is traced instead. Nothing
        // of this turn is sent and the DATA phase stays open, so, as no SendComplete follows,
        // the send ends through the transfer time-out (Done -4); with no TransTimeout it waits.
        partHeaderBuffer_.clear();
        RaiseTrace(error.description());
        return true;
    }
    Bytes header = ConvertText(partHeaderBuffer_);
    partHeaderBuffer_.clear();
    if (dataPhase_) {
        return SendRaw(EncodeHeaderText(header));
    }
    return SendEndOfData([&] { SendRaw(EncodeHeaderText(header)); });
}

// `sendLast` sends the end of the message with its final dot; the next message that EndOfData
// starts goes out behind it in the same write.
bool smtpZef::Impl::SendEndOfData(const std::function<void()>& sendLast) {
    return SendAsOneWrite([&] {
        sendLast();
        OfferNextMessage();
    });
}

// One piece of a leaf part: whether it gave bytes to send, or nothing when the application
// ended the part.
std::optional<bool> smtpZef::Impl::SendPartPiece() {
    Bytes data;
    if (owner_.MimeBody) {
        owner_.MimeBody(mimeDepth_, mimePart_, data);
    }
    if (data.empty()) {
        inPartBody_ = false;
        return std::nullopt;
    }
    Bytes bytes;
    if (partIsText_) {
        // UTF-16LE text: a code unit split between two pieces waits for its second byte, and
        // a character split between two pieces waits in the backlog for the converter.
        pieceRemainder_ += data;
        const size_t whole = pieceRemainder_.size() & ~size_t{1};
        textBacklog_ += Utf16LeToText(std::string_view(pieceRemainder_).substr(0, whole));
        pieceRemainder_.erase(0, whole);
        bytes = ConvertText(textBacklog_);
    } else {
        bytes = std::move(data);
    }
    return SendRaw(smtp::EncodePiece(codec_, partEncoding_, std::move(bytes)));
}

// One pass per part number, until a leaf part is open or the message is complete; the
// delimiters and part headers of the whole pass go out together.
void smtpZef::Impl::RunPartLoop() {
    for (;;) {
        mimePart_ = currentMultiPart_->NextPart();
        smtp::PartHead head;
        if (owner_.MimeHead) {
            owner_.MimeHead(mimeDepth_, mimePart_, head.originalDataFormat, head.contentType,
                            head.contentName, head.contentCharset, head.transferEncoding,
                            head.additionalHeader);
        }
        partDataFormat_ = head.originalDataFormat;
        partTransferEncoding_ = head.transferEncoding;

        if (head.contentType.empty()) {  // no part with this number: the multipart closes
            if (CloseMultiPart()) {
                return;
            }
            continue;
        }
        if (Text field = smtp::FieldBreakingPartHeader(head); !field.empty()) {
            // Not one of the part refusals that wait for the time-out: the send ends at once,
            // before the dot, so the server drops the message.
            throw outcome::smtp::InvalidCharacterInPart(field);
        }
        partHeaderBuffer_ += smtp::Delimiter(currentMultiPart_->Boundary());
        if (smtp::OpensNestedMultiPart(head.contentType)) {
            OpenNestedMultiPart(head.contentType);
            continue;
        }
        OpenLeafPart(head);
        return;
    }
}

// Closes the open multipart; true when it was the message's own, which ends the body.
bool smtpZef::Impl::CloseMultiPart() {
    partHeaderBuffer_ += smtp::CloseDelimiter(currentMultiPart_->Boundary());
    --mimeDepth_;
    if (mimeDepth_ <= 0) {
        RaiseTrace(Text(outcome::smtp::kDotTrace));
        dataPhase_ = false;
        partHeaderBuffer_ += u".\r\n";
        return true;
    }
    currentMultiPart_ = std::dynamic_pointer_cast<MultiPart>(multiPartStack_.pop().AsObject());
    return false;
}

// The enclosing multipart waits on the stack; the nested one numbers its parts from 1 and
// takes its depth and its place in the enclosing one into its boundary.
void smtpZef::Impl::OpenNestedMultiPart(const Text& contentType) {
    multiPartStack_.Push(Variant(std::shared_ptr<Object>(currentMultiPart_)));
    currentMultiPart_ = std::make_shared<MultiPart>();
    ++mimeDepth_;
    currentMultiPart_->NewBoundary(mimeDepth_, mimePart_);
    partHeaderBuffer_ += smtp::NestedMultiPartHeader(contentType, currentMultiPart_->Boundary());
}

// The data format is checked before the encoding; either refusal raises error 380.
void smtpZef::Impl::OpenLeafPart(const smtp::PartHead& head) {
    partIsText_ = smtp::IsTextFormat(partDataFormat_);
    partEncoding_ = smtp::ParseTransferEncoding(partTransferEncoding_);
    pieceRemainder_.clear();
    textBacklog_.clear();
    inPartBody_ = true;
    if (!utf8Text_) {
        partHeaderBuffer_ += smtp::LeafPartHeader(head);
        return;
    }
    // The control writes the text in UTF-8, so it labels it so; 8-bit bytes go out as 8bit only
    // under BODY=8BITMIME, and otherwise base64 keeps them off the wire: Japanese text takes
    // 4/3 of its bytes there and three times them in quoted-printable, which also costs three
    // times as much to encode.
    smtp::PartHead written = head;
    if (partIsText_) {
        written.contentCharset = u"utf-8";
        if (partEncoding_ == smtp::PartEncoding::kAsIs &&
            !(eightBitDeclared_ && smtp::AsksFor8Bit(head.transferEncoding))) {
            partEncoding_ = smtp::PartEncoding::kBase64;
            written.transferEncoding = u"base64";
        }
    }
    partHeaderBuffer_ += smtp::LeafPartHeader(written, true);
}

}  // namespace zef
