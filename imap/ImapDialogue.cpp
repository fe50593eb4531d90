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
using pop::Raise;

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

template <class Body>
void imapZef::Impl::Guarded(Body&& body) {
    try {
        body();
    } catch (const Error& e) {
        FailTransfer(outcome::FailureCodeFor(e.number()), e.description());
    } catch (const std::exception& e) {
        const Text what = Utf8ToText(e.what());
        FailTransfer(outcome::imap::kUnknownError.code,
                     what.empty() ? Text(outcome::imap::kUnknownError.message) : what);
    } catch (...) {
        FailTransfer(outcome::imap::kUnknownError.code, outcome::imap::kUnknownError.message);
    }
}

// Closed without LOGOUT: nothing of this session is committed after this point, and the
// deletions were not sent (they go out only after the walk).
void imapZef::Impl::FailTransfer(long code, const Text& message) {
    if (receivePhase_ == ReceivePhase::kIdle || closing_) {
        return;
    }
    doneCode_ = code;
    doneMessage_ = message;
    closing_ = true;
    receivePhase_ = ReceivePhase::kQuitting;
    literalLines_.Clear();
    pendingOutput_.clear();
    try {
        StopTimer();
        components_.wire->Close();
    } catch (...) {  // Closed still follows from the socket
    }
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

void imapZef::Impl::OnConnected() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;
    }
    Guarded([this] { ArmTimer(GuardPhase::kTransfer); });
}

void imapZef::Impl::OnDataArrival(const Bytes& data) {
    if (receivePhase_ == ReceivePhase::kIdle || closing_) {
        return;
    }
    Guarded([this, &data] {
        if (!idling_) {  // in IDLE the clock counts to the next IDLE, whatever the server says
            ArmTimer(GuardPhase::kTransfer);
        }
        SetCaption(outcome::kProcessingCaption);
        const imap::Fault fault = reader_.Feed(data);
        if (closing_) {
            return;
        }
        if (fault != imap::Fault::None) {
            FailTransfer(outcome::kFailureCode,
                         outcome::imap::UnreadableResponse(imap::FaultName(fault)));
        } else if (tlsPending_ && !reader_.AtResponseBoundary()) {
            FailTransfer(outcome::imap::kUnexpectedDataAfterStartTls.code,
                         outcome::imap::kUnexpectedDataAfterStartTls.message);
        }
    });
}

void imapZef::Impl::OnSendComplete() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;
    }
    Guarded([this] {
        if (!idling_) {
            ArmTimer(GuardPhase::kTransfer);
        }
        Bytes kept;
        kept.swap(pendingOutput_);
        if (!kept.empty()) {
            try {
                components_.wire->SendData(kept);
            } catch (const std::exception&) {  // the socket reports its own failure
            }
        }
    });
}

void imapZef::Impl::OnClosed() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;
    }
    try {
        StopTimer();
    } catch (...) {
    }
    Text caption;
    if (doneCode_ != outcome::kSuccessCode) {
        caption = outcome::kFailCaption;
    } else if (receivePhase_ != ReceivePhase::kQuitting) {
        caption = outcome::kUnexpectedDisconnectCaption;
        doneCode_ = outcome::kUnexpectedDisconnect.code;
        doneMessage_ = outcome::kUnexpectedDisconnect.message;
    } else {
        caption = outcome::kCompleteCaption;
    }
    try {
        SetCaption(caption);
    } catch (...) {
    }
    receivePhase_ = ReceivePhase::kIdle;
    idling_ = false;
    const long code = doneCode_;
    const Text message = doneMessage_;
    try {
        Raise(owner_.Done, code, message);
    } catch (...) {
    }
}

void imapZef::Impl::OnSocketError(long number, const std::string& description) {
    if (receivePhase_ == ReceivePhase::kIdle || closing_) {
        return;
    }
    doneCode_ = number;
    doneMessage_ = Utf8ToText(description);
}

