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

}  // namespace zef::reliability
