// The IMAP dialogue of imapZef: the socket and timer events, and the table that answers each
// response. One command is awaited at a time; its tagged response moves the dialogue on
// (OnCompleted, one row per command), untagged data fills in what the commands asked for.
#include <algorithm>
#include <climits>
#include <exception>
#include <string>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/CodePage.h"
#include "imap/ImapControl.h"
#include "imap/ModifiedUtf7.h"

namespace zef {

using imap::Response;
using imap::Value;

namespace {

const char* StatusWord(Response::Status status) {
    switch (status) {
        case Response::Status::Ok:
            return "OK";
        case Response::Status::No:
            return "NO";
        case Response::Status::Bad:
            return "BAD";
        case Response::Status::Preauth:
            return "PREAUTH";
        case Response::Status::Bye:
            return "BYE";
        case Response::Status::None:
            break;
    }
    return "";
}

// The answer as the server gave it, without the tag: "NO [NONEXISTENT] Unknown folder".
std::string Answer(const Response& response) {
    std::string answer = StatusWord(response.status);
    if (!response.code.empty()) {
        answer += " [" + imap::JoinAtoms(response.code, 0) + "]";
    }
    return response.text.empty() ? answer : answer + " " + response.text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

}  // namespace

const char* imapZef::Impl::CommandName(Command command) {
    switch (command) {
        case Command::Greeting:
            return "GREETING";
        case Command::Capability:
            return "CAPABILITY";
        case Command::StartTls:
            return "STARTTLS";
        case Command::Login:
            return "LOGIN";
        case Command::Authenticate:
            return "AUTHENTICATE";
        case Command::Enable:
            return "ENABLE";
        case Command::List:
            return "LIST";
        case Command::Select:
            return "SELECT";
        case Command::Search:
            return "UID SEARCH";
        case Command::Sizes:
        case Command::Header:
        case Command::Body:
            return "UID FETCH";
        case Command::StoreDeleted:
        case Command::StoreSeen:
            return "UID STORE";
        case Command::Expunge:
            return "UID EXPUNGE";
        case Command::Idle:
            return "IDLE";
        case Command::Logout:
            return "LOGOUT";
    }
    return "";
}

// --- ending a transfer from the control's side ---

// Closed without LOGOUT: nothing of this session is committed after this point, and the
// deletions were not sent (they go out only after the walk).
void imapZef::Impl::StartClosing() {
    closing_ = true;
    literalLines_.Clear();
}

// The first failure is the one Done reports.
void imapZef::Impl::SetDone(long code, const Text& message) {
    if (doneCode_ == outcome::kSuccessCode) {
        doneCode_ = code;
        doneMessage_ = message;
    }
}

// In IDLE the stop comes at once: DONE ends the wait, and the tagged answer leads to LOGOUT.
void imapZef::Impl::Abend(bool cancelDelete) {
    if (receivePhase_ != ReceivePhase::kRunning) {
        return;
    }
    abortMode_ = cancelDelete ? AbortMode::kDrop : AbortMode::kCommit;
    if (idling_) {
        Guarded([this] { EndIdle(); });
    }
}

// --- socket and timer events ---

void imapZef::Impl::OnDataArrival(const Bytes& data) {
    if (receivePhase_ == ReceivePhase::kIdle || closing_) {
        return;
    }
    Guarded([this, &data] {
        RearmOnTraffic();
        SetCaption(outcome::kProcessingCaption);
        const imap::Fault fault = reader_.Feed(data);
        if (closing_) {
            return;
        }
        if (fault != imap::Fault::None && command_ == Command::Logout) {
            FailTransfer(doneCode_, doneMessage_);  // all is done: the answer to LOGOUT is moot
        } else if (fault != imap::Fault::None) {
            FailTransfer(outcome::kFailureCode,
                         outcome::imap::UnreadableResponse(imap::FaultName(fault)));
        } else if (tlsPending_ && !reader_.AtResponseBoundary()) {
            FailTransfer(outcome::imap::kUnexpectedDataAfterStartTls.code,
                         outcome::imap::kUnexpectedDataAfterStartTls.message);
        }
    });
}

// The handshake STARTTLS asked for has succeeded: the capabilities read in the clear may have
// been tampered with, so they are asked again before the login.
void imapZef::Impl::OnTlsReady() {
    if (receivePhase_ != ReceivePhase::kRunning || !tlsPending_) {
        return;
    }
    Guarded([this] {
        ArmTimer(GuardPhase::kTransfer);
        tlsPending_ = false;
        tlsDone_ = true;
        capabilities_.clear();
        Send(Command::Capability, Tagged("CAPABILITY"));
    });
}

void imapZef::Impl::OnGuardExpired(GuardPhase phase) {
    if (phase == GuardPhase::kIdle) {
        EndIdle();  // IDLE again before the server's time-out
        return;
    }
    const outcome::DoneOutcome& timeout =
        phase == GuardPhase::kConnect ? outcome::kConnectTimeout : outcome::kTransTimeout;
    SetDone(timeout.code, timeout.message);
    components_.wire->Close();
}

// --- the reader's events ---

void imapZef::Impl::OnResponse(const Response& response) {
    if (closing_) {
        return;
    }
    if (tlsPending_) {
        FailTransfer(outcome::imap::kUnexpectedDataAfterStartTls.code,
                     outcome::imap::kUnexpectedDataAfterStartTls.message);
        return;
    }
    if (owner_.Trace) {
        RaiseTrace(imap::Describe(response));
    }
    switch (response.kind) {
        case Response::Kind::Continuation:
            OnContinuation(response);
            break;
        case Response::Kind::Untagged:
            command_ == Command::Greeting ? OnGreeting(response) : OnUntagged(response);
            break;
        case Response::Kind::Tagged:
            OnTagged(response);
            break;
    }
}

// A message (or header) literal of the FETCH awaited is streamed into lines; every other
// literal is collected into its value, within the reader's limits.
bool imapZef::Impl::OnLiteralStart(const Response& partial, const Value& /*literal*/) {
    if (closing_ || partial.values.size() < 3 || !imap::IsAtom(partial.values[1], "FETCH") ||
        partial.values[2].kind != Value::Kind::List) {
        return false;
    }
    const std::vector<Value>& items = partial.values[2].items;
    if (IsDroppedBody(partial.values[2])) {
        literalUse_ = LiteralUse::kDropped;
        return true;
    }
    if (command_ != Command::Body && command_ != Command::Header) {
        return false;
    }
    const char* wanted = command_ == Command::Body ? "BODY[]" : "BODY[HEADER]";
    if (items.size() < 2 || !imap::IsAtom(items[items.size() - 2], wanted)) {
        return false;
    }
    const Value* uid = imap::FetchItem(partial.values[2], "UID");
    if (uid != nullptr && uid->number != walk_[walkAt_].uid) {
        FailTransfer(outcome::imap::kOutOfStep.code, outcome::imap::kOutOfStep.message);
        return false;
    }
    literalUse_ = command_ == Command::Body ? LiteralUse::kBody : LiteralUse::kHeader;
    literalLines_.Clear();
    return true;
}

void imapZef::Impl::OnLiteralData(std::string_view piece) {
    if (closing_ || literalUse_ == LiteralUse::kNone || literalUse_ == LiteralUse::kDropped) {
        return;
    }
    literalLines_.Append(piece);
    TakeLiteralLines(false);
}

void imapZef::Impl::OnLiteralEnd() {
    if (literalUse_ == LiteralUse::kDropped) {
        literalUse_ = LiteralUse::kNone;
        return;
    }
    if (closing_ || literalUse_ == LiteralUse::kNone) {
        return;
    }
    TakeLiteralLines(true);
    literalUse_ = LiteralUse::kNone;
    literalSeen_ = true;
}

// The lines of the literal so far; at its end a last line without a line end is one too.
void imapZef::Impl::TakeLiteralLines(bool last) {
    if (last && literalLines_.Pending() > 0) {
        literalLines_.Append("\n");
    }
    const long id = static_cast<long>(walkAt_) + 1;
    std::string_view line;
    for (;;) {
        switch (literalLines_.NextLine(line)) {
            case pop::LineAssembler::Result::Line:
                if (literalUse_ == LiteralUse::kHeader) {
                    Raise(owner_.TopNext, id, LineText(line));
                    break;
                }
                if (owner_.RetrLine) {
                    retrLine_.assign(line);
                    owner_.RetrLine(id, retrLine_);
                }
                parser_.ParseMessageLine(id, line);
                break;
            case pop::LineAssembler::Result::NeedMore:
                return;
            case pop::LineAssembler::Result::TooLong:
                FailTransfer(outcome::kLineTooLong.code, outcome::kLineTooLong.message);
                return;
        }
        if (closing_) {
            return;
        }
    }
}

// --- the dialogue: untagged responses ---

void imapZef::Impl::OnGreeting(const Response& response) {
    if (response.kind != Response::Kind::Untagged ||
        (response.status != Response::Status::Ok && response.status != Response::Status::Preauth)) {
        FailTransfer(outcome::kFailureCode,
                     response.status == Response::Status::Bye
                         ? outcome::imap::ServerClosing(LineText(response.text))
                         : LineText(Answer(response)));
        return;
    }
    if (response.status == Response::Status::Preauth) {
        loggedIn_ = true;
    }
    if (!response.code.empty()) {
        OnStatusCode(response.code);
    }
    command_ = Command::Capability;  // what the greeting stands for until a command goes out
    if (!capabilities_.empty() || (security == 2 && !loggedIn_)) {  // STARTTLS first of all
        AfterCapabilities();
    } else {
        Send(Command::Capability, Tagged("CAPABILITY"));
    }
}

void imapZef::Impl::OnUntagged(const Response& response) {
    if (!response.code.empty()) {
        OnStatusCode(response.code);
    }
    if (response.status == Response::Status::Bye) {
        if (command_ != Command::Logout) {  // the server is ending the session
            SetDone(outcome::kFailureCode, outcome::imap::ServerClosing(LineText(response.text)));
        }
        return;
    }
    const std::vector<Value>& values = response.values;
    if (response.status != Response::Status::None || values.empty()) {
        return;
    }
    const Value& first = values[0];
    if (imap::IsAtom(first, "CAPABILITY")) {
        capabilities_ = AsciiToText(imap::JoinAtoms(values, 1));
        Raise(owner_.CapabilitiesReceived);
    } else if (imap::IsAtom(first, "LIST") && command_ == Command::List) {
        OnListed(response);
    } else if (imap::IsAtom(first, "SEARCH") && command_ == Command::Search) {
        for (size_t i = 1; i < values.size(); ++i) {
            if (values[i].kind == Value::Kind::Number && values[i].number <= UINT32_MAX) {
                walk_.push_back(Message{static_cast<uint32_t>(values[i].number)});
            }
        }
    } else if (imap::IsAtom(first, "ESEARCH") && command_ == Command::Search) {
        for (size_t i = 1; i + 1 < values.size(); ++i) {
            if (imap::IsAtom(values[i], "ALL") && !FoundUidSet(values[i + 1].text)) {
                FailTransfer(outcome::kFailureCode, outcome::imap::UnreadableResponse("ESEARCH"));
                return;
            }
        }
    } else if (imap::IsAtom(first, "ENABLED")) {
        for (size_t i = 1; i < values.size(); ++i) {
            utf8Accepted_ = utf8Accepted_ || imap::IsAtom(values[i], "UTF8=ACCEPT");
        }
    } else if (first.kind == Value::Kind::Number && values.size() >= 2) {
        if (imap::IsAtom(values[1], "EXISTS")) {
            const long exists = static_cast<long>(std::min<uint64_t>(first.number, LONG_MAX));
            newMail_ = newMail_ || exists > exists_;
            exists_ = exists;
            if (idling_ && newMail_) {
                EndIdle();
            }
        } else if (imap::IsAtom(values[1], "EXPUNGE")) {
            // One message fewer: a later EXISTS of the same count brings a new one.
            exists_ = std::max(0L, exists_ - 1);
        } else if (imap::IsAtom(values[1], "FETCH") && values.size() >= 3) {
            OnFetch(static_cast<uint32_t>(first.number), values[2]);
        }
    }
}

void imapZef::Impl::OnStatusCode(const std::vector<Value>& code) {
    if (imap::IsAtom(code[0], "CAPABILITY")) {
        capabilities_ = AsciiToText(imap::JoinAtoms(code, 1));
        capabilitiesFresh_ = true;
        Raise(owner_.CapabilitiesReceived);
    } else if (imap::IsAtom(code[0], "UIDVALIDITY") && code.size() >= 2) {
        uidValidity_ = code[1].text;
    }
}

// The sizes asked for, or a body or header that came as a quoted string instead of a literal.
void imapZef::Impl::OnFetch(uint32_t /*sequence*/, const Value& items) {
    if (items.kind != Value::Kind::List) {
        return;
    }
    const Value* uid = imap::FetchItem(items, "UID");
    if (command_ == Command::Sizes) {
        const Value* size = imap::FetchItem(items, "RFC822.SIZE");
        const auto at = std::lower_bound(
            walk_.begin(), walk_.end(), uid != nullptr ? uid->number : 0,
            [](const Message& message, uint64_t wanted) { return message.uid < wanted; });
        if (size != nullptr && at != walk_.end() && uid != nullptr && at->uid == uid->number) {
            at->size = static_cast<long>(std::min<uint64_t>(size->number, LONG_MAX));
        }
        return;
    }
    if ((command_ != Command::Body && command_ != Command::Header) || IsDroppedBody(items)) {
        return;
    }
    const Value* data =
        imap::FetchItem(items, command_ == Command::Body ? "BODY[]" : "BODY[HEADER]");
    if (data == nullptr) {
        return;  // a flag change, or another item
    }
    if (uid != nullptr && uid->number != walk_[walkAt_].uid) {
        FailTransfer(outcome::imap::kOutOfStep.code, outcome::imap::kOutOfStep.message);
        return;
    }
    if (!data->streamed && data->kind != Value::Kind::Nil) {
        literalUse_ = command_ == Command::Body ? LiteralUse::kBody : LiteralUse::kHeader;
        literalLines_.Clear();
        OnLiteralData(data->text);
        OnLiteralEnd();
    }
    // A server may run commands sent ahead at once, so that their data comes before this
    // command's tagged answer: with Pipelining the message is complete when its body is, and
    // the tagged answer, when it comes, only confirms it.
    if (pipelining && command_ == Command::Body && literalSeen_ && !closing_) {
        answeredTags_.push_back(std::exchange(tag_, {}));
        AfterBody();
    }
}

// * LIST (\HasNoChildren) "/" name
void imapZef::Impl::OnListed(const Response& response) {
    const std::vector<Value>& values = response.values;
    if (values.size() < 4 || values[1].kind != Value::Kind::List) {
        return;
    }
    const Text name = FolderNameText(values[3].text);
    const Text delimiter = values[2].kind == Value::Kind::Nil ? Text() : Utf8ToText(values[2].text);
    Raise(owner_.FolderListed, name, delimiter, Utf8ToText(imap::JoinAtoms(values[1].items, 0)));
}

// --- continuations: the rest of a command, a SASL challenge, or IDLE under way ---

void imapZef::Impl::OnContinuation(const Response& response) {
    if (!unsentPieces_.empty()) {
        Bytes piece = std::move(unsentPieces_.front());
        unsentPieces_.erase(unsentPieces_.begin());
        SendBytes(std::move(piece));
        return;
    }
    switch (command_) {
        case Command::Authenticate: {
            const std::string answer = sasl_->Answer(response.text);
            RaiseTrace(">>***");
            SendBytes(answer + "\r\n");
            break;
        }
        case Command::Idle:
            idling_ = true;
            ArmTimer(GuardPhase::kIdle);
            Raise(owner_.Idling);
            if (newMail_ || abortMode_ != AbortMode::kNone) {
                EndIdle();
            }
            break;
        default:
            FailTransfer(outcome::imap::kOutOfStep.code, outcome::imap::kOutOfStep.message);
    }
}

// --- tagged responses: the table ---

void imapZef::Impl::OnTagged(const Response& response) {
    if (!droppedTags_.empty() && response.tag == droppedTags_.front()) {
        droppedTags_.erase(droppedTags_.begin());
        droppedUids_.erase(droppedUids_.begin());
        return;
    }
    if (!answeredTags_.empty() && response.tag == answeredTags_.front()) {
        answeredTags_.erase(answeredTags_.begin());
        if (response.status != Response::Status::Ok) {  // taken back after all: keep everything
            SetDone(outcome::kFailureCode,
                    outcome::imap::Refused(u"UID FETCH", LineText(Answer(response))));
            deleting_.clear();
            seeing_.clear();
            Logout();
        }
        return;
    }
    if (response.tag != tag_) {
        FailTransfer(outcome::imap::kOutOfStep.code, outcome::imap::kOutOfStep.message);
        return;
    }
    if (!response.code.empty()) {
        OnStatusCode(response.code);
    }
    response.status == Response::Status::Ok ? OnCompleted() : Refused(response);
}

// One row per command: where its success leads.
void imapZef::Impl::OnCompleted() {
    switch (command_) {
        case Command::Greeting:
            break;
        case Command::Capability:
            loggedIn_ ? AfterLogin() : AfterCapabilities();
            break;
        case Command::StartTls:
            tlsPending_ = true;  // bytes before the handshake end the transfer
            components_.wire->StartTls();
            break;
        case Command::Authenticate:
            if (!sasl_->AcceptsSuccess()) {
                SetDone(outcome::kServerNotProven.code, outcome::kServerNotProven.message);
                Logout();
                break;
            }
            [[fallthrough]];
        case Command::Login:
            loggedIn_ = true;
            sasl_.reset();
            // The capabilities change with the login; a server may send them with its OK.
            capabilitiesFresh_ ? AfterLogin() : Send(Command::Capability, Tagged("CAPABILITY"));
            break;
        case Command::Enable:
            AfterEnable();
            break;
        case Command::List:
            SelectFolder();
            break;
        case Command::Select:
            Raise(owner_.FolderSelected, folder, AsciiToText(uidValidity_), exists_);
            SearchNew();
            break;
        case Command::Search:
            AfterSearch();
            break;
        case Command::Sizes:
            AfterSizes();
            break;
        case Command::Header: {
            bool remove = false;
            Raise(owner_.TopDone, static_cast<long>(walkAt_) + 1, remove);
            if (remove) {
                deleting_.push_back(walk_[walkAt_].uid);
            }
            if (remove || !Retrieve()) {
                ++walkAt_;
                WalkNext();
            }
            break;
        }
        case Command::Body:
            AfterBody();
            break;
        case Command::StoreDeleted:
            if (imap::HasCapability(TextToUtf8(capabilities_), "UIDPLUS")) {
                Send(Command::Expunge, Tagged("UID EXPUNGE").Raw(imap::UidSet(deleting_)));
            } else {
                RaiseTrace(
                    "no UIDPLUS: the messages are flagged \\Deleted and stay until expunged");
                AfterDeletions();
            }
            break;
        case Command::Expunge:
            AfterDeletions();
            break;
        case Command::StoreSeen:
            seeing_.clear();
            AfterCommit();
            break;
        case Command::Idle:
            ArmTimer(GuardPhase::kTransfer);
            abortMode_ != AbortMode::kNone ? Logout() : SearchNew();
            break;
        case Command::Logout:
            components_.wire->Shutdown(1);
            break;
    }
}

// A tagged NO or BAD. The transfer ends with LOGOUT, the deletions dropped (or committed first
// with DeleteOnError); a refused ENABLE only leaves the connection as it was.
void imapZef::Impl::Refused(const Response& response) {
    if (command_ == Command::Enable) {
        AfterEnable();
        return;
    }
    if (command_ == Command::Logout) {
        components_.wire->Shutdown(1);
        return;
    }
    responseCode_ = response.code.empty() ? Text() : Utf8ToText(Upper(response.code[0].text));
    std::string label = CommandName(command_);
    if (command_ == Command::Select) {
        label = std::string(readOnly ? "EXAMINE" : "SELECT") + " \"" + TextToUtf8(folder) + "\"";
    }
    Text answer = LineText(Answer(response));
    if (command_ == Command::Authenticate && sasl_ && !sasl_->Detail().empty()) {
        answer += u" [" + Utf8ToText(sasl_->Detail()) + u"]";
    }
    SetDone(outcome::kFailureCode, outcome::imap::Refused(Utf8ToText(label), answer));
    sasl_.reset();
    const bool committing = command_ == Command::StoreDeleted || command_ == Command::Expunge ||
                            command_ == Command::StoreSeen;
    if (deleteOnError && !committing && abortMode_ != AbortMode::kDrop) {
        CommitChanges();  // ends in LOGOUT: Done is set
        return;
    }
    deleting_.clear();
    seeing_.clear();
    Logout();
}

// --- output ---

std::string imapZef::Impl::NextTag() {
    return "Z" + std::to_string(++tagCount_);
}

imap::CommandText imapZef::Impl::Tagged(const char* name) {
    tag_ = NextTag();
    return imap::CommandText(tag_ + " " + name);
}

void imapZef::Impl::Send(Command command, const imap::CommandText& text) {
    command_ = command;
    capabilitiesFresh_ = false;
    RaiseTrace(">>" + text.Traced());
    std::vector<std::string> pieces = text.Pieces();
    unsentPieces_.assign(std::make_move_iterator(pieces.begin() + 1),
                         std::make_move_iterator(pieces.end()));
    SendBytes(std::move(pieces.front()));
}

imap::StringRules imapZef::Impl::Strings() const {
    const std::string offered = TextToUtf8(capabilities_);
    return {utf8Accepted_, imap::HasCapability(offered, "LITERAL+"),
            imap::HasCapability(offered, "LITERAL-")};
}

std::string imapZef::Impl::WireFolderName(const Text& name) const {
    std::string utf8 = TextToUtf8(name);
    std::string wire;
    if (utf8Accepted_ || imap::EncodeModifiedUtf7(utf8, wire) != imap::Utf7Fault::None) {
        return utf8;
    }
    return wire;
}

// A name that is not valid modified UTF-7 is handed on as sent, so that no folder is hidden.
Text imapZef::Impl::FolderNameText(const std::string& wire) const {
    std::string utf8;
    if (utf8Accepted_ || imap::DecodeModifiedUtf7(wire, utf8) != imap::Utf7Fault::None) {
        return Utf8ToText(wire);
    }
    return Utf8ToText(utf8);
}

std::string imapZef::Impl::CurrentUidText() const {
    return uidValidity_ + "." + std::to_string(walk_[walkAt_].uid);
}

}  // namespace zef