void imapZef::Impl::OnSocketTrace(const std::string& text) {
    if (tcpTraceOn) {
        Guarded([this, &text] { RaiseTrace(text); });
    }
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

void imapZef::Impl::OnTick() {
    if (receivePhase_ == ReceivePhase::kIdle) {
        return;
    }
    Guarded([this] {
        if (guardCountdown_ >= 1) {
            --guardCountdown_;
            return;
        }
        if (guardCountdown_ != 0) {
            return;
        }
        guardCountdown_ = -1;
        StopTimer();
        if (guardPhase_ == GuardPhase::kIdle) {
            EndIdle();  // IDLE again before the server's time-out
            return;
        }
        SetDone(guardPhase_ == GuardPhase::kConnect ? outcome::kConnectTimeout.code
                                                    : outcome::kTransTimeout.code,
                guardPhase_ == GuardPhase::kConnect ? outcome::kConnectTimeout.message
                                                    : outcome::kTransTimeout.message);
        components_.wire->Close();
    });
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
                FailTransfer(outcome::kFailureCode, u"LINE TOO LONG");
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
                found_.push_back(static_cast<uint32_t>(values[i].number));
            }
        }
    } else if (imap::IsAtom(first, "ESEARCH") && command_ == Command::Search) {
        for (size_t i = 1; i + 1 < values.size(); ++i) {
            if (imap::IsAtom(values[i], "ALL") &&
                !imap::ReadUidSet(values[i + 1].text, found_, SIZE_MAX / 2)) {
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
    response.status == Response::Status::Ok ? OnCompleted(response) : Refused(response);
}

// One row per command: where its success leads.
void imapZef::Impl::OnCompleted(const Response& /*response*/) {
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
                SetDone(outcome::imap::kServerNotProven.code,
                        outcome::imap::kServerNotProven.message);
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

// --- logging in ---

void imapZef::Impl::AfterCapabilities() {
    if (security == 2 && !tlsDone_) {
        if (loggedIn_) {  // PREAUTH: STARTTLS is no longer possible
            FailTransfer(outcome::kFailureCode, u"PREAUTH: STARTTLS NOT POSSIBLE");
            return;
        }
        Send(Command::StartTls, Tagged("STARTTLS"));
        return;
    }
    Login();
}

void imapZef::Impl::Login() {
    if (loggedIn_) {
        AfterLogin();
        return;
    }
    if (const std::optional<sasl::Mechanism> mechanism = ChosenMechanism()) {
        StartSasl(*mechanism);
    } else if (imap::HasCapability(TextToUtf8(capabilities_), "LOGINDISABLED")) {
        FailTransfer(outcome::imap::kLoginDisabled.code, outcome::imap::kLoginDisabled.message);
    } else {
        Send(Command::Login, Tagged("LOGIN")
                                 .String(TextToUtf8(userName_), Strings())
                                 .String(TextToUtf8(password_), Strings(), true));
    }
}

// SaslMechanism as set; else with AutoAuth the strongest that AUTH= offers for the token or
// password the control has; else LOGIN.
std::optional<sasl::Mechanism> imapZef::Impl::ChosenMechanism() const {
    if (!saslMechanism.empty()) {
        return sasl::MechanismNamed(TextToUtf8(saslMechanism));
    }
    if (!autoAuth) {
        return std::nullopt;
    }
    const std::vector<std::string> offered = imap::SaslMechanisms(TextToUtf8(capabilities_));
    std::vector<sasl::Mechanism> wanted;
    if (!oauthToken.empty() || static_cast<bool>(owner_.TokenNeeded)) {
        wanted = {sasl::Mechanism::kOAuthBearer, sasl::Mechanism::kXOAuth2};
    }
    if (!password_.empty()) {
        wanted.push_back(sasl::Mechanism::kScramSha256);
        wanted.push_back(sasl::Mechanism::kPlain);
    }
    for (const sasl::Mechanism mechanism : wanted) {
        if (std::find(offered.begin(), offered.end(), sasl::MechanismName(mechanism)) !=
            offered.end()) {
            return mechanism;
        }
    }
    return std::nullopt;
}

void imapZef::Impl::StartSasl(sasl::Mechanism mechanism) {
    Text secret = password_;
    if (sasl::UsesToken(mechanism)) {
        secret = oauthToken;
        Raise(owner_.TokenNeeded, secret);
        if (secret.empty()) {
            SetDone(outcome::kNoOAuthToken.code, outcome::kNoOAuthToken.message);
            Logout();
            return;
        }
    }
    unsigned portNumber = 0;
    for (const char16_t c : port) {
        portNumber = (c >= u'0' && c <= u'9' && portNumber < 65536) ? portNumber * 10 + (c - u'0')
                                                                    : portNumber;
    }
    const bool initialResponse = imap::HasCapability(TextToUtf8(capabilities_), "SASL-IR");
    sasl_.emplace(mechanism,
                  sasl::Credentials{TextToUtf8(userName_), TextToUtf8(secret),
                                    TextToUtf8(serverName_), portNumber},
                  *components_.codec, xoauth2OneStep && initialResponse,
                  initialResponse ? SIZE_MAX : 0);
    const std::string argument = sasl_->AuthArgument();
    const size_t space = argument.find(' ');
    imap::CommandText text = Tagged("AUTHENTICATE");
    text.Raw(argument.substr(0, space));
    if (space != std::string::npos) {
        text.Raw(argument.substr(space + 1), true);
    }
    Send(Command::Authenticate, text);
}

// ENABLE once, for what the server offers and the control can use: UTF-8 folder names, and
// IMAP4rev2's answers.
void imapZef::Impl::AfterLogin() {
    const std::string offered = TextToUtf8(capabilities_);
    std::string wanted;
    for (const char* extension : {"UTF8=ACCEPT", "IMAP4rev2"}) {
        if (imap::HasCapability(offered, extension)) {
            wanted += wanted.empty() ? extension : std::string(" ") + extension;
        }
    }
    if (!enabled_ && !wanted.empty() && imap::HasCapability(offered, "ENABLE")) {
        enabled_ = true;
        Send(Command::Enable, Tagged("ENABLE").Raw(wanted));
        return;
    }
    AfterEnable();
}

void imapZef::Impl::AfterEnable() {
    if (listFolders) {
        Send(Command::List, Tagged("LIST").Raw("\"\" \"*\""));
        return;
    }
    SelectFolder();
}

// --- the folder and the walk ---

void imapZef::Impl::SelectFolder() {
    if (folder.empty()) {
        Logout();
        return;
    }
    Send(Command::Select,
         Tagged(readOnly ? "EXAMINE" : "SELECT").String(WireFolderName(folder), Strings()));
}

// The first round asks for what Search names; each round after IDLE only for what came since.
void imapZef::Impl::SearchNew() {
    found_.clear();
    if (highestUid_ == 0 && exists_ == 0) {
        AfterSearch();
        return;
    }
    const std::string criteria = TextToUtf8(search);
    Send(Command::Search,
         Tagged("UID SEARCH")
             .Raw(highestUid_ == 0 ? criteria
                                   : "UID " + std::to_string(highestUid_ + 1) + ":* " + criteria));
}

// "n:*" always holds the highest UID, even one below n: only what is above the walk counts.
void imapZef::Impl::AfterSearch() {
    std::sort(found_.begin(), found_.end());
    found_.erase(std::unique(found_.begin(), found_.end()), found_.end());
    found_.erase(std::remove_if(found_.begin(), found_.end(),
                                [this](uint32_t uid) { return uid <= highestUid_; }),
                 found_.end());
    walk_.clear();
    walkAt_ = 0;
    for (const uint32_t uid : found_) {
        walk_.push_back(Message{uid, -1});
    }
    if (walk_.empty()) {
        if (highestUid_ == 0) {
            Raise(owner_.Stat, 0L, 0L);
        }
        CommitChanges();
        return;
    }
    Send(Command::Sizes, Tagged("UID FETCH").Raw(imap::UidSet(found_) + " (RFC822.SIZE)"));
}

// A message without a size was expunged since the search: it is not walked.
void imapZef::Impl::AfterSizes() {
    walk_.erase(std::remove_if(walk_.begin(), walk_.end(),
                               [](const Message& message) { return message.size < 0; }),
                walk_.end());
    long long total = 0;
    for (const Message& message : walk_) {
        total += message.size;
    }
    Raise(owner_.Stat, static_cast<long>(walk_.size()),
          static_cast<long>(std::min<long long>(total, LONG_MAX)));
    WalkNext();
}

// The messages in UID order, as far as the application's choices need no round trip; Abend
// takes effect here, at the next message.
void imapZef::Impl::WalkNext() {
    for (; walkAt_ < walk_.size(); ++walkAt_) {
        if (abortMode_ != AbortMode::kNone) {
            break;
        }
        const long id = static_cast<long>(walkAt_) + 1;
        highestUid_ = std::max(highestUid_, walk_[walkAt_].uid);
        bool cancelUidl = false;
        Raise(owner_.UidlFirst, id, cancelUidl);
        bool remove = false;
        if (!cancelUidl) {
            Raise(owner_.UidlDone, id, AsciiToText(CurrentUidText()), remove);
        }
        if (remove) {
            deleting_.push_back(walk_[walkAt_].uid);
            DropAhead();
            continue;
        }
        bool cancelTop = false;
        Raise(owner_.TopFirst, id, cancelTop);
        if (!cancelTop) {
            DropAhead();
            Send(Command::Header,
                 Tagged("UID FETCH")
                     .Raw(std::to_string(walk_[walkAt_].uid) + " (UID BODY.PEEK[HEADER])"));
            return;
        }
        if (Retrieve()) {
            return;
        }
        DropAhead();
    }
    DropAhead();
    if (!walk_.empty()) {
        highestUid_ = std::max(highestUid_, walk_.back().uid);
    }
    if (abortMode_ == AbortMode::kDrop) {
        deleting_.clear();
        seeing_.clear();
    }
    CommitChanges();
}

// False when the application cancels the retrieval.
bool imapZef::Impl::Retrieve() {
    bool cancelRetr = false;
    const Message& message = walk_[walkAt_];
    parser_.BeginMessage(static_cast<long>(walkAt_) + 1, message.size, cancelRetr);
    if (cancelRetr) {
        return false;
    }
    literalSeen_ = false;
    if (!ahead_.empty() && ahead_.front().uid == message.uid) {
        command_ = Command::Body;  // it went ahead: its response is the one awaited now
        tag_ = std::move(ahead_.front().tag);
        ahead_.pop_front();
    } else {
        DropAhead();
        Send(Command::Body,
             Tagged("UID FETCH").Raw(std::to_string(message.uid) + " (UID BODY.PEEK[])"));
    }
    SendBodiesAhead();
    return true;
}

// The next messages most likely go the way this one went: straight to their retrieval. A few
// fetches stay ahead, so that the server always has the next message at hand.
void imapZef::Impl::SendBodiesAhead() {
    constexpr size_t kAheadDepth = 4;
    if (!pipelining || abortMode_ != AbortMode::kNone) {
        return;
    }
    for (size_t next = walkAt_ + 1 + ahead_.size();
         ahead_.size() < kAheadDepth && next < walk_.size(); ++next) {
        ahead_.push_back(Ahead{NextTag(), walk_[next].uid});
        imap::CommandText text(ahead_.back().tag + " UID FETCH");
        text.Raw(std::to_string(ahead_.back().uid) + " (UID BODY.PEEK[])");
        RaiseTrace(">>" + text.Traced());
        SendBytes(text.Pieces().front());
    }
}

// The dialogue took another way than the commands sent ahead: their responses are read and
// dropped.
void imapZef::Impl::DropAhead() {
    for (Ahead& ahead : ahead_) {
        droppedTags_.push_back(std::move(ahead.tag));
        droppedUids_.push_back(ahead.uid);
    }
    ahead_.clear();
}

// A body of a command sent ahead in vain: of a UID dropped, or, without a UID before it, while
// a dropped command is still unanswered (its data comes before that of commands sent later).
bool imapZef::Impl::IsDroppedBody(const Value& items) const {
    if (droppedTags_.empty() || items.items.size() < 2 ||
        !imap::IsAtom(items.items[items.items.size() - 2], "BODY[]")) {
        return false;
    }
    const Value* uid = imap::FetchItem(items, "UID");
    return uid == nullptr ||
           std::find(droppedUids_.begin(), droppedUids_.end(), uid->number) != droppedUids_.end();
}

void imapZef::Impl::AfterBody() {
    if (!literalSeen_) {
        SetDone(outcome::kFailureCode,
                outcome::imap::MessageNotReturned(std::to_string(walk_[walkAt_].uid)));
        deleting_.clear();
        seeing_.clear();
        Logout();
        return;
    }
    bool cancelDelete = false;
    parser_.EndMessage(static_cast<long>(walkAt_) + 1, cancelDelete);
    if (!cancelDelete) {
        deleting_.push_back(walk_[walkAt_].uid);
    } else if (markSeen) {
        seeing_.push_back(walk_[walkAt_].uid);
    }
    ++walkAt_;
    WalkNext();
}

// --- committing, IDLE and the end ---

void imapZef::Impl::CommitChanges() {
    DropAhead();
    if (readOnly) {
        deleting_.clear();
        seeing_.clear();
    }
    std::sort(deleting_.begin(), deleting_.end());
    std::sort(seeing_.begin(), seeing_.end());
    if (!deleting_.empty()) {
        Send(Command::StoreDeleted,
             Tagged("UID STORE").Raw(imap::UidSet(deleting_) + " +FLAGS.SILENT (\\Deleted)"));
        return;
    }
    AfterDeletions();
}

void imapZef::Impl::AfterDeletions() {
    deleting_.clear();
    if (!seeing_.empty()) {
        Send(Command::StoreSeen,
             Tagged("UID STORE").Raw(imap::UidSet(seeing_) + " +FLAGS.SILENT (\\Seen)"));
        return;
    }
    AfterCommit();
}

void imapZef::Impl::AfterCommit() {
    const bool canIdle = imap::HasCapability(TextToUtf8(capabilities_), "IDLE");
    if (idle && !canIdle) {
        RaiseTrace("no IDLE offered: the session ends");
    }
    if (idle && canIdle && abortMode_ == AbortMode::kNone && doneCode_ == outcome::kSuccessCode) {
        StartIdle();
        return;
    }
    Logout();
}

void imapZef::Impl::StartIdle() {
    newMail_ = false;
    Send(Command::Idle, Tagged("IDLE"));
}

void imapZef::Impl::EndIdle() {
    if (!idling_) {
        return;
    }
    idling_ = false;
    ArmTimer(GuardPhase::kTransfer);
    RaiseTrace(">>DONE");
    SendBytes("DONE\r\n");
}

void imapZef::Impl::Logout() {
    DropAhead();
    receivePhase_ = ReceivePhase::kQuitting;
    Send(Command::Logout, Tagged("LOGOUT"));
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

void imapZef::Impl::SendBytes(Bytes bytes) {
    Wire& wire = *components_.wire;
    if (!wire.CanSend()) {
        pendingOutput_ += bytes;
        return;
    }
    if (!pendingOutput_.empty()) {
        bytes.insert(0, pendingOutput_);
        pendingOutput_.clear();
    }
    wire.SendData(bytes);
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
