// smtpZef: sends one mail message per call of Smtp to an SMTP server.
//
// The control is event-driven: Smtp returns at once and the send goes on in the handlers of
// its socket and timer, on the application's event loop. The application configures it with
// properties, supplies the body through MoreData (a plain message) or MimeHead and MimeBody
// (a multipart message), and learns the outcome from exactly one Done per started send.
// Done may run before Smtp returns when the send is refused at once.
#pragma once

#include <functional>
#include <memory>

#include "common/Types.h"
#include "common/Variant.h"
#include "components/Components.h"
#include "components/PropertyBag.h"

namespace zef {

class smtpZef {
  public:
    // Real components on the given event loop.
    explicit smtpZef(asio::io_context& io);
    // Injected components (tests, special hosts).
    explicit smtpZef(Components components);
    ~smtpZef();
    smtpZef(const smtpZef&) = delete;
    smtpZef& operator=(const smtpZef&) = delete;

    // --- properties ---
    bool TcpTraceOn() const;  // forward the socket's own trace texts as Trace
    void TcpTraceOn(bool on);
    const Variant& ToAddr() const;  // a String, or a StringArray read from index 1 up
    void ToAddr(const Variant& recipients);
    // Sender; blank means the header's From field. "<>" (or any form whose address is empty) is
    // the null sender, sent as MAIL FROM:<> whatever AngleBracketType says.
    const Text& FromAddr() const;
    void FromAddr(const Text& sender);
    long ConnectTimeout() const;  // seconds; below 1 means no limit
    void ConnectTimeout(long seconds);
    long TransTimeout() const;  // seconds of silence allowed; below 1 means no limit
    void TransTimeout(long seconds);
    long Auth() const;  // 0 none, 1 CRAM-MD5, 2 LOGIN, 3 PLAIN; else error 380
    void Auth(long mechanism);
    const Text& KanjiIn() const;  // ISO-2022-JP designations written by the converter
    void KanjiIn(const Text& escape);
    const Text& KanjiOut() const;
    void KanjiOut(const Text& escape);
    const Text& User() const;
    void User(const Text& user);
    const Text& Pass() const;
    void Pass(const Text& password);
    const Text& MimeMultipart() const;  // "" or mixed, alternative, parallel; else error 380
    void MimeMultipart(const Text& subtype);
    int AngleBracketType() const;  // 1 FROM:ADDR, 2 FROM: ADDR, other FROM:<ADDR>
    void AngleBracketType(int type);
    Text Copyright() const;  // the product banner; writing is ignored
    void Copyright(const Text& ignored);
    const Text& Hostname() const;  // HELO/EHLO argument; "" means the local host name
    void Hostname(const Text& name);
    const Text& Port() const;
    void Port(const Text& port);
    const Text& CharSet() const;  // charset parameter of the top-level multipart header
    void CharSet(const Text& charset);
    long Fold78() const;  // passed to the codec's FoldLines at each send
    void Fold78(long mode);
    // The longest reply line accepted, in bytes without its line end; default 1 MiB (a reply
    // line has at most 512 bytes by RFC 5321), not persisted. A longer line, or an unfinished
    // one that grows past it, ends the send: the connection is closed and Done comes with -1
    // and "REPLY LINE TOO LONG", so a broken or hostile server cannot make the control buffer
    // without bound. A value below 1 raises error 380 and keeps the old value.
    long long MaxLineLength() const;
    void MaxLineLength(long long bytes);
    // 0 no TLS (the default); 1 TLS from the first byte (implicit TLS, as on port 465);
    // 2 STARTTLS required: after the EHLO reply (EHLO is sent even with Auth 0) the control
    // sends STARTTLS and nothing else until the handshake has succeeded, then EHLO again and
    // AUTH or MAIL. A refused STARTTLS ends the send with Done -1 and the reply line. A failed
    // handshake or certificate check ends it with Done carrying the socket's number and
    // description. Any other value raises error 380 and keeps the old value.
    long Security() const;
    void Security(long mode);
    // Check the server's certificate: issued by a trusted CA (the system's, and CAFile's) for the
    // MailServer host. Default True; False accepts any certificate.
    bool VerifyCert() const;
    void VerifyCert(bool on);
    const Text& CAFile() const;  // a PEM file of further trusted CAs; "" for none
    void CAFile(const Text& path);
    // False (the default): the header goes out after an X-TALVORN line, converted and with
    // encoded words, and MoreData pieces are UTF-16LE text. True: the message is sent as the
    // application wrote it. MailHeader goes out as its UTF-8 bytes with no line of the
    // control's own and no conversion or encoding; MoreData pieces are bytes sent as they
    // stand (8-bit bytes kept). The control still makes every line end CR LF (a lone CR or LF
    // becomes CR LF), doubles a "." at the start of a line, and ends the DATA phase with
    // "." CR LF, adding a CR LF before it only when the message did not end with one. A
    // multipart message (MimeMultipart set) keeps its part headers and encodings. A raw
    // message always greets with EHLO: how its bytes may go depends on the server's extensions.
    bool RawMessage() const;
    void RawMessage(bool on);
    // The charset of the text the control converts: the encoded words of the header, part
    // names and "U" text parts. "iso-2022-jp" (the default): as always. "utf-8": UTF-8 encoded
    // words; a part name also as an RFC 2231 filename* parameter; a text part labelled
    // charset=utf-8 and sent in base64 or quoted-printable as the part asks, or 8bit when the
    // part asks for 8bit and BODY=8BITMIME went out (else quoted-printable); MoreData text as
    // UTF-8 bytes. "auto": ISO-2022-JP when every character of MailHeader fits it (the CP932
    // extensions included), else UTF-8, for the whole message; an application that knows its
    // body up front should choose itself. Any case; another value raises error 380.
    const Text& TextCharset() const;
    void TextCharset(const Text& charset);
    // The application says the message holds 8-bit bytes (a RawMessage body, parts sent as
    // 8bit); read just before MAIL FROM, after CapabilitiesReceived. MAIL FROM carries
    // BODY=8BITMIME, and a server that does not offer 8BITMIME gets
    // no message (Done -1 "8BITMIME NOT OFFERED" before MAIL FROM). A raw header with bytes
    // above 127 counts as 8-bit by itself. Without it, a raw body byte above 127 ends the send
    // before the final dot (Done -1 "8-BIT DATA WITHOUT 8BITMIME"). Default False, not saved.
    // Envelope addresses go out as UTF-8 with SMTPUTF8 when one of them (or a raw header)
    // holds a non-ASCII character and the server offers it; without the offer a non-ASCII
    // domain becomes its A-label (in the header's addresses too) and a non-ASCII local part
    // ends the send before MAIL FROM (Done -1 "SMTPUTF8 NOT OFFERED: " and the address).
    bool Body8Bit() const;
    void Body8Bit(bool on);

