// popZef's own outcomes, in the order a transfer meets them; those it shares with the other
// controls are in common/Outcomes.h.
#pragma once

#include "common/Error.h"
#include "common/Outcomes.h"
#include "common/Types.h"

namespace zef::outcome::pop {

// --- Creation: the caption until the first transfer; also the Copyright property ---

inline constexpr const char16_t* kProductBanner = u"zef popZef 0.1";

inline constexpr RaisedError kMissingComponent{error::kInvalidArgument, "zef.popZef",
                                               u"popZef needs all five components"};

// --- Setting a property to a value it refuses; the old value stays ---

inline constexpr RaisedError kInvalidSecurity{
    error::kInvalidValue, "zef.popZef.Security",
    u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STLS])"};
inline constexpr RaisedError kInvalidSaslMechanism{
    error::kInvalidValue, "zef.popZef.SaslMechanism",
    u"Invalid SaslMechanism(PLAIN,SCRAM-SHA-256,XOAUTH2,OAUTHBEARER)"};
inline constexpr RaisedError kInvalidMaxLineLength{error::kInvalidValue, "zef.popZef.MaxLineLength",
                                                   kInvalidPropertyValue};

// --- Loading saved properties: the source of TypeMismatch ---

inline constexpr char kReadPropertiesSource[] = "zef.popZef.ReadProperties";

// --- The dialogue: a reply or a line that ends the transfer ---

// A refusal; after a failed SASL login with what the client learnt about it.
inline Text RefusedReply(const Text& line, const Text& detail) {
    return detail.empty() ? line : line + u" [" + detail + u"]";
}
// Bytes in the clear after the go-ahead to STLS; the connection is closed at once.
inline constexpr DoneOutcome kUnexpectedDataAfterStls{kFailureCode,
                                                      u"UNEXPECTED DATA AFTER STLS REPLY"};
// DesyncGuard: a reply that cannot answer the command it stands for, or a message far shorter
// than its listed size. The connection is closed without QUIT: no deletion is committed.
inline constexpr DoneOutcome kRepliesOutOfStep{
    kFailureCode, u"SERVER REPLIES OUT OF STEP WITH THE COMMANDS: CLOSED WITHOUT QUIT"};

// --- Parsing a retrieved message: raised inside the parser, the transfer ends with Done ---

inline constexpr RaisedError kHeaderFieldTooLong{kFailureCode, "zef.popZef",
                                                 u"HEADER FIELD TOO LONG"};
inline constexpr RaisedError kMultipartNestedTooDeeply{kFailureCode, "zef.popZef",
                                                       u"MULTIPART NESTED TOO DEEPLY"};

}  // namespace zef::outcome::pop
