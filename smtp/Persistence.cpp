// Saving and loading the persisted properties through the host's property bag. Keys, order and
// defaults are fixed; a value equal to its default is not written.
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "common/Error.h"
#include "common/Unicode.h"
#include "smtp/Outcomes.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

namespace {

[[noreturn]] void RefuseStoredValue(const std::string& key) {
    throw outcome::smtp::InvalidStoredValue(key);
}

std::optional<long> ParseLong(const Text& text) {
    const std::string digits = TextToUtf8(text);
    try {
        size_t used = 0;
        const long value = std::stol(digits, &used);
        if (digits.find_first_not_of(' ', used) == std::string::npos) {
            return value;
        }
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): not a number
    }
    return std::nullopt;
}

// A stored value as a whole number, the way the host converts: a string of digits, a number
// (rounded) or a Boolean (True is -1). Anything else is refused.
long ReadLong(const PropertyBag& bag, const std::string& key, long defaultValue) {
    const Variant value = bag.ReadProperty(key, defaultValue);
    if (const long* number = value.AsLong()) {
        return *number;
    }
    if (const double* real = value.AsDouble()) {
        const double rounded = std::nearbyint(*real);
        if (std::isfinite(rounded) &&
            rounded >= static_cast<double>(std::numeric_limits<long>::min()) &&
            rounded <= static_cast<double>(std::numeric_limits<long>::max())) {
            return static_cast<long>(rounded);
        }
    } else if (const bool* flag = value.AsBoolean()) {
        return *flag ? -1 : 0;
    } else if (const Text* text = value.AsString()) {
        if (std::optional<long> parsed = ParseLong(*text)) {
            return *parsed;
        }
    }
    RefuseStoredValue(key);
}

// A stored value as a Boolean: a Boolean, or a number (0 is False, anything else True).
bool ReadBoolean(const PropertyBag& bag, const std::string& key, bool defaultValue) {
    const Variant value = bag.ReadProperty(key, defaultValue);
    if (const bool* flag = value.AsBoolean()) {
        return *flag;
    }
    if (const long* number = value.AsLong()) {
        return *number != 0;
    }
    RefuseStoredValue(key);
}

// A stored value as text: a string as it is, a number in decimal.
Text ReadText(const PropertyBag& bag, const std::string& key, const Text& defaultValue) {
    const Variant value = bag.ReadProperty(key, defaultValue);
    if (const Text* text = value.AsString()) {
        return *text;
    }
    if (const long* number = value.AsLong()) {
        return AsciiToText(std::to_string(*number));
    }
    RefuseStoredValue(key);
}

}  // namespace

void smtpZef::Impl::WriteProperties(PropertyBag& bag) const {
    bag.WriteProperty("Port", port, Text(u"25"));
    bag.WriteProperty("Hostname", hostname, Text());
    bag.WriteProperty("Auth", auth, 0L);
    bag.WriteProperty("User", user, Text());
    bag.WriteProperty("Pass", pass, Text());  // stored as plain text, as the bag's owner expects
    bag.WriteProperty("AngleBracketType", angleBracketType, 0);
    bag.WriteProperty("KanjiIn", kanjiIn, Text(u"$B"));
    bag.WriteProperty("KanjiOut", kanjiOut, Text(u"(J"));
    bag.WriteProperty("Fold78", fold78, 1L);
    bag.WriteProperty("Charset", charSet, Text(u"iso-2022-jp"));
    bag.WriteProperty("ConnectTimeout", connectTimeout, 0L);
    bag.WriteProperty("TransTimeout", transTimeout, 0L);
    bag.WriteProperty("Security", security, 0L);
    bag.WriteProperty("VerifyCert", verifyCert, true);
    bag.WriteProperty("CAFile", caFile, Text());
    bag.WriteProperty("RawMessage", rawMessage, false);
    bag.WriteProperty("TextCharset", textCharset, Text(u"iso-2022-jp"));
    bag.WriteProperty("SaslMechanism", saslMechanism, Text());
    bag.WriteProperty("AutoAuth", autoAuth, false);
    bag.WriteProperty("AcceptPartialRecipients", acceptPartialRecipients, false);
}

// Everything is read and checked before anything is stored, so a refused bag changes nothing.
// A stored Auth outside 0 to 3 is refused like an assignment (error 380): kept, it would make
// every send stop after EHLO and wait for the transfer time-out. A stored Security outside 0 to
// 2 is refused the same way.
void smtpZef::Impl::ReadProperties(const PropertyBag& bag) {
    Text newPort = ReadText(bag, "Port", u"25");
    Text newHostname = ReadText(bag, "Hostname", u"");
    const long newAuth = ReadLong(bag, "Auth", 0);
    Text newUser = ReadText(bag, "User", u"");
    Text newPass = ReadText(bag, "Pass", u"");
    const long newAngleBracketType = ReadLong(bag, "AngleBracketType", 0);
    Text newKanjiIn = ReadText(bag, "KanjiIn", u"$B");
    Text newKanjiOut = ReadText(bag, "KanjiOut", u"(J");
    const long newFold78 = ReadLong(bag, "Fold78", 1);
    Text newCharSet = ReadText(bag, "Charset", u"iso-2022-jp");
    const long newConnectTimeout = ReadLong(bag, "ConnectTimeout", 0);
    const long newTransTimeout = ReadLong(bag, "TransTimeout", 0);
    const long newSecurity = ReadLong(bag, "Security", 0);
    const bool newVerifyCert = ReadBoolean(bag, "VerifyCert", true);
    Text newCAFile = ReadText(bag, "CAFile", u"");
    const bool newRawMessage = ReadBoolean(bag, "RawMessage", false);
    Text newTextCharset = ReadText(bag, "TextCharset", u"iso-2022-jp");
    Text newSaslMechanism = ReadText(bag, "SaslMechanism", u"");
    const bool newAutoAuth = ReadBoolean(bag, "AutoAuth", false);
    const bool newAcceptPartial = ReadBoolean(bag, "AcceptPartialRecipients", false);

    if (newAngleBracketType < std::numeric_limits<int>::min() ||
        newAngleBracketType > std::numeric_limits<int>::max()) {
        RefuseStoredValue("AngleBracketType");
    }
    CheckAuthMechanism(newAuth);
    CheckSecurityMode(newSecurity);
    CheckSaslMechanism(newSaslMechanism);
    CheckTextCharset(newTextCharset);

    port = std::move(newPort);
    hostname = std::move(newHostname);
    auth = newAuth;
    user = std::move(newUser);
    pass = std::move(newPass);
    angleBracketType = static_cast<int>(newAngleBracketType);
    kanjiIn = std::move(newKanjiIn);
    kanjiOut = std::move(newKanjiOut);
    fold78 = newFold78;
    charSet = std::move(newCharSet);
    connectTimeout = newConnectTimeout;
    transTimeout = newTransTimeout;
    security = newSecurity;
    verifyCert = newVerifyCert;
    caFile = std::move(newCAFile);
    rawMessage = newRawMessage;
    textCharset = std::move(newTextCharset);
    saslMechanism = std::move(newSaslMechanism);
    autoAuth = newAutoAuth;
    acceptPartialRecipients = newAcceptPartial;
}

}  // namespace zef
