// The inside of smtpZef: its properties, the per-send state shared by the start of a send, the
// dialogue, the guard and the body transfer, and the private routines of each. Each concern
// lives in its own source file:
//   Properties.cpp         creation, property accessors, their validation and persistence,
//                          caption, events
//   StartSend.cpp          Smtp: refusals, addresses, header block, connect
//   Dialogue.cpp           DataArrival: reply lines and the positive-reply table
//   Commands.cpp           SendRaw, SendText, SendLine, SendCommand and the AUTH answers
//   TimeoutsAndClosing.cpp guard timer, Connected, Closed, SocketError, SocketTrace, failures
//   BodyTransfer.cpp       SendComplete: plain body through MoreData, MIME body through
//                          MimeHead and MimeBody
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/MultiPart.h"
#include "common/Stack.h"
#include "common/Types.h"
#include "common/Variant.h"
#include "components/Components.h"
#include "components/PropertyBag.h"
#include "components/propertybag/PropertyTable.h"
#include "components/sasl/SaslClient.h"
#include "smtp/Capabilities.h"
#include "smtp/Outcomes.h"
#include "smtp/PartHeader.h"
#include "smtp/RawLines.h"
#include "smtp/ReplyLineReader.h"
#include "smtp/smtpZef.h"

namespace zef {

// The name of the last command sent. Every command word doubles as its state name, so the
// reply to a command is handled by the row of that command.
enum class DialogueState {
    kInit,
    kHelo,
    kEhlo,
    kAuth,
    kAuthData,
    kAuthData0,
    kAuthData1,
    kAuthScram,   // the SCRAM client-final message sent
    kAuthCancel,  // the answer to a refusal's continuation, or "*" ending the exchange
    kStartTls,
    kMail,
    kRcpt,
    kData,
    kTransData,
    kRset,
    kQuit,
};

// "HELO", "AUTHDATA0", ...: the command word, and the state's name in traces.
Text StateName(DialogueState state);

// The guard timer's phases.
enum GuardPhase : long { kNoGuard = 0, kConnectGuard = 1, kTransferGuard = 2, kIdleGuard = 3 };

// SendPhase values.
enum SendPhase : long { kIdle = 0, kSending = 1, kClosing = 2 };

namespace smtp {

// The persisted properties with their defaults (Hostname's is the local host name, set at
// creation), read directly by smtpZef's accessors.
struct Settings {
    Text port = u"25";
    Text hostname;
    long auth = 0;
    Text user;
    Text pass;  // stored as plain text, as the bag's owner expects
    int angleBracketType = 0;
    Text kanjiIn = u"$B";
    Text kanjiOut = u"(J";
    long fold78 = 1;
    Text charSet = u"iso-2022-jp";
    long connectTimeout = 0;
    long transTimeout = 0;
    long security = 0;  // 0 none, 1 implicit TLS, 2 STARTTLS required
    bool verifyCert = true;
    Text caFile;
    bool rawMessage = false;
    Text textCharset = u"iso-2022-jp";
    Text saslMechanism;
    bool autoAuth = false;
    bool acceptPartialRecipients = false;
    bool keepSession = false;   // the connection stays open for the next message
    long sessionIdleTime = 30;  // seconds an open session waits for a message; below 1: no limit
    bool pipelining = false;    // MAIL, RCPT and DATA in one write when the server offers it
    Text dsnNotify;             // NOTIFY of every RCPT TO when the server offers DSN
    Text dsnReturn;             // RET of MAIL FROM when the server offers DSN
};

// The setters' checks, which loading makes too: error 380 for a value the property refuses.
void CheckAuthMechanism(long mechanism);
void CheckSaslMechanism(const Text& mechanism);
void CheckSecurityMode(long mode);
void CheckTextCharset(const Text& charset);

// One row per persisted property, in the order they are written and read (Properties.cpp).
std::span<const persist::Property<Settings>> PersistedProperties();

// What a kept session was opened with: a send with other values needs a connection of its own.
struct SessionKey {
    Text server, port, hostname, user, pass, saslMechanism, oauthToken, caFile;
    long security = 0;
    long auth = 0;
    bool verifyCert = true;
    bool autoAuth = false;
    bool operator==(const SessionKey&) const = default;
};

// Whether a connection is kept between messages: none, open (idle or carrying a send), or
// ending (QUIT sent, Closed awaited).
enum class SessionState { kNone, kOpen, kQuitting };

// Why Smtp refuses a send before any command: Done's code and message.
struct Refusal {
    long code;
    Text message;
};

// A message whose end of data went out with the next message's envelope behind it: the next
// reply is its own. What its Done needs, and the refusal of a next send that Smtp refused at once,
// whose Done comes right after it.
struct PriorMessage {
    bool pending = false;
    long recipientsRefused = 0;
    std::size_t recipientCount = 0;
    std::optional<Refusal> heldRefusal;
};

}  // namespace smtp

// Fields are grouped by concern rather than packed: there is one per control.
class smtpZef::Impl : public smtp::Settings {  // NOLINT(clang-analyzer-optin.performance.Padding)
  public:
    Impl(smtpZef& owner, Components components);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // --- properties not persisted (read directly by smtpZef's accessors) ---
    bool tcpTraceOn = false;
    Variant toAddr;
    Text fromAddr;
    Text mimeMultipart;
    bool body8Bit = false;
    long bodyWriteSize = 0;  // body bytes gathered into one write; below 1: a write per piece
    Text oauthToken;
    Text dsnEnvelopeId;  // ENVID of MAIL FROM when the server offers DSN
    Text caption = outcome::smtp::kProductBanner;
    const Text& Capabilities() const { return capabilities_.Keywords(); }
    const Text& EnhancedStatus() const { return enhancedStatus_; }

