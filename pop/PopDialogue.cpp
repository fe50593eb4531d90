// The POP3 dialogue of popZef: the socket and timer events, and the state table that answers
// each reply line.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/Unicode.h"
#include "components/CodePage.h"
#include "pop/HeaderValue.h"
#include "pop/Outcomes.h"
#include "pop/PopControl.h"
#include "pop/ReplyFields.h"

namespace zef {

namespace {

// A reply is good when it begins with "+OK", exactly; everything else is a refusal.
bool IsGood(const Text& line) {
    return line.compare(0, 3, u"+OK") == 0;
}

// What every reply to a command begins with.
bool IsStatus(const Text& line) {
    return IsGood(line) || line.starts_with(u"-ERR");
}

// A retrieved message far shorter than its listed size: with the replies out of step, a TOP
// response can stand in for it. Some servers list estimated sizes, hence the wide margin.
bool FarBelowListedSize(long long received, long listed) {
    constexpr long long kSlack = 32LL * 1024;
    return received * 4 < listed && listed - received > kSlack;
}

Text Decimal(long number) {
    return AsciiToText(std::to_string(number));
}

}  // namespace

Text popZef::Impl::CommandName(State command) {
    switch (command) {
        case State::Init:
            return u"INIT";
        case State::Capa:
            return u"CAPA";
        case State::CapaNext:
            return u"CAPA_NEXT";
        case State::Stls:
            return u"STLS";
        case State::User:
            return u"USER";
        case State::Pass:
            return u"PASS";
        case State::Apop:
            return u"APOP";
        case State::Auth:
            return u"AUTH";
        case State::Stat:
            return u"STAT";
        case State::List:
            return u"LIST";
        case State::Uidl:
            return u"UIDL";
        case State::Top:
            return u"TOP";
        case State::TopNext:
            return u"TOP_NEXT";
        case State::Retr:
            return u"RETR";
        case State::RetrNext:
            return u"RETR_NEXT";
        case State::Dele:
            return u"DELE";
        case State::Rset:
            return u"RSET";
        case State::Quit:
            return u"QUIT";
        case State::Closing:
            return u"CLOSING";
    }
    return {};
}

// --- ending a transfer from the control's side ---

// Closing without QUIT: the server commits no deletion of this session.
void popZef::Impl::StartClosing() {
    state_ = State::Closing;
    lines_.Clear();
}

// --- socket and timer events ---

void popZef::Impl::OnDataArrival(const Bytes& data) {
    if (receivePhase_ == ReceivePhase::kIdle || state_ == State::Closing) {
        return;
    }
    Guarded([this, &data] {
        ArmTimer(GuardPhase::kTransfer);
        SetCaption(outcome::kProcessingCaption);
        lines_.Append(data);
        TakeLines();
    });
}

// The handshake that STLS asked for has succeeded: the login goes out protected, after a new
// CAPA when capabilities are asked (those read in the clear may have been tampered with).
void popZef::Impl::OnTlsReady() {
    if (receivePhase_ != ReceivePhase::kRunning || state_ != State::Stls) {
        return;
    }
    Guarded([this] {
        ArmTimer(GuardPhase::kTransfer);
        tlsDone_ = true;
        if (WantsCapabilities()) {
            capabilities_.clear();
            SendCommand(State::Capa, {});
        } else {
            Login();
        }
    });
}

void popZef::Impl::OnGuardExpired(GuardPhase phase) {
    if (phase == GuardPhase::kConnect) {
        SetDone(outcome::kConnectTimeout);
    } else if (phase == GuardPhase::kTransfer) {
        SetDone(outcome::kTransTimeout);
    }
    components_.wire->Close();
}

// --- lines ---

void popZef::Impl::TakeLines() {
    std::string_view line;
    for (;;) {
        switch (lines_.NextLine(line)) {
            case pop::LineAssembler::Result::Line:
                HandleLine(line);
                if (state_ == State::Closing) {
                    return;
                }
                break;
            case pop::LineAssembler::Result::NeedMore:
                return;
            case pop::LineAssembler::Result::TooLong:
                FailTransfer(outcome::kLineTooLong.code, outcome::kLineTooLong.message);
                return;
        }
    }
}

void popZef::Impl::HandleLine(std::string_view line) {
    switch (pipeline_.Take(line)) {
        case pop::Pipeline::Reader::kNobody:
            return;  // a reply to a command that went ahead in vain
        case pop::Pipeline::Reader::kDeferred:
            OnDeferredDeleReply(line);
            return;
        case pop::Pipeline::Reader::kDialogue:
            break;
    }
    // Lines of a multi-line response are not traced; a RETR line is never converted here,
    // the parser takes its bytes.
    switch (state_) {
        case State::TopNext:
            HandleTopLine(line);
            return;
        case State::RetrNext:
            HandleRetrLine(line);
            return;
        case State::CapaNext:
            HandleCapaLine(line);
            return;
        default:
            break;
    }
    currentLine_ = LineText(line);
    if (!currentLine_.empty()) {
        HandleStatusLine();
    }
}

void popZef::Impl::HandleTopLine(std::string_view line) {
    if (line == ".") {
        Retrieve();
        return;
    }
    Raise(owner_.TopNext, messageId_, LineText(line));  // a leading dot stays
}

void popZef::Impl::HandleRetrLine(std::string_view line) {
    if (line == "." && desyncGuard && FarBelowListedSize(retrBytes_, messageSize_)) {
        OutOfStep();
        return;
    }
    retrBytes_ += static_cast<long long>(line.size()) + 2;
    if (line == ".") {
        bool cancelDelete = false;
        parser_.EndMessage(messageId_, cancelDelete);
        cancelDelete ? NextMessage() : SendCommand(State::Dele, Decimal(messageId_));
        return;
    }
    if (!line.empty() && line.front() == '.') {
        line.remove_prefix(1);
    }
    if (owner_.RetrLine) {
        retrLine_.assign(line);  // reuses its capacity: no allocation per line
        owner_.RetrLine(messageId_, retrLine_);
    }
    parser_.ParseMessageLine(messageId_, line);
}

void popZef::Impl::HandleCapaLine(std::string_view line) {
    if (line == ".") {
        capabilities_ = std::move(capaLines_);
        capaLines_.clear();
        Raise(owner_.CapabilitiesReceived);
        AfterCapabilities();
        return;
    }
    if (!line.empty() && line.front() == '.') {
        line.remove_prefix(1);
    }
    if (!line.empty()) {
        capaLines_ += (capaLines_.empty() ? u"" : u"\r\n") + LineText(line);
    }
}

// The state table: one row per state, the good reply first, then the refusal.
void popZef::Impl::HandleStatusLine() {
    if (state_ == State::Closing) {
        return;
    }
    RaiseTrace(currentLine_);
    if (desyncGuard && !FitsCommand()) {
        OutOfStep();
        return;
    }
    const bool good = IsGood(currentLine_);
    switch (state_) {
        case State::Init:
            good ? OnGreeting() : Fatal();
            break;
        case State::Capa:
            // A server without CAPA gets the login as before.
            if (good) {
                capaLines_.clear();
                state_ = State::CapaNext;
            } else {
                AfterCapabilities();
            }
            break;
        case State::Stls:
            good ? OnStlsGoAhead() : Fatal();
            break;
        case State::User:
            good ? SendCommand(State::Pass, password_) : Fatal();
            break;
        case State::Pass:
        case State::Apop:
            good ? SendCommand(State::Stat, {}) : Fatal();
            break;
        case State::Auth:
            OnAuthReply(good);
            break;
        case State::Stat:
            good ? OnStatReply() : ErrorReset();
            break;
        case State::List:
            good ? OnListReply() : ErrorReset();
            break;
        case State::Uidl:
            currentUidl_ = good ? pop::ReadUidlReply(currentLine_) : Text();
            WalkAfterUidl();
            break;
        case State::Top:
            good ? void(state_ = State::TopNext) : OnTopRefused();
            break;
        case State::Retr:
            retrBytes_ = 0;
            good ? void(state_ = State::RetrNext) : ErrorReset();
            break;
        case State::Dele:
            good ? NextMessage() : ErrorReset();
            break;
        case State::Rset:
            Quit();
            break;
        case State::Quit:
            components_.wire->Shutdown(1);
            break;
        case State::TopNext:
        case State::RetrNext:
        case State::CapaNext:
        case State::Closing:
            break;
    }
}

// Whether the reply line can answer the command it follows (DesyncGuard): a status where one
// is due, and the number of the message asked for in a good LIST or UIDL reply.
bool popZef::Impl::FitsCommand() const {
    switch (state_) {
        case State::Init:
        case State::Quit:
        case State::TopNext:
        case State::RetrNext:
        case State::CapaNext:
        case State::Closing:
            return true;
        case State::Auth:
            return currentLine_.starts_with(u"+") || currentLine_.starts_with(u"-ERR");
        case State::List:
        case State::Uidl:
            return !IsGood(currentLine_) ? IsStatus(currentLine_)
                                         : pop::ReadMessageNumber(currentLine_) == messageId_;
        default:
            return IsStatus(currentLine_);
    }
}

// Every later reply would be read against the wrong command: the connection is closed without
// QUIT, so that no deletion of this session is committed.
void popZef::Impl::OutOfStep() {
    FailTransfer(outcome::pop::kRepliesOutOfStep.code, outcome::pop::kRepliesOutOfStep.message);
}

// --- the steps the table names ---

// With STLS required, nothing but STLS goes out before the handshake; the greeting is kept for
// the APOP time stamp.
void popZef::Impl::OnGreeting() {
    greeting_ = currentLine_;
    WantsCapabilities() ? SendCommand(State::Capa, {}) : AfterCapabilities();
}

// CAPA changes the bytes of the dialogue, so only an application that asks for it gets it.
bool popZef::Impl::WantsCapabilities() const {
    return askCapabilities || pipelining || autoAuth || !saslMechanism.empty();
}

void popZef::Impl::AfterCapabilities() {
    security == 2 && !tlsDone_ ? SendCommand(State::Stls, {}) : Login();
}

// Bytes after the go-ahead in the clear cannot be the server's: they were put there by someone
// on the way, and read as replies they would steer the dialogue. The transfer ends without
// reading them.
void popZef::Impl::OnStlsGoAhead() {
    if (lines_.Pending() > 0) {
        FailTransfer(outcome::pop::kUnexpectedDataAfterStls.code,
                     outcome::pop::kUnexpectedDataAfterStls.message);
        return;
    }
    components_.wire->StartTls();
}

void popZef::Impl::Login() {
    if (const std::optional<sasl::Mechanism> mechanism = ChosenMechanism()) {
        StartSasl(*mechanism);
    } else if (apop) {
        SendCommand(State::Apop, userName_ + u" " + ApopDigest(greeting_));
    } else {
        SendCommand(State::User, userName_);
    }
}

// SaslMechanism as set; else with AutoAuth the strongest that CAPA offers for the token or
// password the control has; else none (APOP or USER/PASS).
std::optional<sasl::Mechanism> popZef::Impl::ChosenMechanism() const {
    if (!saslMechanism.empty()) {
        return sasl::MechanismNamed(TextToUtf8(saslMechanism));
    }
    if (!autoAuth) {
        return std::nullopt;
    }
    const std::vector<Text> offered = pop::ReadSaslMechanisms(capabilities_);
    const bool hasToken = !oauthToken.empty() || static_cast<bool>(owner_.TokenNeeded);
    std::vector<sasl::Mechanism> wanted;
    if (hasToken) {
        wanted = {sasl::Mechanism::kOAuthBearer, sasl::Mechanism::kXOAuth2};
    }
    if (!password_.empty()) {
        wanted.push_back(sasl::Mechanism::kScramSha256);
        if (!apop) {
            wanted.push_back(sasl::Mechanism::kPlain);
        }
    }
    for (const sasl::Mechanism mechanism : wanted) {
        const Text name = Utf8ToText(sasl::MechanismName(mechanism));
        if (std::find(offered.begin(), offered.end(), name) != offered.end()) {
            return mechanism;
        }
    }
    return std::nullopt;
}

void popZef::Impl::StartSasl(sasl::Mechanism mechanism) {
    Text secret = password_;
    if (sasl::UsesToken(mechanism)) {
        secret = oauthToken;
        Raise(owner_.TokenNeeded, secret);
        if (secret.empty()) {
            SetDone(outcome::kNoOAuthToken);
            Quit();
            return;
        }
    }
    unsigned portNumber = 0;
    for (const char16_t c : port) {
        portNumber = (c >= u'0' && c <= u'9' && portNumber < 65536) ? portNumber * 10 + (c - u'0')
                                                                    : portNumber;
    }
    sasl_.emplace(mechanism,
                  sasl::Credentials{TextToUtf8(userName_), TextToUtf8(secret),
                                    TextToUtf8(serverName_), portNumber},
                  *components_.codec, xoauth2OneStep);
    SendCommand(State::Auth, AsciiToText(sasl_->AuthArgument()));
}

// A continuation ("+ ...") is answered; "+OK" logs in (SCRAM only once the server proved
// itself); a refusal ends the transfer with what the client learnt about it.
void popZef::Impl::OnAuthReply(bool good) {
    if (good && sasl_->AcceptsSuccess()) {
        sasl_.reset();
        SendCommand(State::Stat, {});
    } else if (good) {
        SetDone(outcome::kServerNotProven);
        sasl_.reset();
        Quit();
    } else if (currentLine_.starts_with(u"+")) {
        const Text challenge = pop::TrimSpaces(std::u16string_view(currentLine_).substr(1));
        const std::string answer = sasl_->Answer(TextToUtf8(challenge));
        RaiseTrace(u">>***");
        SendLine(AsciiToText(answer));
    } else {
        const std::string detail = sasl_->Detail();
        sasl_.reset();
        Fatal(Utf8ToText(detail));
    }
}

Text popZef::Impl::ApopDigest(const Text& greeting) {
    const Text timestamp = pop::ApopTimestamp(greeting);
    if (timestamp.empty()) {
        return {};
    }
    Hash& hash = *components_.hash;
    hash.HashInit();
    hash.HashUpdate(TextToAnsi(timestamp + password_));
    return AsciiToText(hash.HashFinalHex());
}

void popZef::Impl::OnStatReply() {
    const std::optional<pop::StatReply> stat = pop::ReadStatReply(currentLine_);
    if (!stat) {
        ErrorReset();  // a good reply without its numbers cannot be walked
        return;
    }
    messageCount_ = stat->count;
    mailboxSize_ = stat->size;
    Raise(owner_.Stat, messageCount_, mailboxSize_);
    if (messageCount_ > 0) {
        messageId_ = 1;
        SendCommand(State::List, u"1");
    } else {
        Quit();
    }
}

void popZef::Impl::OnListReply() {
    if (abortMode_ == AbortMode::kQuitAtNext) {
        Quit();
        return;
    }
    if (abortMode_ == AbortMode::kResetAtNext) {
        SendCommand(State::Rset, {});
        return;
    }
    const std::optional<long> size = pop::ReadListReply(currentLine_);
    if (!size) {
        ErrorReset();
        return;
    }
    messageSize_ = *size;
    WalkAfterList();
}

void popZef::Impl::WalkAfterList() {
    bool cancelUidl = false;
    bool cancelTop = false;
    bool cancelRetr = false;
    Raise(owner_.UidlFirst, messageId_, cancelUidl);
    if (cancelUidl) {
        Raise(owner_.TopFirst, messageId_, cancelTop);
        if (cancelTop) {
            parser_.BeginMessage(messageId_, messageSize_, cancelRetr);
        }
    }
    if (!cancelUidl) {
        SendCommand(State::Uidl, Decimal(messageId_));
    } else if (!cancelTop) {
        SendCommand(State::Top, Decimal(messageId_) + u" " + Decimal(topLines_));
    } else if (!cancelRetr) {
        SendCommand(State::Retr, Decimal(messageId_));
    } else {
        NextMessage();
    }
}

void popZef::Impl::WalkAfterUidl() {
    bool deleteNow = false;
    Raise(owner_.UidlDone, messageId_, currentUidl_, deleteNow);
    if (deleteNow) {
        SendCommand(State::Dele, Decimal(messageId_));
        return;
    }
    bool cancelTop = false;
    Raise(owner_.TopFirst, messageId_, cancelTop);
    if (!cancelTop) {
        SendCommand(State::Top, Decimal(messageId_) + u" " + Decimal(topLines_));
        return;
    }
    Retrieve();
}

void popZef::Impl::OnTopRefused() {
    bool deleteNow = false;
    Raise(owner_.TopDone, messageId_, deleteNow);
    deleteNow ? SendCommand(State::Dele, Decimal(messageId_)) : Retrieve();
}

void popZef::Impl::Retrieve() {
    bool cancelRetr = false;
    parser_.BeginMessage(messageId_, messageSize_, cancelRetr);
    cancelRetr ? NextMessage() : SendCommand(State::Retr, Decimal(messageId_));
}

void popZef::Impl::NextMessage() {
    if (messageCount_ > messageId_) {
        ++messageId_;
        SendCommand(State::List, Decimal(messageId_));
    } else {
        Quit();
    }
}

// The reply to a DELE that went out behind commands sent ahead. A refusal ends the walk as a
// refused DELE always does, and nothing sent after it counts any more.
void popZef::Impl::OnDeferredDeleReply(std::string_view line) {
    if (state_ == State::Closing) {
        return;
    }
    currentLine_ = LineText(line);
    RaiseTrace(currentLine_);
    if (desyncGuard && !IsStatus(currentLine_)) {
        OutOfStep();
    } else if (!IsGood(currentLine_)) {
        pipeline_.DropAll();
        ErrorReset();
    }
}

void popZef::Impl::Fatal(const Text& detail) {
    doneCode_ = outcome::kFailureCode;
    doneMessage_ = outcome::pop::RefusedReply(currentLine_, detail);
    responseCode_ = pop::ReadResponseCode(currentLine_);
    state_ = State::Quit;
    receivePhase_ = ReceivePhase::kQuitting;
    components_.wire->Shutdown(1);
}

void popZef::Impl::ErrorReset() {
    doneCode_ = outcome::kFailureCode;
    doneMessage_ = currentLine_;
    responseCode_ = pop::ReadResponseCode(currentLine_);
    SendCommand(State::Rset, {});
}

void popZef::Impl::Quit() {
    receivePhase_ = ReceivePhase::kQuitting;
    SendCommand(State::Quit, {});
}

// --- output ---

void popZef::Impl::SendCommand(State command, Text argument) {
    if (command == State::Rset && deleteOnError) {
        // Commit the deletions already marked instead of undoing them.
        receivePhase_ = ReceivePhase::kQuitting;
        command = State::Quit;
        argument.clear();
    }
    state_ = command;
    const Text name = CommandName(command);
    // Never a password nor a SASL response in the trace.
    Text traced = command == State::Pass ? Text(u"***") : argument;
    if (command == State::Auth && argument.find(u' ') != Text::npos) {
        traced = argument.substr(0, argument.find(u' ')) + u" ***";
    }
    RaiseTrace(u">>" + name + u" " + traced);
    const Text line = argument.empty() ? name : name + u" " + argument;
    if (command == State::Dele && pipeline_.HasAhead()) {
        // Behind the next message's commands: its reply comes after theirs, so the dialogue
        // goes on to that message at once and takes the reply when it arrives.
        pipeline_.SentDeferred(line);
        SendLine(line);
        NextMessage();
        return;
    }
    const bool multiLine =
        command == State::Retr || command == State::Top || command == State::Capa;
    if (!pipeline_.AlreadySent(line, multiLine)) {
        SendLine(line);
    }
    way_.uidl = command == State::Uidl || (command != State::List && way_.uidl);
    way_.top = command == State::Top || (command != State::List && way_.top);
    command == State::Retr ? SendNextMessageAhead() : void();
}

// The next message most likely goes the way this one went.
void popZef::Impl::SendNextMessageAhead() {
    if (!pipelining || messageId_ >= messageCount_ ||
        !pop::HasCapability(capabilities_, u"PIPELINING")) {
        return;
    }
    const Text next = Decimal(messageId_ + 1);
    SendAhead(CommandName(State::List) + u" " + next, false);
    way_.uidl ? SendAhead(CommandName(State::Uidl) + u" " + next, false) : void();
    way_.top ? SendAhead(CommandName(State::Top) + u" " + next + u" " + Decimal(topLines_), true)
             : void();
    SendAhead(CommandName(State::Retr) + u" " + next, true);
}

void popZef::Impl::SendAhead(const Text& command, bool multiLine) {
    pipeline_.SentAhead(command, multiLine);
    SendLine(command);
}

void popZef::Impl::SendLine(const Text& text) {
    SendBytes(TextToAnsi(text + u"\r\n"));
}

}  // namespace zef
