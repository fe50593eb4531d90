// popZef's creation, properties, persistence, methods and the lengths of its guard.
#include "pop/PopControl.h"

#include <string>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"
#include "pop/Outcomes.h"

namespace zef {

namespace {

constexpr long long kDefaultMaxLineLength = 64LL * 1024 * 1024;
}  // namespace

popZef::Impl::Impl(popZef& owner, Components components)
    : MailboxControl(owner, std::move(components), outcome::pop::kMissingComponent, Banner()),
      owner_(owner),
      applicationEvents_(owner),
      parser_(*components_.glyph, *components_.codec, applicationEvents_),
      lines_(static_cast<size_t>(kDefaultMaxLineLength)),
      maxLineLength_(kDefaultMaxLineLength) {
    parser_.MaxFieldLength(static_cast<size_t>(kDefaultMaxLineLength));
    ApplyParserSettings();
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
    if (!BeginTransfer(user, password)) {
        return;
    }
    state_ = State::Init;
    userName_ = user;
    password_ = password;
    topLines_ = lines;
    abortMode_ = AbortMode::kNone;
    greeting_.clear();
    tlsDone_ = false;
    capabilities_.clear();
    pipeline_.Clear();
    responseCode_.clear();
    serverName_ = server;
    sasl_.reset();
    Connect(server, port, WireTlsSettings());
}

TlsSettings popZef::Impl::WireTlsSettings() const {
    return TlsSettings::ForSecurity(security, verifyCert, TextToUtf8(caFile));
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

// --- guard timer ---

long popZef::Impl::GuardSeconds(GuardPhase phase) const {
    return phase == GuardPhase::kConnect ? connectTimeout : transTimeout;
}

}  // namespace zef