    // Validating setters: error 380 and the old value kept.
    void SetMimeMultipart(const Text& subtype);
    long long MaxLineLength() const;
    void SetMaxLineLength(long long bytes);

    // Starts one send (StartSend.cpp).
    void Smtp(const Text& mailServer, const Text& mailHeader);
    // Ends a kept session: at once when idle, after the running send otherwise (Session.cpp).
    void CloseSession();

  private:
    // --- events and caption (Properties.cpp) ---
    void SetCaption(const Text& text);
    void RaiseTrace(const Text& message);
    void RaiseDone(long code, const Text& message);

    // --- start of a send (StartSend.cpp) ---
    void ResetSendState(const Text& mailHeader);
    std::optional<smtp::Refusal> RefusalOfSend();
    Text PrepareSend();  // "" when the send may go on, else the refusal text
    void GatherAddresses();
    Text FieldWithLineBreak() const;
    void ChooseExtensions();
    void Refuse(long code, const Text& message);
    void ConnectFailed(long number, const Text& description);
    TlsSettings WireTlsSettings() const;

    // --- kept sessions (Session.cpp) ---
    smtp::SessionKey CurrentSessionKey() const;
    bool GoOnInSession();
    void ConnectForSend();
    void ResetConnectionState();
    bool KeepsSessionAfterRset() const;
    void EndMessageInSession();
    void QuitSession();
    bool OnSessionData();
    bool OnSessionClosed();
    bool OnSessionTick();

    // --- pipelined envelope (Pipelining.cpp) ---
    bool PipelinesEnvelope() const;
    void SendPipelinedEnvelope(const Text& mailArgument);
    void OnPipelinedReply(const Text& line);
    // The next message behind the end of data (EndOfData).
    void OfferNextMessage();
    bool MayStartNext(const Text& mailServer) const;
    void KeepPriorMessage();
    void OnPriorEndOfData(const Text& line);
    void EndPriorMessage(long code, const Text& message);
    void EndPriorMessageAtClose();

    // --- dialogue (Dialogue.cpp) ---
    void OnDataArrival(const Bytes& data);
    void HandleReplyLine(const Text& line);
    void OnPositiveReply(const Text& line);
    void OnEhloReply();
    void OnStartTlsGoAhead(const Text& line);
    void OnTlsReady();
    void EndForUnexpectedReply(const Text& line);
    void RefuseMessage(const Text& message);
    void StartAuthOrMail();
    smtp::Mechanism ChosenMechanism() const;
    void StartOAuth();
    void StartSasl(const std::string& secret);
    void AnswerAuthChallenge(const Text& line);
    void AnswerSaslChallenge(const Text& line);
    void EndAuthExchange(const Text& message);
    void EndWithoutAuth(const Text& message);
    void SendMailFrom();
    Text RefusalBeforeMailFrom();
    Text MailParameters() const;
    void SendRcpt();
    void OnRecipientRefused(const Text& line);
    void NextRecipientOrData();

    // --- command output (Commands.cpp) ---
    bool SendRaw(Bytes bytes);
    bool SendAsOneWrite(const std::function<void()>& send);
    bool SendText(const Text& text);
    bool SendLine(const Text& text);
    Bytes ConvertText(Text& text);
    Bytes EncodeHeaderText(Bytes& header);
    void SendCommand(DialogueState state, const Text& argument);
    void SendHeaderBlock(const Text& headerBlock);
    bool SendHeaderBytes(const Text& headerBlock);
    Text EncodeBase64Text(const Text& text);
    Text CramMd5Response(const Bytes& challenge);

    // --- guard, closing and failures (TimeoutsAndClosing.cpp) ---
    void StopTimer();
    void ArmTimer(long phase);
    void OnTick();
    void OnConnected();
    void OnClosed();
    void OnSocketError(long number, const std::string& description);
    void OnSocketTrace(const std::string& text);
    void EndSendAfterFailure(long code, const Text& message) noexcept;
    // The code and message that Done will report.
    void SetDone(const outcome::DoneOutcome& done) {
        doneCode_ = done.code;
        doneMessage_ = done.message;
    }
    void EndSendAfterException(const std::exception_ptr& failure) noexcept;
    void HookComponentEvents();

