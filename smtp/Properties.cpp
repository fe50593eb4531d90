// Creation of the control, its property accessors with their validation and persistence, the
// caption and the raising of the application's events.
#include "common/Error.h"
#include "common/Unicode.h"
#include "smtp/Dsn.h"
#include "smtp/Outcomes.h"
#include "smtp/Utf8Mail.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

namespace {

constexpr long kTimerIntervalMs = 1000;

// A stored whole number may also be text of digits or a real (rounded); a stored value that
// does not fit its property is refused with error 380.
const persist::StoredValueRules kStoredValues{true, &outcome::smtp::InvalidStoredValue};

Components CheckedComponents(Components components) {
    if (!components.wire || !components.glyph || !components.codec || !components.hash ||
        !components.timer) {
        throw outcome::smtp::kMissingComponent.AsError();
    }
    return components;
}

bool IsAllowedSubtype(const Text& subtype) {
    Text lower = subtype;
    for (char16_t& c : lower) {
        if (c >= u'A' && c <= u'Z') {
            c = c + (u'a' - u'A');
        }
    }
    return lower.empty() || lower == u"mixed" || lower == u"alternative" || lower == u"parallel";
}

}  // namespace

// --- Impl: creation, validation, caption, events ---

smtpZef::Impl::Impl(smtpZef& owner, Components components)
    : owner_(owner),
      components_(CheckedComponents(std::move(components))),
      wire_(*components_.wire),
      glyph_(*components_.glyph),
      codec_(*components_.codec),
      hash_(*components_.hash),
      timer_(*components_.timer) {
    hostname = Utf8ToText(wire_.LocalHostName());
    timer_.Enabled(false);
    timer_.Interval(kTimerIntervalMs);
    HookComponentEvents();
}

smtpZef::Impl::~Impl() {
    // The components outlive no one, but unhook them first so that nothing they do while being
    // destroyed can reach a half-destroyed control.
    wire_.ClearEvents();
    timer_.Tick = nullptr;
}

void smtp::CheckAuthMechanism(long mechanism) {
    if (mechanism < 0 || mechanism > 3) {
        throw outcome::smtp::kInvalidAuth.AsError();
    }
}

void smtp::CheckSaslMechanism(const Text& mechanism) {
    if (!mechanism.empty() && smtp::MechanismNamed(mechanism) == smtp::Mechanism::kNone) {
        throw outcome::smtp::kInvalidSaslMechanism.AsError();
    }
}

void smtp::CheckSecurityMode(long mode) {
    if (mode < 0 || mode > 2) {
        throw outcome::smtp::kInvalidSecurity.AsError();
    }
}

void smtp::CheckTextCharset(const Text& charset) {
    if (!smtp::IsKnownTextCharset(charset)) {
        throw outcome::smtp::kInvalidTextCharset.AsError();
    }
}

// Loading makes the setters' checks too: a stored Auth outside 0 to 3, kept, would make every
// send stop after EHLO and wait for the transfer time-out.
std::span<const persist::Property<smtp::Settings>> smtp::PersistedProperties() {
    using S = Settings;
    static const persist::Property<S> table[] = {
        {"Port", &S::port},
        {"Hostname", &S::hostname},
        {"Auth", &S::auth, &CheckAuthMechanism},
        {"User", &S::user},
        {"Pass", &S::pass},
        {"AngleBracketType", &S::angleBracketType},
        {"KanjiIn", &S::kanjiIn},
        {"KanjiOut", &S::kanjiOut},
        {"Fold78", &S::fold78},
        {"Charset", &S::charSet},
        {"ConnectTimeout", &S::connectTimeout},
        {"TransTimeout", &S::transTimeout},
        {"Security", &S::security, &CheckSecurityMode},
        {"VerifyCert", &S::verifyCert},
        {"CAFile", &S::caFile},
        {"RawMessage", &S::rawMessage},
        {"TextCharset", &S::textCharset, &CheckTextCharset},
        {"SaslMechanism", &S::saslMechanism, &CheckSaslMechanism},
        {"AutoAuth", &S::autoAuth},
        {"AcceptPartialRecipients", &S::acceptPartialRecipients},
        {"KeepSession", &S::keepSession},
        {"SessionIdleTime", &S::sessionIdleTime},
        {"Pipelining", &S::pipelining},
        {"DsnNotify", &S::dsnNotify, &CheckDsnNotify},
        {"DsnReturn", &S::dsnReturn, &CheckDsnReturn},
    };
    return table;
}

