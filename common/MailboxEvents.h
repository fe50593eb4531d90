// The events of a control that reads a mailbox: popZef and imapZef raise the same ones, with the
// same arguments and the same choices, so that an application (or zefmail) hands either control
// to the same handlers. Each event is a member the application sets; an unset one is skipped
// and its by-reference arguments keep the values they were given.
//
// A transfer walks the messages in order, numbered from 1 (`id`): for each, UidlFirst and
// UidlDone (its unique id, and whether to delete it unread), TopFirst to TopDone (its header
// lines), RetrFirst (its size, and whether to skip it), the events of the retrieved message,
// and RetrDone (whether to keep it). Exactly one Done ends every started transfer.
#pragma once

#include <functional>
#include <utility>

#include "common/Types.h"

namespace zef {

// Raises an application event; an unset one is skipped and its by-reference arguments keep
// the values they were given.
template <class Handler, class... Args>
void Raise(const Handler& handler, Args&&... args) {
    if (handler) {
        handler(std::forward<Args>(args)...);
    }
}

struct MailboxEvents {
    // --- the dialogue ---
    std::function<void(long Code, const Text& msg)> Done;
    std::function<void(const Text& msg)> Trace;
    std::function<void(long Many, long MuchAll)> Stat;
    std::function<void(long id, bool& CancelUidl)> UidlFirst;
    std::function<void(long id, const Text& Uidl, bool& Delete)> UidlDone;
    std::function<void(long id, bool& CancelTop)> TopFirst;
    std::function<void(long id, const Text& line)> TopNext;
    std::function<void(long id, bool& Delete)> TopDone;
    std::function<void(long id, long Much, bool& CancelRetr)> RetrFirst;
    std::function<void(long id, bool& CancelDelete)> RetrDone;
    // Opt-in: each line of a retrieved message as it arrives, before the parser reads it:
    // without its line end (and, over POP3, dot-unstuffed), bytes as received (a CR inside the
    // line stays). Raised between RetrFirst and RetrDone, ahead of the parsing events of the
    // same line; not for TOP. Unset, the lines are not copied.
    std::function<void(long id, const Bytes& line)> RetrLine;

    // --- one retrieved message ---
    std::function<void(long id)> MailHeadFirst;
    std::function<void(long id, const Text& FieldName, const Text& FieldValue)> MailHeadNext;
    std::function<void(long id)> MailHeadDone;
    std::function<void(long id, long Part)> MimeHeadFirst;
    std::function<void(long id, long Part, const Text& FieldName, const Text& FieldValue)>
        MimeHeadNext;
    std::function<void(long id, long Part)> MimeHeadDone;
    std::function<void(long id, long ParentPart, const Text& ContentType, const Text& ContentName,
                       const Text& ContentCharset, const Text& TransferEncoding, Text& Tag)>
        MultiPartOpen;
    std::function<void(long id, const Text& Tag)> MultiPartClose;
    std::function<void(long id, long NewPart, const Text& ContentType, const Text& ContentName,
                       const Text& ContentCharset, const Text& TransferEncoding, bool& IsText)>
        MimeDataFirst;
    // Data: decoded bytes, or UTF-16LE text when IsText was left true. The application may
    // move the bytes out; the control does not read them back.
    std::function<void(long id, long Part, Bytes& Data)> MimeDataNext;
    std::function<void(long id, long Part)> MimeDataDone;

    std::function<void(const Text& caption)> CaptionChanged;
    // Capabilities has been filled from the server's answer (after the greeting, and again
    // after the STARTTLS or STLS handshake).
    std::function<void()> CapabilitiesReceived;
    // Raised just before an XOAUTH2 or OAUTHBEARER login with OAuthToken in `token`, so that
    // the application can put a fresh token there; an empty token ends the transfer with
    // Done -1 "NO OAUTH TOKEN".
    std::function<void(Text& token)> TokenNeeded;
};

}  // namespace zef