    // Runs a socket or timer handler so that nothing it throws reaches the event loop: a
    // failure ends the running send with one Done instead.
    template <typename Handler>
    void Shielded(Handler&& handler) noexcept {
        try {
            handler();
        } catch (...) {
            EndSendAfterException(std::current_exception());
        }
    }

    // --- body transfer (BodyTransfer.cpp) ---
    void OnSendComplete();
    bool RunBodyTurn();
    void RunBodyTurns();
    bool SendEndOfData(const std::function<void()>& sendLast);
    bool PlainBodyTurn();
    bool MimeBodyTurn();
    std::optional<bool> SendPartPiece();
    void RunPartLoop();
    bool CloseMultiPart();
    void OpenNestedMultiPart(const Text& contentType);
    void OpenLeafPart(const smtp::PartHead& head);

    smtpZef& owner_;
    Components components_;
    Wire& wire_;
    Glyph& glyph_;
    Codec& codec_;
    Hash& hash_;
    Timer& timer_;

    // --- per-send state ---
    long sendPhase_ = kIdle;
    DialogueState dialogueState_ = DialogueState::kInit;
    long doneCode_ = 0;
    Text doneMessage_;
    std::vector<Text> recipients_{Text()};  // [0] the sender, [1..] the recipients
    bool senderFromHeader_ = false;         // where [0] came from, for refusal texts
    bool recipientsFromHeader_ = false;     // where [1..] came from
    long rcptIndex_ = 0;
    long recipientsRefused_ = 0;  // AcceptPartialRecipients: RCPTs refused so far
    Text lastRefusal_;
    Text mailServer_;
    std::vector<Text> ehloLines_;  // the lines of the EHLO reply being read
    smtp::EhloCapabilities capabilities_;
    Text enhancedStatus_;
    smtp::Mechanism mechanism_ = smtp::Mechanism::kNone;
    std::optional<sasl::Client> sasl_;  // the OAuth or SCRAM login under way
    Text authDetail_;                   // the error detail a refused OAuth login came with
    Text headerBlock_;
    bool dataPhase_ = false;
    bool headerPhase_ = true;
    Bytes pendingOutput_;
    smtp::ReplyLineReader replyReader_;
    Text openBracket_ = u"<";
    Text closeBracket_ = u">";
    bool failed_ = false;         // a handler failed: the connection is being closed, input ignored
    bool tlsUpgraded_ = false;    // Security 2: the STARTTLS handshake has succeeded
    smtp::RawLines rawLines_;     // RawMessage: line ends and dots of the header and plain body
    bool utf8Text_ = false;       // TextCharset chose UTF-8 for this send
    bool needsSmtpUtf8_ = false;  // an envelope address or the raw header holds UTF-8
    bool needs8Bit_ = false;      // a raw header with 8-bit bytes (Body8Bit is read later)
    bool smtpUtf8Declared_ = false;  // MAIL FROM carried SMTPUTF8
    bool eightBitDeclared_ = false;  // MAIL FROM carried BODY=8BITMIME

    // --- kept session and pipelining ---
    smtp::SessionState session_ = smtp::SessionState::kNone;
    smtp::SessionKey sessionKey_;     // what the open session was opened with
    bool reusedUnanswered_ = false;   // a send in a reused session has had no reply yet
    bool connectWhenClosed_ = false;  // a send waits for the old session's Closed to connect
    bool closeRequested_ = false;     // CloseSession during a send: QUIT after it
    bool keepAfterRset_ = false;      // the RSET of a refused message leaves the session open
    bool pipelined_ = false;          // the replies to a pipelined MAIL, RCPT and DATA are read
    Text batchRefusal_;               // the refusal that keeps a pipelined message from going
    bool batching_ = false;           // SendRaw collects into batch_ instead of sending
    Bytes batch_;
    bool offeringNext_ = false;  // EndOfData is being raised: Smtp may start the next message
    smtp::PriorMessage prior_;   // the message before, while its end of data awaits its reply

    // --- guard ---
    long guardPhase_ = kNoGuard;
    long guardCountdown_ = -1;

    // --- body ---
    long moreDataId_ = 0;
    long mimeDepth_ = 1;
    long mimePart_ = 1;
    std::shared_ptr<MultiPart> currentMultiPart_;
    Stack multiPartStack_;
    bool inPartBody_ = false;
    Text partDataFormat_;
    Text partTransferEncoding_;
    smtp::PartEncoding partEncoding_ = smtp::PartEncoding::kAsIs;
    bool partIsText_ = false;
    Bytes pieceRemainder_;  // an odd trailing byte of a UTF-16LE text piece, kept for the next
    Text textBacklog_;      // text of the current part not yet converted by TextToJis
    Text partHeaderBuffer_;
};

}  // namespace zef