    // --- what the server announces, SASL logins, refused recipients ---
    // The keyword lines of the last EHLO reply (after STARTTLS: of the second EHLO), without
    // their reply codes, CR LF between; "" before the first EHLO of a send (a send in a kept
    // session shows the session's). Read-only.
    const Text& Capabilities() const;
    // The RFC 3463 code of the last reply ("5.7.8") when the server announced
    // ENHANCEDSTATUSCODES; "" otherwise. Reset at each send. Read-only.
    const Text& EnhancedStatus() const;
    // "" (the default: the login Auth says), or "XOAUTH2", "OAUTHBEARER", "SCRAM-SHA-256"
    // (any case), which replaces Auth's login; anything else raises error 380.
    const Text& SaslMechanism() const;
    void SaslMechanism(const Text& mechanism);
    // True: the control picks the strongest login the server offers that its credentials
    // allow (a token: OAUTHBEARER, XOAUTH2; a password: SCRAM-SHA-256, CRAM-MD5, PLAIN,
    // LOGIN), in place of Auth and SaslMechanism. Default False.
    bool AutoAuth() const;
    void AutoAuth(bool on);
    // The OAuth 2.0 access token of XOAUTH2 and OAUTHBEARER; never saved, never traced.
    const Text& OAuthToken() const;
    void OAuthToken(const Text& token);
    // True: a refused recipient does not end the send; RecipientRefused names it, the message
    // goes to the accepted ones, and Done (code 0) says how many were refused. The send fails
    // only when every recipient is refused. Default False: the first refusal ends the send.
    bool AcceptPartialRecipients() const;
    void AcceptPartialRecipients(bool on);

