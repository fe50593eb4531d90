// imapZef's creation, properties, persistence, methods, timer and caption.
#include "imap/ImapControl.h"

#include <exception>
#include <string>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/CodePage.h"

namespace zef {

using pop::Raise;

namespace {

constexpr long long kDefaultMaxLineLength = 64LL * 1024 * 1024;
constexpr long kTickMilliseconds = 1000;

Components Checked(Components components) {
    if (!components.wire || !components.glyph || !components.codec || !components.hash ||
        !components.timer) {
        throw outcome::imap::kMissingComponent.AsError();
    }
    return components;
}

bool HasLineBreakOrNul(const Text& text) {
    return text.find_first_of(u"\r\n\0", 0, 3) != Text::npos;
}

// A response line may be as long as a message line; a SEARCH of a large folder is one line.
imap::ReaderLimits LimitsFor(long long maxLineLength) {
    imap::ReaderLimits limits;
    limits.maxLineLength = static_cast<size_t>(maxLineLength);
    limits.maxResponseSize = static_cast<size_t>(maxLineLength) + limits.maxCollectedLiteral;
    return limits;
}

}  // namespace

imapZef::Impl::Impl(imapZef& owner, Components components)
    : owner_(owner),
      components_(Checked(std::move(components))),
      applicationEvents_(owner),
      parser_(*components_.glyph, *components_.codec, applicationEvents_),
      reader_(*this, LimitsFor(kDefaultMaxLineLength)),
      literalLines_(static_cast<size_t>(kDefaultMaxLineLength)),
      maxLineLength_(kDefaultMaxLineLength),
      caption_(Banner()) {
    parser_.MaxFieldLength(static_cast<size_t>(kDefaultMaxLineLength));
    ApplyParserSettings();
    Wire& wire = *components_.wire;
    wire.Connected = [this] { OnConnected(); };
    wire.DataArrival = [this](Bytes& data) { OnDataArrival(data); };
    wire.SendComplete = [this] { OnSendComplete(); };
    wire.Closed = [this] { OnClosed(); };
    wire.SocketError = [this](long number, const std::string& description,
                              const std::string& /*source*/,
                              long /*extra*/) { OnSocketError(number, description); };
    wire.SocketTrace = [this](const std::string& text) { OnSocketTrace(text); };
    wire.TlsReady = [this] { OnTlsReady(); };
    Timer& timer = *components_.timer;
    timer.Enabled(false);
    timer.Interval(kTickMilliseconds);
    timer.Tick = [this] { OnTick(); };
}

imapZef::Impl::~Impl() {
    Wire& wire = *components_.wire;
    wire.Connected = nullptr;
    wire.DataArrival = nullptr;
    wire.SendComplete = nullptr;
    wire.Closed = nullptr;
    wire.SocketError = nullptr;
    wire.SocketTrace = nullptr;
    wire.TlsReady = nullptr;
    components_.timer->Tick = nullptr;
    components_.timer->Enabled(false);
}

const Text& imapZef::Impl::Banner() {
    static const Text banner = outcome::imap::kProductBanner;
    return banner;
}

void imapZef::Impl::MaxLineLength(long long bytes) {
    if (bytes < 1) {
        throw outcome::imap::kInvalidMaxLineLength.AsError();
    }
    if (receivePhase_ != ReceivePhase::kIdle) {
        throw outcome::kBusy.AsError();  // the reader's limits hold for a whole transfer
    }
    maxLineLength_ = bytes;
    literalLines_.MaxLineLength(static_cast<size_t>(bytes));
    parser_.MaxFieldLength(static_cast<size_t>(bytes));
    reader_.Limits(LimitsFor(bytes));
}

void imapZef::Impl::ApplyParserSettings() {
    parser_.NestedDelimiters(nestedDelimiters);
    parser_.ParseMessages(parseMessages);
}

void imapZef::Impl::Imap(const Text& server, const Text& user, const Text& password) {
    if (receivePhase_ != ReceivePhase::kIdle) {
        throw outcome::kBusy.AsError();
    }
    const outcome::DoneOutcome* invalid = HasLineBreakOrNul(user)       ? &outcome::kInvalidUser
                                          : HasLineBreakOrNul(password) ? &outcome::kInvalidPassword
                                                                        : nullptr;
    if (invalid != nullptr) {
        const Text message = invalid->message;
        SetCaption(message);
        Raise(owner_.Done, invalid->code, message);
        return;
    }
    receivePhase_ = ReceivePhase::kRunning;
    closing_ = false;
    command_ = Command::Greeting;
    tag_.clear();
    unsentPieces_.clear();
    tlsPending_ = tlsDone_ = loggedIn_ = enabled_ = utf8Accepted_ = false;
    userName_ = user;
    password_ = password;
    serverName_ = server;
    sasl_.reset();
    capabilities_.clear();
    responseCode_.clear();
    doneCode_ = outcome::kSuccessCode;
    doneMessage_.clear();
    uidValidity_.clear();
    exists_ = 0;
    walk_.clear();
    walkAt_ = 0;
    highestUid_ = 0;
    deleting_.clear();
    seeing_.clear();
    literalUse_ = LiteralUse::kNone;
    abortMode_ = AbortMode::kNone;
    ahead_.clear();
    droppedTags_.clear();
    droppedUids_.clear();
    answeredTags_.clear();
    idling_ = newMail_ = false;
    pendingOutput_.clear();
    reader_.Reset();
    literalLines_.Clear();
    try {
        ArmTimer(GuardPhase::kConnect);
        components_.wire->SetTls(
            TlsSettings::ForSecurity(security, verifyCert, TextToUtf8(caFile)));
        components_.wire->Connect(TextToUtf8(server), TextToUtf8(port), "0");
    } catch (const Error& e) {
        ConnectFailed(e.number(), e.description());
    } catch (const std::exception& e) {
        ConnectFailed(outcome::kFailureCode, Utf8ToText(e.what()));
    }
}

void imapZef::Impl::ConnectFailed(long number, const Text& description) {
    try {
        StopTimer();
    } catch (const std::exception&) {  // the connect failure is what gets reported
    }
    SetCaption(outcome::ConnectErrorCaption(number, description));
    receivePhase_ = ReceivePhase::kIdle;
    Raise(owner_.Done, number, description);
}

Text imapZef::Impl::Any2Unicode(const Bytes& ansiText) {
    return AnsiToText(components_.glyph->AnyToAnsiAlone(ansiText));
}

void imap::CheckSecurityMode(long mode) {
    if (mode < 0 || mode > 2) {
        throw outcome::imap::kInvalidSecurity.AsError();
    }
}

Text imap::CheckedSaslMechanism(const Text& name) {
    if (name.empty()) {
        return {};
    }
    const std::optional<sasl::Mechanism> mechanism = sasl::MechanismNamed(TextToUtf8(name));
    if (!mechanism) {
        throw outcome::imap::kInvalidSaslMechanism.AsError();
    }
    return Utf8ToText(sasl::MechanismName(*mechanism));
}

void imap::CheckFolder(const Text& name) {
    if (HasLineBreakOrNul(name)) {
        throw outcome::imap::kInvalidFolder.AsError();
    }
}

Text imap::CheckedSearch(const Text& criteria) {
    const std::optional<std::string> checked = SearchCriteria(TextToUtf8(criteria));
    if (!checked) {
        throw outcome::imap::kInvalidSearch.AsError();
    }
    return AsciiToText(*checked);
}

std::span<const persist::Property<imap::Settings>> imap::PersistedProperties() {
    using S = Settings;
    static const persist::Property<S> table[] = {
        {"Port", &S::port},
        {"DeleteOnError", &S::deleteOnError},
        {"ConnectTimeout", &S::connectTimeout},
        {"TransTimeout", &S::transTimeout},
        {"Security", &S::security, &CheckSecurityMode},
        {"VerifyCert", &S::verifyCert},
        {"CAFile", &S::caFile},
        {"NestedDelimiters", &S::nestedDelimiters},
        {"ParseMessages", &S::parseMessages},
        {"SaslMechanism", &S::saslMechanism, [](Text& name) { name = CheckedSaslMechanism(name); }},
        {"AutoAuth", &S::autoAuth},
        {"XOAuth2OneStep", &S::xoauth2OneStep},
        {"Folder", &S::folder, &CheckFolder},
        {"Search", &S::search, [](Text& criteria) { criteria = CheckedSearch(criteria); }},
        {"ReadOnly", &S::readOnly},
        {"ListFolders", &S::listFolders},
        {"MarkSeen", &S::markSeen},
        {"Idle", &S::idle},
        {"IdleTime", &S::idleTime},
        {"Pipelining", &S::pipelining},
    };
    return table;
}

// --- timer and caption ---

void imapZef::Impl::StopTimer() {
    components_.timer->Enabled(false);
}

// The guard counts the seconds of the phase: the connect, the silence of the dialogue, or the
// wait in IDLE until it is issued again.
void imapZef::Impl::ArmTimer(GuardPhase phase) {
    guardPhase_ = phase;
    guardCountdown_ = phase == GuardPhase::kConnect ? connectTimeout
                      : phase == GuardPhase::kIdle  ? idleTime
                                                    : transTimeout;
    components_.timer->Enabled(guardCountdown_ >= 1);
}

void imapZef::Impl::SetCaption(const Text& caption) {
    if (caption == caption_) {
        return;
    }
    caption_ = caption;
    Raise(owner_.CaptionChanged, caption_);
}

void imapZef::Impl::RaiseTrace(const std::string& text) {
    Raise(owner_.Trace, LineText(text));
}

Text imapZef::Impl::LineText(std::string_view line) {
    scratch_.assign(line);
    return components_.glyph->JisToText(scratch_);
}

}  // namespace zef
