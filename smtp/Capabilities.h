// What an EHLO reply announces, read without I/O: the keyword lines, the AUTH mechanisms, the
// enhanced status code of a reply line, and the login mechanism AutoAuth chooses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/Types.h"

namespace zef::smtp {

// The logins the control can do. kNone: no AUTH command.
enum class Mechanism { kNone, kCramMd5, kLogin, kPlain, kXOAuth2, kOAuthBearer, kScramSha256 };

// The mechanism's name as AUTH and SaslMechanism write it ("" for kNone).
Text MechanismName(Mechanism mechanism);
// The mechanism SaslMechanism names (any case); kNone for "" and for names it does not know.
Mechanism MechanismNamed(std::u16string_view name);

class EhloCapabilities {
  public:
    // Reads a whole EHLO reply, its lines without line ends, the greeting line first.
    void Read(const std::vector<Text>& replyLines);
    void Clear() { *this = EhloCapabilities(); }

    // The keyword lines after the greeting line, without their reply codes, CR LF between.
    const Text& Keywords() const { return keywords_; }
    bool HasEnhancedStatusCodes() const { return enhancedStatusCodes_; }
    // Whether a keyword line begins with this keyword (upper case: "8BITMIME", "SMTPUTF8").
    bool HasKeyword(const std::string& keyword) const;
    // The mechanisms of the AUTH line (or the older "AUTH=" line), upper case.
    const std::vector<std::string>& AuthMechanisms() const { return authMechanisms_; }
    bool Offers(Mechanism mechanism) const;

  private:
    Text keywords_;
    bool enhancedStatusCodes_ = false;
    std::vector<std::string> keywordNames_;  // the first word of each keyword line, upper case
    std::vector<std::string> authMechanisms_;
};

// The strongest mechanism the server offers that the credentials allow: with a token
// OAUTHBEARER then XOAUTH2; with a password SCRAM-SHA-256, CRAM-MD5, PLAIN, LOGIN. kNone when
// there is none.
Mechanism ChooseMechanism(const EhloCapabilities& server, bool haveToken, bool havePassword);

// The RFC 3463 status code after the reply code of `line` ("5.7.8" in "535 5.7.8 ..."), or "".
Text EnhancedStatusOf(std::u16string_view line);

}  // namespace zef::smtp
