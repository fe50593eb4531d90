// smtpZef's own outcomes, in the order a send meets them; those it shares with popZef are in
// common/Outcomes.h. A Done outcome refused before the connect is also the caption.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/Error.h"
#include "common/Outcomes.h"
#include "common/Types.h"
#include "common/Unicode.h"

namespace zef::outcome::smtp {

// --- Creation: the caption until the first send; also the X-TALVORN line and Copyright ---

inline constexpr const char16_t* kProductBanner = u"zef smtpZef 0.1";
// The trace of the end of a message; the first server line after it is the reply to the end.
inline constexpr std::u16string_view kDotTrace = u">>Sending Dot(EOF) ...";

inline constexpr RaisedError kMissingComponent{error::kInvalidArgument, "TALVORN.smtp",
                                               u"smtpZef needs every component"};

// --- Setting a property to a value it refuses; the old value stays ---

inline constexpr RaisedError kInvalidAuth{
    error::kInvalidValue, "TALVORN.smtp.Auth",
    u"Invalid Auth Mechanism(0[NO AUTH],1[CRAM-MD5],2[LOGIN],3[PLAIN])"};
inline constexpr RaisedError kInvalidSaslMechanism{
    error::kInvalidValue, "zef.smtpZef.SaslMechanism",
    u"Invalid SASL Mechanism(\"\",XOAUTH2,OAUTHBEARER,SCRAM-SHA-256)"};
inline constexpr RaisedError kInvalidSecurity{
    error::kInvalidValue, "zef.smtpZef.Security",
    u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STARTTLS])"};
inline constexpr RaisedError kInvalidMimeSubType{error::kInvalidValue, "TALVORN.smtp.MimeMultiPart",
                                                 u"Invalid MimeSubType"};
inline constexpr RaisedError kInvalidTextCharset{error::kInvalidValue, "zef.smtpZef.TextCharset",
                                                 u"Invalid Text Charset(iso-2022-jp,utf-8,auto)"};
inline constexpr RaisedError kInvalidDsnNotify{
    error::kInvalidValue, "zef.smtpZef.DsnNotify",
    u"Invalid DsnNotify(\"\",NEVER, or SUCCESS,FAILURE,DELAY joined by commas)"};
inline constexpr RaisedError kInvalidDsnReturn{error::kInvalidValue, "zef.smtpZef.DsnReturn",
                                               u"Invalid DsnReturn(\"\",FULL,HDRS)"};
inline constexpr RaisedError kInvalidDsnEnvelopeId{
    error::kInvalidValue, "zef.smtpZef.DsnEnvelopeId",
    u"Invalid DsnEnvelopeId(printable ASCII, at most 100 characters)"};
inline constexpr RaisedError kInvalidMaxLineLength{
    error::kInvalidValue, "zef.smtpZef.MaxLineLength", kInvalidPropertyValue};

// --- Loading saved properties: a stored value that is not of the property's kind ---

inline Error InvalidStoredValue(const std::string& key) {
    return Error(error::kInvalidValue, "TALVORN.smtp.ReadProperties",
                 u"INVALID PROPERTY VALUE: " + Utf8ToText(key));
}

// --- Smtp refuses the send before the connect: Done comes before Smtp returns ---

inline constexpr DoneOutcome kNoRecipientAddress{kFailureCode, u"NO RECIPIENT ADDRESS"};
inline constexpr DoneOutcome kNoFromAddress{kFailureCode, u"NO FROM ADDRESS"};
// MimeMultipart is not exactly "mixed", "alternative", "parallel" or "".
inline constexpr DoneOutcome kUnsendableMimeSubType{kFailureCode, u"INVALID MimeMultipartSubType"};

// A property or header field (named by its property or event argument) holds a character that
// would break a command or header line apart. Also the end of a send whose part description
// does so, raised from the body turn with kPartSource.
inline Text InvalidCharacterIn(const Text& field) {
    return u"INVALID CHARACTER IN " + field;
}

// --- Smtp goes on: the caption while the connect runs ---