void smtpZef::Impl::SetMimeMultipart(const Text& subtype) {
    if (!IsAllowedSubtype(subtype)) {
        throw outcome::smtp::kInvalidMimeSubType.AsError();
    }
    mimeMultipart = subtype;
}

long long smtpZef::Impl::MaxLineLength() const {
    return static_cast<long long>(replyReader_.MaxLineBytes());
}

void smtpZef::Impl::SetMaxLineLength(long long bytes) {
    if (bytes < 1) {
        throw outcome::smtp::kInvalidMaxLineLength.AsError();
    }
    replyReader_.MaxLineBytes(static_cast<size_t>(bytes));
}

// The caption is a display: an exception thrown by a CaptionChanged handler is dropped, so a
// faulty repaint can never change the outcome of a send.
void smtpZef::Impl::SetCaption(const Text& text) {
    if (caption == text) {
        return;
    }
    caption = text;
    if (owner_.CaptionChanged) {
        try {
            owner_.CaptionChanged(caption);
        } catch (...) {  // NOLINT(bugprone-empty-catch): see above
        }
    }
}

void smtpZef::Impl::RaiseTrace(const Text& message) {
    if (owner_.Trace) {
        owner_.Trace(message);
    }
}

void smtpZef::Impl::RaiseDone(long code, const Text& message) {
    if (owner_.Done) {
        owner_.Done(code, message);
    }
}

// --- smtpZef: the public face forwards to Impl ---

smtpZef::smtpZef(Components components)
    : impl_(std::make_unique<Impl>(*this, std::move(components))) {}

smtpZef::~smtpZef() = default;

bool smtpZef::TcpTraceOn() const {
    return impl_->tcpTraceOn;
}
void smtpZef::TcpTraceOn(bool on) {
    impl_->tcpTraceOn = on;
}
const Variant& smtpZef::ToAddr() const {
    return impl_->toAddr;
}
void smtpZef::ToAddr(const Variant& recipients) {
    impl_->toAddr = recipients;
}
const Text& smtpZef::FromAddr() const {
    return impl_->fromAddr;
}
void smtpZef::FromAddr(const Text& sender) {
    impl_->fromAddr = sender;
}
long smtpZef::ConnectTimeout() const {
    return impl_->connectTimeout;
}
void smtpZef::ConnectTimeout(long seconds) {
    impl_->connectTimeout = seconds;
}
long smtpZef::TransTimeout() const {
    return impl_->transTimeout;
}
void smtpZef::TransTimeout(long seconds) {
    impl_->transTimeout = seconds;
}
long smtpZef::Auth() const {
    return impl_->auth;
}
void smtpZef::Auth(long mechanism) {
    smtp::CheckAuthMechanism(mechanism);
    impl_->auth = mechanism;
}
const Text& smtpZef::KanjiIn() const {
    return impl_->kanjiIn;
}
void smtpZef::KanjiIn(const Text& escape) {
    impl_->kanjiIn = escape;
}
const Text& smtpZef::KanjiOut() const {
    return impl_->kanjiOut;
}
void smtpZef::KanjiOut(const Text& escape) {
    impl_->kanjiOut = escape;
}
const Text& smtpZef::User() const {
    return impl_->user;
}
void smtpZef::User(const Text& user) {
    impl_->user = user;
}
const Text& smtpZef::Pass() const {
    return impl_->pass;
}
void smtpZef::Pass(const Text& password) {
    impl_->pass = password;
}
const Text& smtpZef::MimeMultipart() const {
    return impl_->mimeMultipart;
}
void smtpZef::MimeMultipart(const Text& subtype) {
    impl_->SetMimeMultipart(subtype);
}
int smtpZef::AngleBracketType() const {
    return impl_->angleBracketType;
}
void smtpZef::AngleBracketType(int type) {
    impl_->angleBracketType = type;
}
Text smtpZef::Copyright() const {
    return outcome::smtp::kProductBanner;
}
void smtpZef::Copyright(const Text& /*ignored*/) {}
const Text& smtpZef::Hostname() const {
    return impl_->hostname;
}
void smtpZef::Hostname(const Text& name) {
    impl_->hostname = name;
}
const Text& smtpZef::Port() const {
    return impl_->port;
}
void smtpZef::Port(const Text& port) {
    impl_->port = port;
}
const Text& smtpZef::CharSet() const {
    return impl_->charSet;
}
void smtpZef::CharSet(const Text& charset) {
    impl_->charSet = charset;
}
long smtpZef::Fold78() const {
    return impl_->fold78;
}
void smtpZef::Fold78(long mode) {
    impl_->fold78 = mode;
}
long smtpZef::BodyWriteSize() const {
    return impl_->bodyWriteSize;
}
void smtpZef::BodyWriteSize(long bytes) {
    impl_->bodyWriteSize = bytes;
}
long long smtpZef::MaxLineLength() const {
    return impl_->MaxLineLength();
}
void smtpZef::MaxLineLength(long long bytes) {
    impl_->SetMaxLineLength(bytes);
}
long smtpZef::Security() const {
    return impl_->security;
}
void smtpZef::Security(long mode) {
    smtp::CheckSecurityMode(mode);
    impl_->security = mode;
}
bool smtpZef::VerifyCert() const {
    return impl_->verifyCert;
}
void smtpZef::VerifyCert(bool on) {
    impl_->verifyCert = on;
}
const Text& smtpZef::CAFile() const {
    return impl_->caFile;
}
void smtpZef::CAFile(const Text& path) {
    impl_->caFile = path;
}
bool smtpZef::RawMessage() const {
    return impl_->rawMessage;
}
void smtpZef::RawMessage(bool on) {
    impl_->rawMessage = on;
}
const Text& smtpZef::TextCharset() const {
    return impl_->textCharset;
}
void smtpZef::TextCharset(const Text& charset) {
    smtp::CheckTextCharset(charset);
    impl_->textCharset = charset;
}
bool smtpZef::Body8Bit() const {
    return impl_->body8Bit;
}
void smtpZef::Body8Bit(bool on) {
    impl_->body8Bit = on;
}

