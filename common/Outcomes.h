// The outcomes that smtpZef, popZef and imapZef share: Done codes and messages, captions and the
// errors raised to a caller. Every outcome a control reports is named once, in this catalogue:
// the shared entries here, each control's own in smtp/, pop/ and imap/Outcomes.h. The texts are
// what applications see and compare, so they stay exactly as they are.
#pragma once

#include <string>

#include "common/Error.h"
#include "common/Types.h"
#include "common/Unicode.h"

namespace zef::outcome {

// What Done reports: a code and a message.
struct DoneOutcome {
    long code;
    const char16_t* message;
};

// An error raised to the caller of a method or a property: number, source and description.
struct RaisedError {
    long number;
    const char* source;
    const char16_t* description;

    Error AsError() const { return Error(number, source, description); }
};

// --- Done codes that say no more than how the transfer went ---

// The transfer ended with QUIT (or, in popZef, after Abend) and the connection closed.
inline constexpr long kSuccessCode = 0;
// A refused reply (the message is the line), a refused start (the reason), or a failure inside
// the control (what failed).
inline constexpr long kFailureCode = -1;

// The failure code for an error number: 0 would read as success.
inline long FailureCodeFor(long number) {
    return number != 0 ? number : kFailureCode;
}

// --- Starting a transfer while one runs: raised to the caller of Smtp or pop ---

inline constexpr RaisedError kBusy{error::kBusy, "TALVORN:Smtp", u"処理中です。"};

// --- The connect failed inside Smtp or pop: Done carries the error's number and description ---

inline Text ConnectErrorCaption(long number, const Text& description) {
    return u"Connect Error(" + AsciiToText(std::to_string(number)) + u")" + description;
}

// --- The dialogue runs: shown on every arrival of data ---

inline constexpr const char16_t* kProcessingCaption = u"PROCESSING";

// --- Logging in with a token: neither the property nor TokenNeeded gave one ---

inline constexpr DoneOutcome kNoOAuthToken{kFailureCode, u"NO OAUTH TOKEN"};

// --- The guard timer ran out; the connection is closed and Done follows from Closed ---

inline constexpr DoneOutcome kConnectTimeout{-3, u"connect timeout"};  // before Connected
inline constexpr DoneOutcome kTransTimeout{-4, u"trans timeout"};      // silence in the dialogue

// --- The connection closed: the caption after it, and Done ---

// A code was set before: a refusal, a failure, a time-out, or a SocketError, whose own number
// and description Done then carries.
inline constexpr const char16_t* kFailCaption = u"DONE(FAIL)";
// The connection closed before the dialogue reached its end and no code was set.
inline constexpr const char16_t* kUnexpectedDisconnectCaption = u"DONE(FAIL UNEXPECTED DISCONNECT)";
inline constexpr DoneOutcome kUnexpectedDisconnect{-2, u"UNEXPECTED DISCONNECT"};
// The dialogue reached its end: Done carries kSuccessCode and "" (smtpZef names recipients
// refused under AcceptPartialRecipients there).
inline constexpr const char16_t* kCompleteCaption = u"DONE(COMPLETE)";

// --- Setting MaxLineLength below 1: raised with each control's own source ---

inline constexpr const char16_t* kInvalidPropertyValue = u"Invalid property value";

// --- The mailbox readers (popZef, imapZef) ---

// Loading saved properties: a stored value that is not of the property's kind, raised with the
// control's own source ("zef.popZef.ReadProperties").
template <const char* source>
Error TypeMismatch(const std::string& key) {
    constexpr long kTypeMismatchNumber = 13;  // the host's own number for it
    return Error(kTypeMismatchNumber, source, u"Type mismatch: " + Utf8ToText(key));
}

// The transfer is refused before the connect, Done and the caption coming before the call
// returns: a login argument that could smuggle further commands to the server.
inline constexpr DoneOutcome kInvalidUser{kFailureCode,
                                          u"INVALID xuser: CR, LF OR NUL NOT ALLOWED"};
inline constexpr DoneOutcome kInvalidPassword{kFailureCode,
                                              u"INVALID xpass: CR, LF OR NUL NOT ALLOWED"};

// A received line longer than MaxLineLength; the connection is closed at once.
inline constexpr DoneOutcome kLineTooLong{kFailureCode, u"LINE TOO LONG"};

// SCRAM-SHA-256: the server said yes before its proof was checked.
inline constexpr DoneOutcome kServerNotProven{
    kFailureCode, u"SCRAM: THE SERVER DID NOT PROVE IT KNOWS THE PASSWORD"};

// A failure inside the control that says nothing of itself.
inline constexpr DoneOutcome kUnknownError{kFailureCode, u"UNKNOWN ERROR"};

}  // namespace zef::outcome
