// Smtp: the start of one send. Refuses a second send (but for the next message that EndOfData
// may start), gathers the sender and recipients, builds the header block, prepares the
// converters and asks the socket to connect.
#include <algorithm>
#include <optional>
#include <string>

#include "common/Error.h"
#include "common/MailComm.h"
#include "common/Unicode.h"
#include "smtp/Addresses.h"
#include "smtp/HeaderBlock.h"
#include "smtp/Outcomes.h"
#include "smtp/Utf8Mail.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

namespace {

bool IsSendableSubtype(const Text& subtype) {
    return subtype.empty() || subtype == u"mixed" || subtype == u"alternative" ||
           subtype == u"parallel";
}

bool HasNul(const Text& text) {
    return text.find(u'\0') != Text::npos;
}

}  // namespace

void smtpZef::Impl::Smtp(const Text& mailServer, const Text& mailHeader) {
    const bool next = sendPhase_ != kIdle && MayStartNext(mailServer);
    if (sendPhase_ != kIdle && !next) {
        throw outcome::kBusy.AsError();
    }
    if (next) {
        KeepPriorMessage();
    }
    codec_.FoldLines(fold78);
    ResetSendState(mailHeader);
    mailServer_ = mailServer;

    if (std::optional<smtp::Refusal> refusal = RefusalOfSend()) {
        if (next) {
            prior_.heldRefusal = std::move(refusal);
        } else {
            Refuse(refusal->code, refusal->message);
        }
        return;
    }
    if (GoOnInSession()) {
        return;
    }
    ConnectForSend();
}

// A new connection for the send: the dialogue starts again from the greeting.
void smtpZef::Impl::ConnectForSend() {
    ResetConnectionState();
    SetCaption(outcome::smtp::ConnectingCaption(mailServer_));
    try {
        ArmTimer(kConnectGuard);
        wire_.SetTls(WireTlsSettings());
        wire_.Connect(TextToUtf8(mailServer_), TextToUtf8(port), "0");
    } catch (const Error& failure) {
        ConnectFailed(outcome::FailureCodeFor(failure.number()), failure.description());
    } catch (const std::exception& failure) {
        ConnectFailed(outcome::kFailureCode, Utf8ToText(failure.what()));
    }
}

void smtpZef::Impl::ResetSendState(const Text& mailHeader) {
    if (session_ == smtp::SessionState::kNone) {
        ResetConnectionState();
    }
    dataPhase_ = false;
    sendPhase_ = kSending;
    doneCode_ = outcome::kSuccessCode;
    doneMessage_.clear();
    headerBlock_ = mailHeader;
    headerPhase_ = true;
    moreDataId_ = 0;
    rcptIndex_ = 0;
    recipientsRefused_ = 0;
    lastRefusal_.clear();
    enhancedStatus_.clear();
    failed_ = false;
    keepAfterRset_ = false;
    pipelined_ = false;
    batchRefusal_.clear();
    mimeDepth_ = 1;
    mimePart_ = 1;
    // A send that ended inside a part (a failure or a time-out during the body) leaves its
    // part state behind; the next send starts clean.
    inPartBody_ = false;
    partDataFormat_.clear();
    partTransferEncoding_.clear();
    pieceRemainder_.clear();
    textBacklog_.clear();
    partHeaderBuffer_.clear();
    multiPartStack_.Clear();
    rawLines_.Reset();
    smtpUtf8Declared_ = false;
    eightBitDeclared_ = false;
}

// Why the send cannot go, the failures of its preparation included; nullopt when it may.
std::optional<smtp::Refusal> smtpZef::Impl::RefusalOfSend() {
    try {
        Text refusal = PrepareSend();
        if (refusal.empty()) {
            return std::nullopt;
        }
        return smtp::Refusal{outcome::kFailureCode, std::move(refusal)};
    } catch (const Error& failure) {  // e.g. the 16-bit Overflow on a giant header
        return smtp::Refusal{outcome::FailureCodeFor(failure.number()), failure.description()};
    } catch (const std::exception& failure) {
        return smtp::Refusal{outcome::kFailureCode, outcome::smtp::UnexpectedError(failure.what())};
    }
}

// Steps that may refuse the send: returns the refusal text, or "" when the send goes on.
Text smtpZef::Impl::PrepareSend() {
    if (hostname.empty()) {
        hostname = Utf8ToText(wire_.LocalHostName());
    }
    currentMultiPart_ = std::make_shared<MultiPart>();
    currentMultiPart_->NewBoundary(1, 1);
    GatherAddresses();

    if (recipients_.size() < 2) {
        return outcome::smtp::kNoRecipientAddress.message;
    }
    if (recipients_[0].empty()) {
        return outcome::smtp::kNoFromAddress.message;
    }
    if (!IsSendableSubtype(mimeMultipart)) {
        return outcome::smtp::kUnsendableMimeSubType.message;
    }
    if (Text field = FieldWithLineBreak(); !field.empty()) {
        return outcome::smtp::InvalidCharacterIn(field);
    }

    // Addresses were read from the header as given (lines end at CR LF); what is sent has CR LF
    // between all its lines, so a bare CR or LF can neither end the message early on a server
    // that takes it for a line end nor pass into the message as a stray byte.
    headerBlock_ = smtp::WithCrLfLineEnds(headerBlock_);
    if (!mimeMultipart.empty()) {
        headerBlock_ = smtp::MultipartHeaderBlock(mimeMultipart, charSet,
                                                  currentMultiPart_->Boundary(), headerBlock_);
    }
    switch (angleBracketType) {
        case 1:
            openBracket_ = u"";
            closeBracket_ = u"";
            break;
        case 2:
            openBracket_ = u" ";
            closeBracket_ = u"";
            break;
        default:
            openBracket_ = u"<";
            closeBracket_ = u">";
            break;
    }
    if (!kanjiIn.empty()) {
        glyph_.KanjiInEscape(TextToUtf8(kanjiIn));
    }
    if (!kanjiOut.empty()) {
        glyph_.KanjiOutEscape(TextToUtf8(kanjiOut));
    }
    ChooseExtensions();
    return {};
}

