// smtpZef and popZef on the simulated network, with an application that answers every event
// the same way each run, and a log of everything the control did: each event with its
// arguments and each command it sent, in order. Two runs that went the same way have equal
// logs.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/Types.h"
#include "components/Timer.h"
#include "pop/popZef.h"
#include "smtp/smtpZef.h"
#include "tests/reliability/ServerModels.h"
#include "tests/reliability/SimNetwork.h"
#include "tests/support/ScriptedWire.h"

namespace zef::reliability {

// Bytes with CR, LF, backslash and every byte outside printable ASCII spelled out.
std::string Printable(const Bytes& bytes);
std::string U8(const Text& text);
// The text with the time stamp of every multipart boundary replaced by a fixed one, so that
// runs made in different seconds compare equal.
std::string WithoutBoundaryTimes(std::string text);

// What a rig leaves behind after a run, for the checks every run must pass.
struct Outcome {
    int dones = 0;
    long code = 0;
    std::string message;
    int eventsAfterDone = 0;  // anything the control raised once Done had come
    bool timerEnabledAfterDone = false;
    int closedRaised = 0;
};

class Rig {
  public:
    virtual ~Rig() = default;
    EventLoop loop;
    SimWire* wire = nullptr;
    ManualTimer* timer = nullptr;
    std::vector<std::string> log;

    // Runs the loop, ticking the timer while it is enabled and no Done has come, then a while
    // longer to see that nothing more happens.
    void Run(int maxTicks = 100);
    Outcome Result() const;

  protected:
    Components MakeParts(Peer& peer);
    void Log(std::string entry);
    void LogDone(long code, const Text& message);

  private:
    Outcome outcome_;
};

class SmtpRig final : public Rig {
  public:
    struct Scenario {
        std::string name;
        long auth = 0;      // 0 none, 1 CRAM-MD5, 2 LOGIN, 3 PLAIN
        bool mime = false;  // a nested multipart body instead of a plain one
        int recipients = 1;
    };

    SmtpRig(SmtpServer& server, const Scenario& scenario);
    friend void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }
    std::unique_ptr<smtpZef> control;

    void Start();

  private:
    void HookEvents();
    void AnswerMimeHead(long depth, long part, Text& format, Text& type, Text& name, Text& charset,
                        Text& encoding, Text& additional);
    void AnswerMimeBody(long depth, long part, Bytes& data);

    Scenario scenario_;
    std::map<std::pair<long, long>, int> piecesGiven_;
};

// The application's answers in popZef's events; message numbers are those on the server.
struct PopPolicy {
    std::set<long> keep;          // RetrDone: CancelDelete
    std::set<long> skipUidl;      // UidlFirst: CancelUidl
    std::set<long> skipTop;       // TopFirst: CancelTop
    std::set<long> skipRetr;      // RetrFirst: CancelRetr
    std::set<long> deleteAtUidl;  // UidlDone: Delete
    long abendAfterRetrOf = 0;    // Abend from RetrDone of this message
    bool abendCancelDelete = true;
    bool binaryEvenParts = true;  // MimeDataFirst: even part numbers as bytes
};

class PopRig final : public Rig {
  public:
    PopRig(Pop3Server& server, PopPolicy policy = {});
    std::unique_ptr<popZef> control;

    // The parser's events of each message, from RetrFirst to RetrDone, as last seen.
    std::map<long, std::vector<std::string>> views;
    // Messages the application let go: RetrDone left to delete, or Delete in UidlDone.
    std::set<long> letDelete;

    void Start(bool apop = false, long topLines = 2);

  private:
    void HookEvents();
    void View(long id, std::string entry);

    Pop3Server& server_;
    PopPolicy policy_;
};

// The SMTP dialogues the suites walk: each AUTH mechanism, plain and multipart bodies, one to
// three recipients.
const std::vector<SmtpRig::Scenario>& SmtpScenarios();

// A mailbox of corpus messages and the application's choices while reading it.
struct PopScenario {
    std::string name;
    std::vector<size_t> messages;  // corpus indexes
    PopPolicy policy;
    bool apop = false;
    long topLines = 0;
    friend void PrintTo(const PopScenario& value, std::ostream* out) { *out << value.name; }
};

// Every choice once: keep 1, skip UIDL of 1 and 4, TOP of 2 and 4, RETR of 4, delete 3 at UIDL.
PopPolicy ChoicesPolicy(bool binaryEvenParts);
// Abend(True) from the RetrDone of message 1.
PopPolicy AbendAfterFirstPolicy();
void FillMailbox(Pop3Server& server, const std::vector<size_t>& corpusIndexes);

// A control on a ScriptedWire, for what it does before any server answers.
template <class Control>
struct ScriptedControl {
    ScriptedControl(const ScriptedControl&) = delete;
    ScriptedControl& operator=(const ScriptedControl&) = delete;
    ScriptedControl() {
        Components parts;
        auto scripted = std::make_unique<testing::ScriptedWire>();
        wire = scripted.get();
        parts.wire = std::move(scripted);
        parts.glyph = MakeGlyph();
        parts.codec = MakeCodec();
        parts.hash = MakeMd5Hash();
        parts.timer = std::make_unique<ManualTimer>();
        control = std::make_unique<Control>(std::move(parts));
        control->Done = [this](long code, const Text& message) {
            dones.emplace_back(code, U8(message));
        };
    }
    testing::ScriptedWire* wire = nullptr;
    std::unique_ptr<Control> control;
    std::vector<std::pair<long, std::string>> dones;
};

}  // namespace zef::reliability