inline Text ConnectingCaption(const Text& mailServer) {
    return u"CONNECTING TO " + mailServer;
}

// --- The dialogue: a reply that ends the send, which then closes through RSET or QUIT ---

// A reply beginning with "4" or "5"; an OAuth login refused adds what the server said of it.
inline Text RefusedReply(const Text& line, const Text& detail) {
    return detail.empty() ? line : line + u": " + detail;
}
// A positive reply that does not say what the command needs.
inline Text UnexpectedReply(const Text& line) {
    return u"UNEXPECTED REPLY: " + line;
}
// A reply line longer than MaxLineLength; the connection is closed at once.
inline constexpr DoneOutcome kReplyLineTooLong{kFailureCode, u"REPLY LINE TOO LONG"};
// Bytes in the clear after the go-ahead to STARTTLS; the connection is closed at once.
inline constexpr DoneOutcome kUnexpectedDataAfterStartTls{kFailureCode,
                                                          u"UNEXPECTED DATA AFTER STARTTLS REPLY"};
// AcceptPartialRecipients: the message went to some recipients. Done carries kSuccessCode.
inline Text RecipientsRefused(long refused, std::size_t recipients) {
    return AsciiToText(std::to_string(refused) + " OF " + std::to_string(recipients) +
                       " RECIPIENTS REFUSED");
}

// --- Before MAIL FROM: the message needs an extension the server does not offer; QUIT follows

// An envelope address with a non-ASCII local part: only SMTPUTF8 can carry it.
inline Text SmtpUtf8NotOffered(const Text& address) {
    return u"SMTPUTF8 NOT OFFERED: " + address;
}
// Body8Bit (or a raw header with 8-bit bytes) and no 8BITMIME in the EHLO reply.
inline constexpr DoneOutcome k8BitMimeNotOffered{kFailureCode, u"8BITMIME NOT OFFERED"};
// A raw body byte above 127 in a message sent without BODY=8BITMIME: the send ends before the
// final dot, so the server drops the message.
inline constexpr RaisedError kUndeclared8BitData{kFailureCode, "zef.smtpZef.RawMessage",
                                                 u"8-BIT DATA WITHOUT 8BITMIME"};

// --- Logging in (besides the shared kNoOAuthToken) ---

// AutoAuth: the server asks for a login that the credentials given cannot do.
inline constexpr DoneOutcome kNoUsableAuthMechanism{kFailureCode, u"NO USABLE AUTH MECHANISM"};
// SASL failed on the client's side (SCRAM: a wrong server signature, a password SASLprep
// refuses); `why` is the mechanism's own word for it.
inline Text AuthFailed(const std::string& why) {
    return u"AUTH FAILED: " + Utf8ToText(why);
}

// --- The body: MimeHead describes a part that cannot be sent ---

// The source of these errors: the refusals below go back to the socket component as the result
// of SendComplete, and the send ends through the transfer time-out.
inline constexpr const char* kPartSource = "TALVORN.SMTP.SENT";

// OriginalDataFormat of a leaf part begins with neither "B" nor "U".
inline constexpr RaisedError kInvalidDataFormat{error::kInvalidValue, kPartSource,
                                                u"INVALID DataFormat"};
// TramsferEncoding names no encoding the control knows.
inline Error InvalidEncodeType(const Text& transferEncoding) {
    return Error(error::kInvalidValue, kPartSource, u"INVALID ENCODE-TYPE:" + transferEncoding);
}
// A part description that would break the part header apart: the send ends before the dot.
inline Error InvalidCharacterInPart(const Text& field) {
    return Error(kFailureCode, kPartSource, InvalidCharacterIn(field));
}

// --- A failure inside the control (an application handler threw, a routine failed) ---

inline Text UnexpectedError(const std::string& what) {
    return u"UNEXPECTED ERROR: " + Utf8ToText(what);
}
inline constexpr DoneOutcome kUnexpectedError{kFailureCode, u"UNEXPECTED ERROR"};

}  // namespace zef::outcome::smtp
