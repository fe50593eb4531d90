// imapZef's own outcomes, in the order a transfer meets them; those it shares with the other
// controls are in common/Outcomes.h.
#pragma once

#include <string>

#include "common/Error.h"
#include "common/Outcomes.h"
#include "common/Types.h"
#include "common/Unicode.h"

namespace zef::outcome::imap {

// --- Creation: the caption until the first transfer; also the Copyright property ---

inline constexpr const char16_t* kProductBanner = u"zef imapZef 0.1";

inline constexpr RaisedError kMissingComponent{error::kInvalidArgument, "zef.imapZef",
                                               u"imapZef needs all five components"};

// --- Setting a property to a value it refuses; the old value stays ---

inline constexpr RaisedError kInvalidSecurity{
    error::kInvalidValue, "zef.imapZef.Security",
    u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STARTTLS])"};
inline constexpr RaisedError kInvalidSaslMechanism{
    error::kInvalidValue, "zef.imapZef.SaslMechanism",
    u"Invalid SaslMechanism(PLAIN,SCRAM-SHA-256,XOAUTH2,OAUTHBEARER)"};
inline constexpr RaisedError kInvalidMaxLineLength{
    error::kInvalidValue, "zef.imapZef.MaxLineLength", kInvalidPropertyValue};
inline constexpr RaisedError kInvalidFolder{error::kInvalidValue, "zef.imapZef.Folder",
                                            u"Invalid Folder(CR, LF OR NUL NOT ALLOWED)"};
inline constexpr RaisedError kInvalidSearch{
    error::kInvalidValue, "zef.imapZef.Search",
    u"Invalid Search(ALL,UNSEEN,SINCE d-Mon-yyyy,UNSEEN SINCE d-Mon-yyyy)"};

// --- Loading saved properties: the source of TypeMismatch ---

inline constexpr char kReadPropertiesSource[] = "zef.imapZef.ReadProperties";

// --- The dialogue: what ends the transfer ---

// A tagged NO or BAD: the command, its argument where it helps ("SELECT \"Work\""), and the
// server's answer.
inline Text Refused(const Text& command, const Text& answer) {
    return command + u": " + answer;
}
// A greeting of BYE, or a BYE in the middle of the dialogue.
inline Text ServerClosing(const Text& text) {
    return u"BYE " + text;
}
// The reader stopped: a response it cannot parse, or one past its limits. Closed at once.
inline Text UnreadableResponse(const char* fault) {
    return u"UNREADABLE RESPONSE: " + AsciiToText(fault);
}
// A tagged response to no command sent, or a FETCH of a message other than the one asked for.
inline constexpr DoneOutcome kOutOfStep{kFailureCode,
                                        u"SERVER RESPONSES OUT OF STEP WITH THE COMMANDS"};
// Bytes in the clear after the go-ahead to STARTTLS; the connection is closed at once.
inline constexpr DoneOutcome kUnexpectedDataAfterStartTls{kFailureCode,
                                                          u"UNEXPECTED DATA AFTER STARTTLS REPLY"};
// LOGINDISABLED offered and no SASL mechanism chosen: the password is not sent.
inline constexpr DoneOutcome kLoginDisabled{kFailureCode,
                                            u"LOGIN DISABLED BY THE SERVER: SET A SASL MECHANISM"};
// The UID FETCH of a message ended without its body (expunged by another client meanwhile).
inline Text MessageNotReturned(const std::string& uid) {
    return u"MESSAGE UID " + AsciiToText(uid) + u" NOT RETURNED BY THE SERVER";
}

}  // namespace zef::outcome::imap
