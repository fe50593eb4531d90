// imapZef: reads one folder of an IMAP mailbox per call of imap and hands every message to the
// application, with the events of popZef.
//
// An application that reads with popZef switches by changing the class and the server: the
// properties of the same names mean the same, the messages come through the same events
// (MailboxEvents) with the same choices, and exactly one Done ends every started transfer.
// What IMAP adds comes through properties and events of its own: the folder, the search, the
// folder list, \Seen, and IDLE.
//
// A transfer: the greeting, CAPABILITY, STARTTLS when asked, the login (LOGIN, or AUTHENTICATE
// with the shared SASL client), ENABLE of UTF8=ACCEPT and IMAP4rev2 where offered, LIST when
// asked, SELECT of Folder (EXAMINE when ReadOnly), UID SEARCH with Search, the sizes of what
// it found, then for each message in UID order: UidlFirst, UidlDone with "UIDVALIDITY.UID" as
// its unique id, TopFirst to TopDone with the header lines, RetrFirst, the message's events
// with its literal streamed into the parser as it arrives (never held whole), and RetrDone.
// Deletions are committed after the walk, and only then: UID STORE +FLAGS.SILENT (\Deleted) of
// exactly the messages the application deleted, then UID EXPUNGE of exactly those (UIDPLUS);
// never a bare EXPUNGE, which would remove messages others marked. A server without UIDPLUS
// gets the flags only, and a Trace says the messages stay until expunged. LOGOUT ends it.
//
// Failures: a refused command ends the transfer with Done -1 naming the command and the
// server's answer ("SELECT \"Work\": NO [NONEXISTENT] ..."), after LOGOUT; a response the
// reader cannot parse ends it with Done -1 "UNREADABLE RESPONSE: <FAULT>", closed at once.
// Neither commits a deletion (DeleteOnError: a refusal commits them before LOGOUT).
//
// Event handlers run synchronously inside the control's socket and timer handlers; an exception
// thrown by one ends the transfer (closed without LOGOUT, nothing deleted) with Done carrying
// its number and description. The control must not be destroyed from inside its own handlers.
#pragma once

#include <functional>
#include <memory>

#include "common/MailboxEvents.h"
#include "common/Types.h"
#include "components/Components.h"
#include "components/PropertyBag.h"

namespace zef {

class imapZef : public MailboxEvents {
  public:
    explicit imapZef(asio::io_context& io);
    explicit imapZef(Components components);
    ~imapZef();
    imapZef(const imapZef&) = delete;
    imapZef& operator=(const imapZef&) = delete;

    // --- properties shared with popZef, persisted under the same names ---
    bool TcpTraceOn() const;
    void TcpTraceOn(bool on);
    long ConnectTimeout() const;  // seconds; below 1 means no limit
    void ConnectTimeout(long seconds);
    long TransTimeout() const;  // seconds of silence allowed, outside IDLE; below 1: no limit
    void TransTimeout(long seconds);
    Text Copyright() const;  // the product banner; writing is ignored
    void Copyright(const Text& ignored);
    const Text& Port() const;  // default "143"; 993 is the usual port of implicit TLS
    void Port(const Text& port);
    bool DeleteOnError() const;  // a refused command commits the deletions before LOGOUT
    void DeleteOnError(bool on);
    bool NestedDelimiters() const;  // as popZef's
    void NestedDelimiters(bool on);
    bool ParseMessages() const;  // as popZef's
    void ParseMessages(bool on);
    long long MaxLineLength() const;  // as popZef's; also bounds one response line
    void MaxLineLength(long long bytes);
    // 0 no TLS (the default); 1 TLS from the first byte; 2 STARTTLS required: after the
    // greeting the control sends STARTTLS and nothing else until the handshake has succeeded.
    // Any other value raises error 380 and keeps the old value.
    long Security() const;
    void Security(long mode);
    bool VerifyCert() const;
    void VerifyCert(bool on);
    const Text& CAFile() const;
    void CAFile(const Text& path);
    // The server's CAPABILITY list, spaces between the names, as last received; "" before.
    const Text& Capabilities() const;
    // The response code of the refusal that Done reports ("NONEXISTENT",
    // "AUTHENTICATIONFAILED", ...); "" when it has none, and at the start of each transfer.
    const Text& ResponseCode() const;
    // As popZef's: "" LOGIN; "PLAIN", "SCRAM-SHA-256", "XOAUTH2", "OAUTHBEARER" AUTHENTICATE.
    const Text& SaslMechanism() const;
    void SaslMechanism(const Text& name);
    bool AutoAuth() const;  // as popZef's, over the AUTH= capabilities; LOGIN last
    void AutoAuth(bool on);
    bool XOAuth2OneStep() const;  // XOAUTH2's response on the AUTHENTICATE line (with SASL-IR)
    void XOAuth2OneStep(bool on);
    const Text& OAuthToken() const;  // never persisted, never traced
    void OAuthToken(const Text& token);

