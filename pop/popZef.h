// popZef: reads one POP3 mailbox per call of pop and hands every message to the application.
//
// The control is event-driven: pop returns at once and the transfer goes on in the handlers of
// its socket and timer, on the application's event loop. For each message the application
// hears its unique id, its first lines, its header fields, its MIME structure and its decoded
// data, and decides whether it is deleted. Exactly one Done ends every started transfer; it may
// run before pop returns when the connect is refused at once.
//
// Event handlers run synchronously inside the control's socket and timer handlers. An
// exception thrown by a handler does not reach the event loop: it ends the transfer (the
// connection is closed, the message being handled is not deleted) and Done carries the
// number and description of a zef::Error, or -1 and the exception's text. An exception thrown
// by the Done handler itself is dropped. The control must not be destroyed from inside one of
// its own event handlers.
//
// Bytes of an unfinished last line stay buffered when a connection ends and are joined to the
// first line of the next transfer, as the control always did; only a transfer that the
// control ends itself (a failing handler, a line over MaxLineLength) drops them.
//
// A retrieved message may hold at most 1000 multiparts open at once (its own included); one
// more ends the transfer with Done -1 "MULTIPART NESTED TOO DEEPLY" and the message is kept.
#pragma once

#include <functional>
#include <memory>

#include "common/MailboxEvents.h"
#include "common/Types.h"
#include "components/Components.h"
#include "components/PropertyBag.h"

namespace zef {

class popZef : public MailboxEvents {
  public:
    explicit popZef(asio::io_context& io);
    explicit popZef(Components components);
    ~popZef();
    popZef(const popZef&) = delete;
    popZef& operator=(const popZef&) = delete;

    // --- properties ---
    bool TcpTraceOn() const;
    void TcpTraceOn(bool on);
    long ConnectTimeout() const;  // seconds; below 1 means no limit
    void ConnectTimeout(long seconds);
    long TransTimeout() const;  // seconds of silence allowed; below 1 means no limit
    void TransTimeout(long seconds);
    bool APOP() const;  // log in with APOP instead of USER/PASS
    void APOP(bool on);
    Text Copyright() const;  // the product banner; writing is ignored
    void Copyright(const Text& ignored);
    const Text& Port() const;
    void Port(const Text& port);
    bool DeleteOnError() const;  // every RSET becomes QUIT, committing marked deletions
    void DeleteOnError(bool on);
    // False (the default): the message parser follows the multipart structure as it always
    // did, so after a nested multipart has closed only the delimiter line of the enclosing one
    // counts, and its closing delimiter there is ignored. Either way a delimiter line may end in
    // spaces and tabs (transport padding). True: between parts, the closing
    // delimiter of the current multipart closes it as it does after part data; and a delimiter
    // line of an enclosing multipart, met while a nested one is open (its closing delimiter
    // missing or passed unseen), closes the nested ones, each with its MultiPartClose, and is
    // then taken by that enclosing multipart. Persisted as "NestedDelimiters".
    bool NestedDelimiters() const;
    void NestedDelimiters(bool on);
    // True (the default): every retrieved message is parsed into header, multipart and part
    // events. False: a retrieved message raises RetrFirst, a RetrLine per line and RetrDone, and
    // nothing between, for an application that keeps messages as they are received and would
    // only pay for parsing it does not use. Persisted as "ParseMessages".
    bool ParseMessages() const;
    void ParseMessages(bool on);
    // False (the default): every reply is taken as the answer to the command it follows. True:
    // a reply that cannot be that answer ends the transfer at once, closed without QUIT so that
    // no deletion of it is committed, with Done -1 "SERVER REPLIES OUT OF STEP ...": a line
    // other than "+OK" or "-ERR" (or "+" to AUTH) where a status was due, a LIST or UIDL reply
    // for another message number, or a retrieved message of less than a quarter of its LIST
    // size and over 32 KiB short of it. A server that sends lines nobody asked for shifts every
    // later reply, and a TOP response could otherwise pass for the message. Persisted as
    // "DesyncGuard".
    bool DesyncGuard() const;
    void DesyncGuard(bool on);
    // The longest received line accepted, in bytes; default 64 MiB, not persisted. A longer
    // line (or an unfinished one that grows past it) ends the transfer: the connection is
    // closed and Done comes with -1 and "LINE TOO LONG", so a broken or hostile server cannot
    // make the control buffer without bound. The same limit bounds one header field of a
    // retrieved message with its continuation lines: past it Done comes with -1 and "HEADER
    // FIELD TOO LONG". A value below 1 raises error 380.
    long long MaxLineLength() const;
    void MaxLineLength(long long bytes);
    // 0 no TLS (the default); 1 TLS from the first byte (implicit TLS, as on port 995);
    // 2 STLS required: after the greeting the control sends STLS and nothing else until the
    // handshake has succeeded, then APOP (with the greeting's time stamp) or USER and PASS. A
    // refused STLS ends the transfer with Done -1 and the reply line, nothing sent in the clear.
    // A failed handshake or certificate check ends it with Done carrying the socket's number
    // and description. Any other value raises error 380 and keeps the old value.
    long Security() const;
    void Security(long mode);
    // Check the server's certificate: issued by a trusted CA (the system's, and CAFile's) for the
    // xserv host. Default True; False accepts any certificate.
    bool VerifyCert() const;
    void VerifyCert(bool on);
    const Text& CAFile() const;  // a PEM file of further trusted CAs; "" for none
    void CAFile(const Text& path);

