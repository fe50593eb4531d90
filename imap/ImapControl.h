// The inside of imapZef: its properties, its transfer fields and the routines of the dialogue.
// What it does as popZef does (the wire and timer hooked up, the end of a transfer, the guard's
// countdown, the caption) is MailboxControl's. ImapControl.cpp holds creation, properties,
// persistence, the methods and the guard's lengths; ImapDialogue.cpp the socket events and the
// table that answers each response; ImapLogin.cpp the login; ImapWalk.cpp the folder, the walk, the
// deletions and IDLE; CommandText the words of the commands; ResponseReader the reading of the
// responses.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/Types.h"
#include "components/Components.h"
#include "components/mailbox/MailboxControl.h"
#include "components/propertybag/PropertyTable.h"
#include "imap/CommandText.h"
#include "imap/Outcomes.h"
#include "imap/ResponseReader.h"
#include "imap/imapZef.h"
#include "pop/LineAssembler.h"
#include "pop/MessageEvents.h"
#include "pop/MessageParser.h"
#include "pop/SaslAuth.h"

namespace zef {

namespace imap {

// The persisted properties with their defaults, read directly by imapZef's accessors.
struct Settings {
    Text port = u"143";
    bool deleteOnError = false;
    long connectTimeout = 0;
    long transTimeout = 0;
    long security = 0;  // 0 none, 1 implicit TLS, 2 STARTTLS required
    bool verifyCert = true;
    Text caFile;
    bool nestedDelimiters = false;
    bool parseMessages = true;
    Text saslMechanism;  // upper case
    bool autoAuth = false;
    bool xoauth2OneStep = false;
    Text folder = u"INBOX";
    Text search = u"ALL";  // in capitals
    bool readOnly = false;
    bool listFolders = false;
    bool markSeen = false;
    bool idle = false;
    long idleTime = 1740;
    bool pipelining = false;
};

// The setters' checks, which loading makes too: error 380 for a value the property refuses.
void CheckSecurityMode(long mode);
Text CheckedSaslMechanism(const Text& name);
void CheckFolder(const Text& name);
Text CheckedSearch(const Text& criteria);

std::span<const persist::Property<Settings>> PersistedProperties();
inline const persist::StoredValueRules kStoredValues{
    false, &outcome::TypeMismatch<outcome::imap::kReadPropertiesSource>};

}  // namespace imap

class imapZef::Impl final : public imap::Settings,
                            public MailboxControl,
                            private imap::ResponseEvents {
  public:
    Impl(imapZef& owner, Components components);

    static const Text& Banner();

    // --- properties not persisted ---
    Text oauthToken;
    const Text& Capabilities() const { return capabilities_; }
    const Text& ResponseCode() const { return responseCode_; }
    long long MaxLineLength() const { return maxLineLength_; }
    void MaxLineLength(long long bytes);
    void ApplyParserSettings();

    // --- methods ---
    void Imap(const Text& server, const Text& user, const Text& password);
    void Abend(bool cancelDelete);

  private:
    // The command whose tagged response is awaited; Greeting before the first response.
    enum class Command {
        Greeting,
        Capability,
        StartTls,
        Login,
        Authenticate,
        Enable,
        List,
        Select,
        Search,
        Sizes,
        Header,
        Body,
        StoreDeleted,
        Expunge,
        StoreSeen,
        Idle,
        Logout,
    };
    static const char* CommandName(Command command);

    // --- MailboxControl's hooks (ImapDialogue.cpp; GuardSeconds in ImapControl.cpp) ---
    void OnDataArrival(const Bytes& data) override;
    void OnTlsReady() override;
    bool Closing() const override { return closing_; }
    void StartClosing() override;
    long GuardSeconds(GuardPhase phase) const override;
    void OnGuardExpired(GuardPhase phase) override;
    // In IDLE the clock counts to the next IDLE, whatever the server says.
    bool TrafficRearmsGuard() const override { return !idling_; }
    void OnTransferEnded() override { idling_ = false; }

    // --- the reader's events (ImapDialogue.cpp) ---
    void OnResponse(const imap::Response& response) override;
    bool OnLiteralStart(const imap::Response& partial, const imap::Value& literal) override;
    void OnLiteralData(std::string_view piece) override;
    void OnLiteralEnd() override;

    // --- the dialogue (ImapDialogue.cpp) ---
    void OnGreeting(const imap::Response& response);
    void OnUntagged(const imap::Response& response);
    void OnStatusCode(const std::vector<imap::Value>& code);
    void OnFetch(uint32_t sequence, const imap::Value& items);
    void OnListed(const imap::Response& response);
    void OnContinuation(const imap::Response& response);
    void OnTagged(const imap::Response& response);
    void OnCompleted();
    void Refused(const imap::Response& response);
    void AfterCapabilities();
    void Login();
    std::optional<sasl::Mechanism> ChosenMechanism() const;
    void StartSasl(sasl::Mechanism mechanism);
    void AfterLogin();
    void AfterEnable();
    void SelectFolder();
    void SearchNew();
    bool FoundUidSet(std::string_view set);
    void AfterSearch();
    void AfterSizes();
    void WalkNext();
    bool Retrieve();
    void SendBodiesAhead();
    void DropAhead();
    bool IsDroppedBody(const imap::Value& items) const;
    void AfterBody();
    void CommitChanges();
    void AfterDeletions();
    void AfterCommit();
    void StartIdle();
    void EndIdle();
    void Logout();
    void TakeLiteralLines(bool last);
    void Send(Command command, const imap::CommandText& text);
    imap::CommandText Tagged(const char* name);
    std::string NextTag();
    imap::StringRules Strings() const;
    std::string WireFolderName(const Text& name) const;
    Text FolderNameText(const std::string& wire) const;
    std::string CurrentUidText() const;

    void SetDone(long code, const Text& message);
    void RaiseTrace(const std::string& text);

    imapZef& owner_;
    pop::ApplicationEvents applicationEvents_;
    pop::MessageParser parser_;
    imap::ResponseReader reader_;
    pop::LineAssembler literalLines_;  // the lines of a message or header literal
    long long maxLineLength_;

    // --- transfer fields ---
    bool closing_ = false;  // the control ended the transfer itself; the rest is dropped
    Command command_ = Command::Greeting;
    std::string tag_;  // of the command awaited
    unsigned long tagCount_ = 0;
    std::vector<std::string> unsentPieces_;  // of a command waiting for literal go-aheads
    bool tlsPending_ = false;                // STARTTLS accepted, handshake not yet done
    bool tlsDone_ = false;
    bool loggedIn_ = false;
    bool capabilitiesFresh_ = false;  // a response to the command awaited carried them
    bool enabled_ = false;            // ENABLE went out (once per transfer)
    bool utf8Accepted_ = false;
    Text userName_;
    Text password_;
    Text serverName_;
    std::optional<pop::SaslAuth> sasl_;
    Text capabilities_;
    Text responseCode_;

    // The folder and the walk.
    std::string uidValidity_;
    long exists_ = 0;
    struct Message {
        uint32_t uid = 0;
        long size = -1;  // -1 until the sizes are in
    };
    std::vector<Message> walk_;  // the messages of this round: as found, then in UID order
    size_t walkAt_ = 0;          // messages of walk_ dealt with
    uint32_t highestUid_ = 0;    // walked so far: IDLE rounds look above it
    std::vector<uint32_t> deleting_, seeing_;
    // The UID FETCHes of the next messages sent ahead (Pipelining), in walk order.
    struct Ahead {
        std::string tag;
        uint32_t uid = 0;
    };
    std::deque<Ahead> ahead_;
    // Tags of commands sent ahead in vain, oldest first: their responses are read and dropped.
    std::vector<std::string> droppedTags_;
    std::vector<uint32_t> droppedUids_;
    // Tags of body fetches complete before their tagged answer, oldest first.
    std::vector<std::string> answeredTags_;
    enum class LiteralUse { kNone, kBody, kHeader, kDropped };
    LiteralUse literalUse_ = LiteralUse::kNone;
    bool literalSeen_ = false;  // the body (or header) of the FETCH awaited has come
    enum class AbortMode { kNone, kCommit, kDrop };
    AbortMode abortMode_ = AbortMode::kNone;
    bool idling_ = false;   // IDLE accepted, DONE not yet sent
    bool newMail_ = false;  // EXISTS grew while idling

    Bytes retrLine_;
};

}  // namespace zef
