// The inside of popZef: its properties, its transfer fields and the routines of the dialogue.
// What it does as imapZef does (the wire and timer hooked up, the end of a transfer, the guard's
// countdown, the caption) is MailboxControl's. The files of this folder split the rest by
// concern: PopControl.cpp (creation, properties, persistence, the methods), PopDialogue.cpp
// (socket events and the state table), MessageParser and BodyDecoder (one retrieved message),
// LineAssembler (bytes to lines), ReplyFields and HeaderValue (reading status lines and header
// values).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/Types.h"
#include "components/Components.h"
#include "components/mailbox/MailboxControl.h"
#include "components/propertybag/PropertyTable.h"
#include "pop/LineAssembler.h"
#include "pop/MessageEvents.h"
#include "pop/MessageParser.h"
#include "pop/Outcomes.h"
#include "pop/Pipeline.h"
#include "pop/SaslAuth.h"
#include "pop/popZef.h"

namespace zef {

namespace pop {
// The persisted properties with their defaults, read directly by popZef's accessors.
struct Settings {
    Text port = u"110";
    bool apop = false;
    bool deleteOnError = false;
    long connectTimeout = 0;
    long transTimeout = 0;
    long security = 0;  // 0 none, 1 implicit TLS, 2 STLS required
    bool verifyCert = true;
    Text caFile;
    bool nestedDelimiters = false;  // handed to the parser
    bool parseMessages = true;      // handed to the parser
    bool desyncGuard = false;
    bool askCapabilities = false;
    bool pipelining = false;
    Text saslMechanism;  // upper case
    bool autoAuth = false;
    bool xoauth2OneStep = false;
};

// The setters' checks, which loading makes too: error 380 for a value the property refuses.
void CheckSecurityMode(long mode);
Text CheckedSaslMechanism(const Text& name);  // the name in upper case, "" for none

// One row per persisted property, in the order they are written and read (PopControl.cpp). A
// stored value of another type is refused with error 13.
std::span<const persist::Property<Settings>> PersistedProperties();
inline const persist::StoredValueRules kStoredValues{
    false, &outcome::TypeMismatch<outcome::pop::kReadPropertiesSource>};

}  // namespace pop

class popZef::Impl final : public pop::Settings, public MailboxControl {
  public:
    Impl(popZef& owner, Components components);

    // The product banner: Copyright and the first caption.
    static const Text& Banner();

    // --- properties not persisted ---
    Text oauthToken;
    const Text& Capabilities() const { return capabilities_; }
    const Text& ResponseCode() const { return responseCode_; }
    long long MaxLineLength() const { return maxLineLength_; }
    void MaxLineLength(long long bytes);
    void ApplyParserSettings();  // NestedDelimiters and ParseMessages

    // --- methods ---
    void Pop(const Text& server, const Text& user, const Text& password, long lines);
    void Abend(bool cancelDelete) {
        abortMode_ = cancelDelete ? AbortMode::kResetAtNext : AbortMode::kQuitAtNext;
    }

  private:
    // What the next reply line answers: the command last sent, the greeting, or a line of a
    // multi-line response. Closing: the transfer was ended by the control itself (a failing
    // handler or decoder, a line over the limit); whatever still arrives is dropped.
    enum class State {
        Init,
        Capa,
        CapaNext,
        Stls,
        User,
        Pass,
        Apop,
        Auth,
        Stat,
        List,
        Uidl,
        Top,
        TopNext,
        Retr,
        RetrNext,
        Dele,
        Rset,
        Quit,
        Closing
    };
    static Text CommandName(State command);

    // --- MailboxControl's hooks (PopDialogue.cpp; GuardSeconds in PopControl.cpp) ---
    void OnDataArrival(const Bytes& data) override;
    void OnTlsReady() override;
    bool Closing() const override { return state_ == State::Closing; }
    void StartClosing() override;
    long GuardSeconds(GuardPhase phase) const override;
    void OnGuardExpired(GuardPhase phase) override;

    // --- the dialogue (PopDialogue.cpp) ---
    void TakeLines();
    void HandleLine(std::string_view line);
    void HandleTopLine(std::string_view line);
    void HandleRetrLine(std::string_view line);
    void HandleCapaLine(std::string_view line);
    void HandleStatusLine();
    bool FitsCommand() const;
    void OutOfStep();
    void OnGreeting();
    void OnStlsGoAhead();
    bool WantsCapabilities() const;
    void AfterCapabilities();
    std::optional<sasl::Mechanism> ChosenMechanism() const;
    void StartSasl(sasl::Mechanism mechanism);
    void OnAuthReply(bool good);
    void Login();
    void OnStatReply();
    void OnListReply();
    void OnTopRefused();
    void WalkAfterList();
    void WalkAfterUidl();
    void Retrieve();
    void NextMessage();
    void Fatal(const Text& detail = {});
    void ErrorReset();
    void Quit();
    void SendCommand(State command, Text argument);
    void SendNextMessageAhead();
    void OnDeferredDeleReply(std::string_view line);
    void SendAhead(const Text& command, bool multiLine);
    void SendLine(const Text& text);
    Text ApopDigest(const Text& greeting);

    // The code and message that Done will report.
    void SetDone(const outcome::DoneOutcome& done) {
        doneCode_ = done.code;
        doneMessage_ = done.message;
    }

    TlsSettings WireTlsSettings() const;

    popZef& owner_;
    pop::ApplicationEvents applicationEvents_;
    pop::MessageParser parser_;
    pop::LineAssembler lines_;
    long long maxLineLength_;

    // --- transfer fields ---
    State state_ = State::Init;
    Text userName_;
    Text password_;
    long topLines_ = 0;
    long messageCount_ = 0;
    long mailboxSize_ = 0;
    long messageId_ = 0;
    long messageSize_ = 0;
    long long retrBytes_ = 0;  // of the message being retrieved, with its line ends
    Text currentUidl_;
    Text currentLine_;
    Text greeting_;         // kept for the APOP time stamp, which STLS puts a dialogue away
    bool tlsDone_ = false;  // the STLS handshake of this transfer has succeeded
    Text capaLines_;        // the CAPA lines received so far
    Text capabilities_;
    Text responseCode_;
    Text serverName_;                    // the xserv of this transfer, for OAUTHBEARER
    std::optional<pop::SaslAuth> sasl_;  // the AUTH login under way
    // What Abend asked for: QUIT at the next message, or RSET there (deletions undone).
    enum class AbortMode { kNone, kQuitAtNext, kResetAtNext };
    AbortMode abortMode_ = AbortMode::kNone;
    pop::Pipeline pipeline_;
    struct {                // the way of the message at hand, foreseen for the next one
        bool uidl = false;  // UIDL asked
        bool top = false;   // TOP asked
    } way_;
    Bytes retrLine_;  // the RetrLine argument, reused
};

}  // namespace zef