    // --- properties of IMAP, persisted under these names ---
    // The folder read, in UTF-8 ("INBOX", "Archive/2026", "仕事"); sent in modified UTF-7, or
    // as UTF-8 where the server accepts it. "" reads no folder (with ListFolders: list only).
    // Default "INBOX". A name with CR, LF or NUL raises error 380.
    const Text& Folder() const;
    void Folder(const Text& name);
    // Which messages are read: "ALL" (the default), "UNSEEN", "SINCE 1-Dec-2026", or
    // "UNSEEN SINCE 1-Dec-2026". Anything else raises error 380.
    const Text& Search() const;
    void Search(const Text& criteria);
    // True: EXAMINE instead of SELECT; nothing is deleted or flagged, whatever the events say.
    bool ReadOnly() const;
    void ReadOnly(bool on);
    // True: LIST "" "*" after the login, with a FolderListed event per folder.
    bool ListFolders() const;
    void ListFolders(bool on);
    // True: the messages retrieved and kept are flagged \Seen after the walk (they are read
    // with BODY.PEEK, which leaves the flag as it was).
    bool MarkSeen() const;
    void MarkSeen(bool on);
    // True: after the walk the control stays in IDLE (where offered) and walks each new message
    // as it arrives, until Abend; IDLE is issued again every IdleTime seconds (default 1740,
    // under the 30 minutes after which servers may end a silent session).
    bool Idle() const;
    void Idle(bool on);
    long IdleTime() const;
    void IdleTime(long seconds);

    // False (the default): one command at a time. True: while a message is retrieved, the UID
    // FETCHes of the next few go ahead when this one went straight to its retrieval (no TOP),
    // so that the server sends them without waiting for a round trip. Events come as without
    // it; when the application then takes another way with one of them (deletes or skips it
    // unread, or asks TOP first), the bodies sent ahead are read and dropped. Persisted as
    // "Pipelining".
    bool Pipelining() const;
    void Pipelining(bool on);

    // --- methods ---
    // Starts one folder transfer; raises error 59 while one runs. xlines is taken for
    // popZef's sake: TOP gives the header lines, IMAP has no count of body lines to add.
    void imap(const Text& xserv, const Text& xuser, const Text& xpass, long xlines = 0);
    // Stops the running transfer at the next message (or at once in IDLE): the deletions so
    // far are committed when CancelDelete is false, dropped when true; then LOGOUT.
    void Abend(bool CancelDelete = true);
    Text Any2Unicode(const Bytes& AnsiText);
    const Text& Caption() const;

    void ReadProperties(const PropertyBag& bag);
    void WriteProperties(PropertyBag& bag) const;

    // --- events of IMAP ---
    // One folder of the LIST answer: its name in UTF-8, its hierarchy delimiter ("" for none)
    // and its attributes as sent ("\HasNoChildren \Sent").
    std::function<void(const Text& Name, const Text& Delimiter, const Text& Attributes)>
        FolderListed;
    // The folder is selected: its UIDVALIDITY (a new value means its UIDs name other messages
    // than before) and the number of messages in it.
    std::function<void(const Text& Name, const Text& UidValidity, long Exists)> FolderSelected;
    // IDLE has begun (the walk is over and the control waits for new mail).
    std::function<void()> Idling;
    // With MarkSeen on: a message is kept (RetrDone left CancelDelete true) and is to be flagged
    // \Seen after the walk. MarkSeen set false leaves its flags as they were: for a message the
    // application kept because it could not save it, which a search for UNSEEN must find again.
    std::function<void(long id, bool& MarkSeen)> MarkSeenAsked;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zef
