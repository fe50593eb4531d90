// imapZef logging in: STARTTLS first when asked, LOGIN or AUTHENTICATE through the shared SASL
// client, and ENABLE of what the server offers and the control can use.
#include <algorithm>
#include <climits>
#include <string>
#include <utility>

#include "common/Unicode.h"
#include "imap/ImapControl.h"

namespace zef {

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

}  // namespace zef