const Text& smtpZef::Capabilities() const {
    return impl_->Capabilities();
}
const Text& smtpZef::EnhancedStatus() const {
    return impl_->EnhancedStatus();
}
const Text& smtpZef::SaslMechanism() const {
    return impl_->saslMechanism;
}
void smtpZef::SaslMechanism(const Text& mechanism) {
    smtp::CheckSaslMechanism(mechanism);
    impl_->saslMechanism = mechanism;
}
bool smtpZef::AutoAuth() const {
    return impl_->autoAuth;
}
void smtpZef::AutoAuth(bool on) {
    impl_->autoAuth = on;
}
const Text& smtpZef::OAuthToken() const {
    return impl_->oauthToken;
}
void smtpZef::OAuthToken(const Text& token) {
    impl_->oauthToken = token;
}
bool smtpZef::AcceptPartialRecipients() const {
    return impl_->acceptPartialRecipients;
}
void smtpZef::AcceptPartialRecipients(bool on) {
    impl_->acceptPartialRecipients = on;
}

bool smtpZef::KeepSession() const {
    return impl_->keepSession;
}
void smtpZef::KeepSession(bool on) {
    impl_->keepSession = on;
}
long smtpZef::SessionIdleTime() const {
    return impl_->sessionIdleTime;
}
void smtpZef::SessionIdleTime(long seconds) {
    impl_->sessionIdleTime = seconds;
}
bool smtpZef::Pipelining() const {
    return impl_->pipelining;
}
void smtpZef::Pipelining(bool on) {
    impl_->pipelining = on;
}

const Text& smtpZef::DsnNotify() const {
    return impl_->dsnNotify;
}
void smtpZef::DsnNotify(const Text& notify) {
    smtp::CheckDsnNotify(notify);
    impl_->dsnNotify = notify;
}
const Text& smtpZef::DsnReturn() const {
    return impl_->dsnReturn;
}
void smtpZef::DsnReturn(const Text& ret) {
    smtp::CheckDsnReturn(ret);
    impl_->dsnReturn = ret;
}
const Text& smtpZef::DsnEnvelopeId() const {
    return impl_->dsnEnvelopeId;
}
void smtpZef::DsnEnvelopeId(const Text& envelopeId) {
    smtp::CheckDsnEnvelopeId(envelopeId);
    impl_->dsnEnvelopeId = envelopeId;
}

void smtpZef::Smtp(const Text& MailServer, const Text& MailHeader) {
    impl_->Smtp(MailServer, MailHeader);
}
void smtpZef::CloseSession() {
    impl_->CloseSession();
}

const Text& smtpZef::Caption() const {
    return impl_->caption;
}

void smtpZef::ReadProperties(const PropertyBag& bag) {
    persist::Read(smtp::PersistedProperties(), bag, kStoredValues, *impl_);
}
void smtpZef::WriteProperties(PropertyBag& bag) const {
    persist::Write(smtp::PersistedProperties(), *impl_, bag);
}

}  // namespace zef