    // --- capabilities and response codes ---
    // False (the default): the dialogue goes from the greeting straight to the login, as it
    // always did. True: after the greeting, and again after the STLS handshake, the control
    // sends CAPA (RFC 2449) and keeps the answer in Capabilities; a server that refuses CAPA
    // gets the login as before. AutoAuth or a SaslMechanism asks CAPA as well. Persisted as
    // "AskCapabilities".
    bool AskCapabilities() const;
    void AskCapabilities(bool on);
    // False (the default): one command at a time. True: on a server whose CAPA names
    // PIPELINING, while a message is retrieved the commands of the next one (LIST, UIDL and TOP
    // as the last message had them, and RETR) go ahead when the last message retrieved was
    // kept, so that the server prepares it while this one is taken in. Events and traces come
    // as without it; a command that went ahead shows in the trace when the dialogue reaches
    // it, and when the dialogue takes another way its reply is read and dropped. Asks CAPA as
    // AskCapabilities does. Persisted as "Pipelining".
    bool Pipelining() const;
    void Pipelining(bool on);
    // The CAPA lines of this transfer, CR LF between them (after STLS only the second
    // answer's); "" before CAPA was answered, or when it was refused.
    const Text& Capabilities() const;
    // The code in brackets (RFC 2449, 3206) of the refusal that Done reports, "-ERR [CODE] ...":
    // "IN-USE", "LOGIN-DELAY", "SYS/TEMP" (try later), "SYS/PERM", "AUTH" (the credentials were
    // wrong), ...; "" when it has none, and at the start of each transfer. Done still carries
    // the whole line.
    const Text& ResponseCode() const;

    // --- SASL login (RFC 5034 AUTH) ---
    // "" (the default): APOP or USER/PASS as always. "PLAIN", "SCRAM-SHA-256" (with xpass as
    // the password), "XOAUTH2" or "OAUTHBEARER" (with OAuthToken) log in with AUTH instead;
    // the names are taken in any case and kept in upper case. Any other name raises error 380
    // and keeps the old value. A refused AUTH ends the transfer with Done -1 and the refusal,
    // followed in brackets by what the server's OAuth error said (its status, scope, schemes)
    // or by what was wrong with its SCRAM messages. SCRAM-SHA-256 takes "+OK" only after the
    // server proved it knows the password: else Done -1 "SCRAM: ...". Persisted as
    // "SaslMechanism".
    const Text& SaslMechanism() const;
    void SaslMechanism(const Text& name);
    // True: the control picks the strongest login the server's CAPA offers for what it has:
    // with a token (OAuthToken, or a TokenNeeded handler) OAUTHBEARER, then XOAUTH2; with a
    // password SCRAM-SHA-256, then PLAIN (not over APOP), then APOP or USER/PASS as set.
    // Ignored while SaslMechanism is set. Default False, persisted as "AutoAuth".
    bool AutoAuth() const;
    void AutoAuth(bool on);
    // False (the default): XOAUTH2 sends "AUTH XOAUTH2" and the token after the server's "+"
    // (two steps, as large providers require). True: the token on the AUTH line. The other
    // mechanisms put their first response on the AUTH line when it fits in 255 octets.
    // Persisted as "XOAuth2OneStep".
    bool XOAuth2OneStep() const;
    void XOAuth2OneStep(bool on);
    // The OAuth 2.0 access token for XOAUTH2 and OAUTHBEARER; never persisted, never traced.
    const Text& OAuthToken() const;
    void OAuthToken(const Text& token);

    // --- methods ---
    // Starts one mailbox transfer; raises error 59 while one runs.
    void pop(const Text& xserv, const Text& xuser, const Text& xpass, long xlines);
    // Stops the running transfer at the next message: QUIT (keep deletions) when
    // CancelDelete is false, RSET (undo them) when true.
    void Abend(bool CancelDelete = true);
    // Japanese text in any encoding to text.
    Text Any2Unicode(const Bytes& AnsiText);
    const Text& Caption() const;

    void ReadProperties(const PropertyBag& bag);
    void WriteProperties(PropertyBag& bag) const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zef
