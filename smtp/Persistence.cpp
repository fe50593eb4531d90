// Saving and loading the persisted properties through the host's property bag, in the order of
// the table. A stored value is taken as the host converts it: a whole number also from text of
// digits or a real (rounded); one that does not fit is refused with error 380. A stored Auth,
// Security, SaslMechanism or TextCharset the setter would refuse is refused the same way: a
// stored Auth outside 0 to 3, kept, would make every send stop after EHLO and wait for the
// transfer time-out.
#include "smtp/Outcomes.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

namespace {

const persist::StoredValueRules kStoredValues{true, &outcome::smtp::InvalidStoredValue};

}  // namespace

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
    };
    return table;
}

void smtpZef::Impl::WriteProperties(PropertyBag& bag) const {
    persist::Write(smtp::PersistedProperties(), static_cast<const smtp::Settings&>(*this), bag);
}

void smtpZef::Impl::ReadProperties(const PropertyBag& bag) {
    persist::Read(smtp::PersistedProperties(), bag, kStoredValues,
                  static_cast<smtp::Settings&>(*this));
}

}  // namespace zef