// The charset of this send's text, and the extensions its envelope and header call for. Under
// "auto" the header decides: a character the converter would write as "?" makes it UTF-8.
void smtpZef::Impl::ChooseExtensions() {
    bool fitsJis = true;
    if (smtp::ChoosesUtf8(textCharset, false) != smtp::ChoosesUtf8(textCharset, true)) {
        Text header = headerBlock_;
        Bytes jis = glyph_.TextToJis(header);
        const Text back = glyph_.JisToText(jis);
        fitsJis = std::count(back.begin(), back.end(), u'?') ==
                  std::count(headerBlock_.begin(), headerBlock_.end(), u'?');
    }
    const bool rawUtf8Header = rawMessage && !smtp::IsAscii(headerBlock_);
    needs8Bit_ = rawUtf8Header;
    needsSmtpUtf8_ =
        rawUtf8Header || std::any_of(recipients_.begin(), recipients_.end(), [](const Text& entry) {
            return !smtp::IsAscii(mailcomm::ExtractAddress(entry));
        });
    // Only UTF-8 text can keep a non-ASCII address whole in the header.
    utf8Text_ = smtp::ChoosesUtf8(textCharset, fitsJis && !needsSmtpUtf8_);
}

// Recipients[0] is the sender, [1..] the recipients: from ToAddr when it gives any, else from
// the header's From, To, Cc and Bcc fields; a non-blank FromAddr overrides the sender.
void smtpZef::Impl::GatherAddresses() {
    recipients_.assign(1, Text());
    senderFromHeader_ = false;
    recipientsFromHeader_ = false;
    for (Text& recipient : smtp::RecipientsFromToAddr(toAddr)) {
        recipients_.push_back(std::move(recipient));
    }
    if (recipients_.size() == 1) {
        smtp::HeaderAddresses found = smtp::CollectHeaderAddresses(headerBlock_);
        recipients_[0] = std::move(found.from);
        senderFromHeader_ = true;
        recipientsFromHeader_ = true;
        for (Text& recipient : found.recipients) {
            recipients_.push_back(std::move(recipient));
        }
    }
    if (!smtp::IsBlank(fromAddr)) {
        recipients_[0] = fromAddr;
        senderFromHeader_ = false;
    }
}

// The first field whose value would break a command line apart (CR or LF, which could smuggle
// in a command of its own), or "" when all are clean. The user name is checked only when AUTH
// uses it. For AUTH PLAIN a NUL in the user name or password is refused as well: NUL separates
// the fields of its answer, so the server would read other credentials than those given. The
// password may hold any character: it only ever goes out base64-encoded. The header block itself
// is not refused for its line ends: PrepareSend makes each of them CR LF.
Text smtpZef::Impl::FieldWithLineBreak() const {
    if (smtp::HasLineBreak(recipients_[0])) {
        return senderFromHeader_ ? u"MailHeader" : u"FromAddr";
    }
    for (size_t index = 1; index < recipients_.size(); ++index) {
        if (smtp::HasLineBreak(recipients_[index])) {
            return recipientsFromHeader_ ? u"MailHeader" : u"ToAddr";
        }
    }
    if (smtp::HasLineBreak(hostname)) {
        return u"Hostname";
    }
    if (auth != 0 && smtp::HasLineBreak(user)) {
        return u"User";
    }
    if (auth == 3 && HasNul(user)) {
        return u"User";
    }
    if (auth == 3 && HasNul(pass)) {
        return u"Pass";
    }
    return {};
}

// Every send sets the wire's TLS, so a mode chosen for an earlier send never lingers.
TlsSettings smtpZef::Impl::WireTlsSettings() const {
    return TlsSettings::ForSecurity(security, verifyCert, TextToUtf8(caFile));
}

// A send refused before the connect: the caption shows the reason, and Done reports it before
// Smtp returns, with the phase already back to idle so that Done may start the next send.
void smtpZef::Impl::Refuse(long code, const Text& message) {
    SetCaption(message);
    sendPhase_ = kIdle;
    RaiseDone(code, message);
}

void smtpZef::Impl::ConnectFailed(long number, const Text& description) {
    StopTimer();
    SetCaption(outcome::ConnectErrorCaption(number, description));
    sendPhase_ = kIdle;
    RaiseDone(number, description);
}

}  // namespace zef
