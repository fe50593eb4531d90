// popZef's creation, properties, persistence, methods, guard timer and caption.
#include "pop/PopControl.h"

#include <exception>
#include <string>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/CodePage.h"
#include "pop/Outcomes.h"

namespace zef {

using pop::Raise;

namespace {

constexpr long long kDefaultMaxLineLength = 64LL * 1024 * 1024;
constexpr long kTickMilliseconds = 1000;

// Every component is used; a control without one could not run a transfer.
Components Checked(Components components) {
    if (!components.wire || !components.glyph || !components.codec || !components.hash ||
        !components.timer) {
        throw outcome::pop::kMissingComponent.AsError();
    }
    return components;
}

bool HasLineBreakOrNul(const Text& text) {
    return text.find_first_of(u"\r\n\0", 0, 3) != Text::npos;
}

}  // namespace

popZef::Impl::Impl(popZef& owner, Components components)
    : owner_(owner),
      components_(Checked(std::move(components))),
      applicationEvents_(owner),
      parser_(*components_.glyph, *components_.codec, applicationEvents_),
      lines_(static_cast<size_t>(kDefaultMaxLineLength)),
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

popZef::Impl::~Impl() {
    // The components outlive nothing of ours, but make sure none of them calls back into a
    // control that is being destroyed.
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

const Text& popZef::Impl::Banner() {
    static const Text banner = outcome::pop::kProductBanner;
    return banner;
}

void popZef::Impl::MaxLineLength(long long bytes) {
    if (bytes < 1) {
        throw outcome::pop::kInvalidMaxLineLength.AsError();
    }
    maxLineLength_ = bytes;
    lines_.MaxLineLength(static_cast<size_t>(bytes));
    parser_.MaxFieldLength(static_cast<size_t>(bytes));
}

void popZef::Impl::Pop(const Text& server, const Text& user, const Text& password, long lines) {
    if (receivePhase_ != ReceivePhase::kIdle) {
        throw outcome::kBusy.AsError();
    }
    // A line break in a login argument would let it smuggle further commands to the server.
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
    state_ = State::Init;
    doneCode_ = outcome::kSuccessCode;
    doneMessage_.clear();
    userName_ = user;
    password_ = password;
    topLines_ = lines;
    abortMode_ = AbortMode::kNone;
    pendingOutput_.clear();
    greeting_.clear();
    tlsDone_ = false;
    capabilities_.clear();
    pipeline_.Clear();
    responseCode_.clear();
    serverName_ = server;
    sasl_.reset();
    try {
        ArmTimer(GuardPhase::kConnect);
        components_.wire->SetTls(WireTlsSettings());
        components_.wire->Connect(TextToUtf8(server), TextToUtf8(port), "0");
    } catch (const Error& e) {
        ConnectFailed(e.number(), e.description());
    } catch (const std::exception& e) {
        ConnectFailed(outcome::kFailureCode, Utf8ToText(e.what()));
    }
}

// Every transfer sets the wire's TLS, so a mode chosen for an earlier one never lingers.
TlsSettings popZef::Impl::WireTlsSettings() const {
    return TlsSettings::ForSecurity(security, verifyCert, TextToUtf8(caFile));
}

void popZef::Impl::ConnectFailed(long number, const Text& description) {
    try {
        StopTimer();
    } catch (const std::exception&) {  // the connect failure is what gets reported
    }
    SetCaption(outcome::ConnectErrorCaption(number, description));
    receivePhase_ = ReceivePhase::kIdle;
    Raise(owner_.Done, number, description);
}

Text popZef::Impl::Any2Unicode(const Bytes& ansiText) {
    return AnsiToText(components_.glyph->AnyToAnsiAlone(ansiText));
}

void pop::CheckSecurityMode(long mode) {
    if (mode < 0 || mode > 2) {
        throw outcome::pop::kInvalidSecurity.AsError();
    }
}

Text pop::CheckedSaslMechanism(const Text& name) {
    if (name.empty()) {
        return {};
    }
    const std::optional<sasl::Mechanism> mechanism = sasl::MechanismNamed(TextToUtf8(name));
    if (!mechanism) {
        throw outcome::pop::kInvalidSaslMechanism.AsError();
    }
    return Utf8ToText(sasl::MechanismName(*mechanism));
}

// Loading makes the setters' checks too: a stored Security outside 0 to 2, or a SaslMechanism
// the control cannot do, is refused like an assignment (error 380).
std::span<const persist::Property<pop::Settings>> pop::PersistedProperties() {
    using S = Settings;
    static const persist::Property<S> table[] = {
        {"Port", &S::port},
        {"APOP", &S::apop},
        {"DeleteOnError", &S::deleteOnError},
        {"ConnectTimeout", &S::connectTimeout},
        {"TransTimeout", &S::transTimeout},
        {"Security", &S::security, &CheckSecurityMode},
        {"VerifyCert", &S::verifyCert},
        {"CAFile", &S::caFile},
        {"NestedDelimiters", &S::nestedDelimiters},
        {"ParseMessages", &S::parseMessages},
        {"DesyncGuard", &S::desyncGuard},
        {"AskCapabilities", &S::askCapabilities},
        {"Pipelining", &S::pipelining},
        {"SaslMechanism", &S::saslMechanism, [](Text& name) { name = CheckedSaslMechanism(name); }},
        {"AutoAuth", &S::autoAuth},
        {"XOAuth2OneStep", &S::xoauth2OneStep},
    };
    return table;
}

void popZef::Impl::ApplyParserSettings() {
    parser_.NestedDelimiters(nestedDelimiters);
    parser_.ParseMessages(parseMessages);
}

// --- guard timer and caption ---

void popZef::Impl::StopTimer() {
    components_.timer->Enabled(false);
}

// Arming an armed guard starts its interval afresh, so no stop is needed first.
void popZef::Impl::ArmTimer(GuardPhase phase) {
    guardPhase_ = phase;
    guardCountdown_ = phase == GuardPhase::kConnect ? connectTimeout : transTimeout;
    components_.timer->Enabled(guardCountdown_ >= 1);
}

void popZef::Impl::SetCaption(const Text& caption) {
    if (caption == caption_) {
        return;
    }
    caption_ = caption;
    Raise(owner_.CaptionChanged, caption_);
}

void popZef::Impl::RaiseTrace(const Text& text) {
    Raise(owner_.Trace, text);
}

}  // namespace zef