    // --- many messages over one connection ---
    // False (the default): every Smtp connects, sends and ends with QUIT. True: after a message
    // is taken (or refused, once the RSET that follows is answered) the connection stays open
    // and Done comes at once; the next Smtp to the same server, Port, Security, Hostname and
    // login goes on in it with MAIL FROM. A send to another server or with another login first
    // ends the session with QUIT. The control greets with EHLO. A session the server ended
    // while idle is no error: the next Smtp connects anew, once. Exactly one Done per Smtp.
    bool KeepSession() const;
    void KeepSession(bool on);
    // Seconds a kept session waits for the next Smtp before QUIT ends it; default 30, below 1
    // means no limit.
    long SessionIdleTime() const;
    void SessionIdleTime(long seconds);
    // True: when the server announces PIPELINING (RFC 2920), MAIL FROM, every RCPT TO and DATA
    // go out in one write and their replies are read in order; refused recipients are reported
    // as without it. The control then greets with EHLO. Default False.
    // With KeepSession as well, messages may follow one another without a pause: see EndOfData.
    bool Pipelining() const;
    void Pipelining(bool on);
    // Below 1 (the default): each turn of the body (a MoreData or MimeBody piece, a pass of part
    // headers) is one write, and SendComplete brings the next. N: right after the header block
    // the turns follow one another at once, into one write, until it holds N bytes or the
    // message has ended; the next write starts at SendComplete. A message smaller than N then
    // goes out in one write with its end of data (and the next message's envelope, see
    // EndOfData). At most N bytes and one piece are held. Not persisted.
    long BodyWriteSize() const;
    void BodyWriteSize(long bytes);

    // --- delivery status notifications (RFC 3461), sent only when the server announces DSN ---
    // NOTIFY of every RCPT TO: "" (the default: none), "NEVER", or SUCCESS, FAILURE and DELAY
    // joined by commas (any case); persisted. Another value raises error 380.
    const Text& DsnNotify() const;
    void DsnNotify(const Text& notify);
    // RET of MAIL FROM: "" (none), "FULL" or "HDRS" (any case); persisted; else error 380.
    const Text& DsnReturn() const;
    void DsnReturn(const Text& ret);
    // ENVID of MAIL FROM, sent as xtext: printable ASCII of at most 100 characters, else error
    // 380; "" for none. Not persisted: it names one message.
    const Text& DsnEnvelopeId() const;
    void DsnEnvelopeId(const Text& envelopeId);

    // --- methods ---
    // Starts one send; raises error 59 while a send runs.
    void Smtp(const Text& MailServer, const Text& MailHeader);
    // Ends a kept session with QUIT: at once when no send runs, else after the running send.
    void CloseSession();
    // The one-line status caption.
    const Text& Caption() const;

    // Persistence of the saved properties (a value equal to its default is not written).
    void ReadProperties(const PropertyBag& bag);
    void WriteProperties(PropertyBag& bag) const;

    // --- events ---
    std::function<void(long Code, const Text& msg)> Done;
    std::function<void(const Text& msg)> Trace;
    std::function<void(long id, Bytes& Data)> MoreData;  // Data: UTF-16LE text
    std::function<void(long Depth, long Part, Text& OriginalDataFormat, Text& ContentType,
                       Text& ContentName, Text& ContentCharset, Text& TramsferEncoding,
                       Text& AdditionalHeader)>
        MimeHead;
    std::function<void(long Depth, long Part, Bytes& Data)> MimeBody;
    std::function<void(const Text& caption)> CaptionChanged;
    std::function<void()> CapabilitiesReceived;  // after each EHLO reply
    // Just before an OAuth AUTH: `token` holds OAuthToken and may be replaced by a fresh one
    // for this send.
    std::function<void(Text& token)> TokenNeeded;
    std::function<void(const Text& address, const Text& reply)> RecipientRefused;
    // Raised just before a message's end of data goes out, when KeepSession and Pipelining are
    // on, the server offers PIPELINING and no CloseSession is pending. A Smtp call made in the
    // handler (to the same server, with the same login; else error 59) starts the next message
    // there: its MAIL FROM, RCPT TO and DATA go out behind the end of data in the same write
    // (RFC 2920), so each message costs one round trip instead of two. Set the next message's
    // properties before that call, as before any Smtp; MoreData, MimeHead and MimeBody ask for
    // its body only after the running message's Done. Replies stay with their own message: the
    // running message's Done comes first, from the reply to its end of data (a 4xx or 5xx there
    // fails that message alone, with no RSET: the next one goes on); a refused MAIL FROM or
    // RCPT TO of the next message is reported on the next message; a next send refused before
    // any command (as Smtp refuses one at once) gets its Done right after the running
    // message's. A connection lost before the reply to the end of data ends the running message
    // with Done -2, and the next connects anew as a send in a kept session found ended would.
    // Without a handler, or without a Smtp call in it, a message ends as always.
    std::function<void()> EndOfData;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zef
