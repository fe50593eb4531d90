// imapZef's creation, properties, persistence, methods and the lengths of its guard.
#include "imap/ImapControl.h"

#include <string>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"

namespace zef {

namespace {

constexpr long long kDefaultMaxLineLength = 64LL * 1024 * 1024;

// A response line may be as long as a message line; a SEARCH of a large folder is one line.
imap::ReaderLimits LimitsFor(long long maxLineLength) {
    imap::ReaderLimits limits;
    limits.maxLineLength = static_cast<size_t>(maxLineLength);
    limits.maxResponseSize = static_cast<size_t>(maxLineLength) + limits.maxCollectedLiteral;
    return limits;
}

}  // namespace

imapZef::Impl::Impl(imapZef& owner, Components components)
    : MailboxControl(owner, std::move(components), outcome::imap::kMissingComponent, Banner()),
      owner_(owner),
      applicationEvents_(owner),
      parser_(*components_.glyph, *components_.codec, applicationEvents_),
      reader_(*this, LimitsFor(kDefaultMaxLineLength)),
      literalLines_(static_cast<size_t>(kDefaultMaxLineLength)),
      maxLineLength_(kDefaultMaxLineLength) {
    parser_.MaxFieldLength(static_cast<size_t>(kDefaultMaxLineLength));
    ApplyParserSettings();
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
    if (!BeginTransfer(user, password)) {
        return;
    }
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
    reader_.Reset();
    literalLines_.Clear();
    Connect(server, port, TlsSettings::ForSecurity(security, verifyCert, TextToUtf8(caFile)));
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

// --- guard timer and trace ---

// The guard counts the seconds of the phase: the connect, the silence of the dialogue, or the
// wait in IDLE until it is issued again.
long imapZef::Impl::GuardSeconds(GuardPhase phase) const {
    return phase == GuardPhase::kConnect ? connectTimeout
           : phase == GuardPhase::kIdle  ? idleTime
                                         : transTimeout;
}

void imapZef::Impl::RaiseTrace(const std::string& text) {
    MailboxControl::RaiseTrace(LineText(text));
}

}  // namespace zef
