// Faults at every step of both dialogues: for each reply the server would give, a run in which
// it instead closes the connection, falls silent, refuses, sends binary garbage (without and
// with a line end), sends a line of many megabytes without a line end, or says more than was
// asked. Every run must end with exactly one Done carrying the documented code, raise nothing
// after it, leave the guard timer off, buffer no more than the line limit, and lose no message:
// an SMTP send reported done was accepted by the server whole, and a POP3 server deleted only
// messages the application had seen whole and let go.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/reliability/ControlRigs.h"
#include "tests/reliability/Corpus.h"

namespace zef::reliability {
namespace {

constexpr size_t kLineLimit = size_t{256} * 1024;  // the limit set for these runs
constexpr size_t kChunk = size_t{64} * 1024;       // bytes per DataArrival of a huge line

const std::vector<FaultKind> kKinds = {
    FaultKind::kClose,       FaultKind::kSilence,  FaultKind::kRefuse, FaultKind::kGarbage,
    FaultKind::kGarbageLine, FaultKind::kHugeLine, FaultKind::kExtra,
};

// Faults injected, Done codes seen and messages lost, for the summary the suite prints.
struct Tally {
    std::map<std::string, int> faults;
    std::map<long, int> codes;
    int lost = 0;

    void Count(const std::string& fault, long code, int lostNow) {
        ++faults[fault];
        ++codes[code];
        lost += lostNow;
    }

    std::string Summary(const std::string& title) const {
        int total = 0;
        std::ostringstream kinds;
        for (const auto& [kind, count] : faults) {
            kinds << (total == 0 ? "" : ", ") << kind << " " << count;
            total += count;
        }
        std::ostringstream codesText;
        for (const auto& [code, count] : codes) {
            codesText << " " << code << ":" << count;
        }
        return "reliability summary: " + title + ": faults injected " + std::to_string(total) +
               " (" + kinds.str() + "); Done codes" + codesText.str() + "; messages lost " +
               std::to_string(lost);
    }
};

// What Done must carry: an exact code and message, or only one of a set of codes where the
// control's reading of the bytes decides (garbage read as a reply, replies nobody asked for).
struct Expected {
    std::optional<std::pair<long, std::string>> exact;
    std::set<long> allowed;
};

Expected Exactly(long code, std::string message) {
    return {std::make_pair(code, std::move(message)), {code}};
}

Expected AnyDocumented() {
    return {std::nullopt, {0, -1, -2, -4}};
}

// The reply to QUIT (or to RSET in POP3) is not examined: whatever comes, or a close, ends the
// transfer as planned.
Expected ExpectedSmtp(FaultKind kind, const std::string& answered) {
    const bool quit = answered == "QUIT";
    switch (kind) {
        case FaultKind::kClose:
            return quit ? Exactly(0, "") : Exactly(-2, "UNEXPECTED DISCONNECT");
        case FaultKind::kSilence:
        case FaultKind::kGarbage:
            return Exactly(-4, "trans timeout");
        case FaultKind::kRefuse:
            return quit ? Exactly(0, "") : Exactly(-1, "554 5.7.1 injected refusal");
        case FaultKind::kHugeLine:
            return Exactly(-1, "REPLY LINE TOO LONG");
        default:
            return AnyDocumented();
    }
}

Expected ExpectedPop(FaultKind kind, const std::string& answered) {
    const bool quit = answered == "QUIT";
    // UIDL and TOP refusals are reported through UidlDone and TopDone; the walk goes on.
    const bool goesOn = quit || answered == "RSET" || answered == "UIDL" || answered == "TOP";
    switch (kind) {
        case FaultKind::kClose:
            return quit ? Exactly(0, "") : Exactly(-2, "UNEXPECTED DISCONNECT");
        case FaultKind::kSilence:
        case FaultKind::kGarbage:
            return Exactly(-4, "trans timeout");
        case FaultKind::kRefuse:
            return goesOn ? Exactly(0, "") : Exactly(-1, "-ERR injected refusal");
        case FaultKind::kGarbageLine:  // not "+OK": a refusal, whose text is the garbage
            return {std::nullopt, {goesOn ? 0L : -1L}};
        case FaultKind::kHugeLine:
            return Exactly(-1, "LINE TOO LONG");
        default:
            return AnyDocumented();
    }
}

// The checks every run must pass, whatever the fault.
void ExpectOneCleanEnd(const Outcome& outcome, const Expected& expected, const std::string& run) {
    EXPECT_EQ(outcome.dones, 1) << run;
    EXPECT_EQ(outcome.eventsAfterDone, 0) << run;
    EXPECT_FALSE(outcome.timerEnabledAfterDone) << run;
    EXPECT_EQ(outcome.closedRaised, 1) << run;
    if (expected.exact) {
        EXPECT_EQ(outcome.code, expected.exact->first) << run << ": " << outcome.message;
        EXPECT_EQ(outcome.message, expected.exact->second) << run;
    } else {
        EXPECT_EQ(expected.allowed.count(outcome.code), 1U)
            << run << ": Done " << outcome.code << " " << outcome.message;
    }
    if (outcome.code != 0) {
        EXPECT_FALSE(outcome.message.empty()) << run;
    }
}

size_t BytesBefore(const std::vector<size_t>& sizes, size_t index) {
    size_t total = 0;
    for (size_t i = 0; i < index && i < sizes.size(); ++i) {
        total += sizes[i];
    }
    return total;
}

// --- SMTP ---

struct SmtpResult {
    Outcome outcome;
    std::vector<std::string> answered;
    std::vector<size_t> replySizes;
    std::vector<std::string> accepted;
    size_t bytesDelivered = 0;
};

SmtpResult RunSmtp(const SmtpRig::Scenario& scenario, const Fault& fault,
                   ConnectOutcome connect = ConnectOutcome::kAccept,
                   std::optional<size_t> lineLimit = kLineLimit) {
    SmtpServer server;
    server.fault = fault;
    SmtpRig rig(server, scenario);
    rig.wire->connectOutcome = connect;
    if (lineLimit) {
        rig.control->MaxLineLength(static_cast<long long>(*lineLimit));
    }
    rig.Start();
    rig.Run();
    SmtpResult result{
        rig.Result(), server.answered, server.replySizes, {}, rig.wire->bytesDelivered};
    for (const Bytes& message : server.accepted) {
        result.accepted.push_back(WithoutBoundaryTimes(message));
    }
    return result;
}

// A send reported done must have been accepted whole, once.
int SmtpLost(const SmtpResult& run, const std::string& cleanMessage) {
    if (run.outcome.code != 0) {
        return 0;
    }
    return run.accepted.size() == 1 && run.accepted[0] == cleanMessage ? 0 : 1;
}

class SmtpFaults : public ::testing::TestWithParam<SmtpRig::Scenario> {};

TEST_P(SmtpFaults, EveryFaultAtEveryStepEndsWithOneDocumentedDone) {
    const SmtpRig::Scenario scenario = GetParam();
    const SmtpResult clean = RunSmtp(scenario, Fault{});
    ASSERT_EQ(clean.outcome.code, 0) << clean.outcome.message;
    ASSERT_EQ(clean.accepted.size(), 1U);

    Tally tally;
    for (size_t step = 0; step < clean.answered.size(); ++step) {
        for (FaultKind kind : kKinds) {
            Fault fault{kind, static_cast<int>(step), kLineLimit + 4 * kChunk, kChunk};
            const SmtpResult run = RunSmtp(scenario, fault);
            const std::string label = std::string(FaultName(kind)) + " instead of reply " +
                                      std::to_string(step) + " (to " + clean.answered[step] + ")";
            ExpectOneCleanEnd(run.outcome, ExpectedSmtp(kind, clean.answered[step]), label);
            const int lost = SmtpLost(run, clean.accepted[0]);
            EXPECT_EQ(lost, 0) << label;
            if (kind == FaultKind::kHugeLine) {
                EXPECT_LE(run.bytesDelivered,
                          BytesBefore(clean.replySizes, step) + kLineLimit + kChunk)
                    << label;
            }
            tally.Count(FaultName(kind), run.outcome.code, lost);
        }
    }
    // Before the dialogue: the connect refused, and never answered.
    const SmtpResult refused = RunSmtp(scenario, Fault{}, ConnectOutcome::kRefuse);
    ExpectOneCleanEnd(refused.outcome, Exactly(111, "Connection refused"), "connect refused");
    tally.Count("connect-refused", refused.outcome.code, 0);
    const SmtpResult unanswered = RunSmtp(scenario, Fault{}, ConnectOutcome::kNoAnswer);
    ExpectOneCleanEnd(unanswered.outcome, Exactly(-3, "connect timeout"), "connect unanswered");
    tally.Count("connect-silence", unanswered.outcome.code, 0);

    std::printf("%s\n", tally.Summary("smtp " + scenario.name).c_str());
}

INSTANTIATE_TEST_SUITE_P(Dialogues, SmtpFaults,
                         ::testing::Values(SmtpRig::Scenario{"helo_plain", 0, false, 1},
                                           SmtpRig::Scenario{"crammd5_mime", 1, true, 2},
                                           SmtpRig::Scenario{"login_plain", 2, false, 3},
                                           SmtpRig::Scenario{"plain_mime", 3, true, 1}),
                         [](const auto& info) { return info.param.name; });

TEST(SmtpFaultsDefaultLimit, ReplyLineOfManyMegabytesStopsAtOneMebibyte) {
    const SmtpRig::Scenario scenario{"helo_plain", 0, false, 1};
    const SmtpResult clean = RunSmtp(scenario, Fault{}, ConnectOutcome::kAccept, std::nullopt);
    size_t step = 0;  // the reply to RCPT
    while (step < clean.answered.size() && clean.answered[step] != "RCPT") {
        ++step;
    }
    ASSERT_LT(step, clean.answered.size());
    const size_t limit = size_t{1} << 20;
    const Fault fault{FaultKind::kHugeLine, static_cast<int>(step), 8 * limit, kChunk};
    const SmtpResult run = RunSmtp(scenario, fault, ConnectOutcome::kAccept, std::nullopt);
    ExpectOneCleanEnd(run.outcome, Exactly(-1, "REPLY LINE TOO LONG"), "8 MiB reply line");
    EXPECT_LE(run.bytesDelivered, BytesBefore(clean.replySizes, step) + limit + kChunk);
}

// Only a 2xx reply to the final dot says the server took the message; a 3xx or a line of
// garbage read there ends the send as failed (it used to send QUIT and report success).
TEST(SmtpFaultsAtTheDot, OnlyATwoHundredReplyReportsTheMessageSent) {
    const SmtpRig::Scenario scenario{"helo_plain", 0, false, 1};
    const SmtpResult clean = RunSmtp(scenario, Fault{});
    size_t dot = 0;
    while (dot < clean.answered.size() && clean.answered[dot] != "dot") {
        ++dot;
    }
    ASSERT_LT(dot, clean.answered.size());
    const SmtpResult garbage = RunSmtp(scenario, Fault{FaultKind::kGarbageLine, int(dot)});
    ExpectOneCleanEnd(garbage.outcome, Expected{std::nullopt, {-1}}, "garbage after the dot");
    EXPECT_EQ(garbage.outcome.message.rfind("UNEXPECTED REPLY: ", 0), 0U)
        << garbage.outcome.message;
    EXPECT_TRUE(garbage.accepted.empty());
}

// --- POP3 ---

struct PopScenario {
    std::string name;
    std::vector<size_t> messages;  // corpus indexes
    PopPolicy policy;
    bool apop = false;
    long topLines = 2;
};

void PrintTo(const PopScenario& value, std::ostream* out) {
    *out << value.name;
}

struct PopResult {
    Outcome outcome;
    std::vector<std::string> answered;
    std::vector<size_t> replySizes;
    std::map<long, std::vector<std::string>> views;
    std::set<long> letDelete;
    std::set<long> committed;
    size_t bytesDelivered = 0;
};

PopResult RunPop(const PopScenario& scenario, const Fault& fault,
                 ConnectOutcome connect = ConnectOutcome::kAccept,
                 std::optional<size_t> lineLimit = kLineLimit) {
    Pop3Server server;
    server.fault = fault;
    for (size_t index : scenario.messages) {
        server.mails.push_back({Corpus().at(index).bytes, "uid-" + Corpus().at(index).name});
    }
    PopRig rig(server, scenario.policy);
    rig.wire->connectOutcome = connect;
    if (lineLimit) {
        rig.control->MaxLineLength(static_cast<long long>(*lineLimit));
    }
    rig.Start(scenario.apop, scenario.topLines);
    rig.Run();
    return {rig.Result(),  server.answered,  server.replySizes,       rig.views,
            rig.letDelete, server.committed, rig.wire->bytesDelivered};
}

// A message deleted on the server must be one the application let go after seeing it whole
// (or chose to delete from its unique id alone).
int PopLost(const PopResult& run, const PopResult& clean, const PopPolicy& policy) {
    int lost = 0;
    for (long id : run.committed) {
        const bool let = run.letDelete.count(id) != 0;
        const bool seenWhole = policy.deleteAtUidl.count(id) != 0 ||
                               (run.views.count(id) != 0 && clean.views.count(id) != 0 &&
                                run.views.at(id) == clean.views.at(id));
        if (!let || !seenWhole) {
            ++lost;
        }
    }
    return lost;
}

class PopFaults : public ::testing::TestWithParam<PopScenario> {};

TEST_P(PopFaults, EveryFaultAtEveryStepEndsWithOneDocumentedDone) {
    const PopScenario& scenario = GetParam();
    const PopResult clean = RunPop(scenario, Fault{});
    ASSERT_EQ(clean.outcome.code, 0) << clean.outcome.message;

    Tally tally;
    for (size_t step = 0; step < clean.answered.size(); ++step) {
        for (FaultKind kind : kKinds) {
            Fault fault{kind, static_cast<int>(step), kLineLimit + 4 * kChunk, kChunk};
            const PopResult run = RunPop(scenario, fault);
            const std::string label = std::string(FaultName(kind)) + " instead of reply " +
                                      std::to_string(step) + " (to " + clean.answered[step] + ")";
            ExpectOneCleanEnd(run.outcome, ExpectedPop(kind, clean.answered[step]), label);
            const int lost = PopLost(run, clean, scenario.policy);
            EXPECT_EQ(lost, 0) << label;
            if (kind == FaultKind::kHugeLine) {
                EXPECT_LE(run.bytesDelivered,
                          BytesBefore(clean.replySizes, step) + kLineLimit + kChunk)
                    << label;
            }
            tally.Count(FaultName(kind), run.outcome.code, lost);
        }
    }
    const PopResult refused = RunPop(scenario, Fault{}, ConnectOutcome::kRefuse);
    ExpectOneCleanEnd(refused.outcome, Exactly(111, "Connection refused"), "connect refused");
    tally.Count("connect-refused", refused.outcome.code, 0);
    const PopResult unanswered = RunPop(scenario, Fault{}, ConnectOutcome::kNoAnswer);
    ExpectOneCleanEnd(unanswered.outcome, Exactly(-3, "connect timeout"), "connect unanswered");
    tally.Count("connect-silence", unanswered.outcome.code, 0);

    std::printf("%s\n", tally.Summary("pop " + scenario.name).c_str());
}

PopPolicy KeepSecond() {
    PopPolicy policy;
    policy.keep = {2};
    return policy;
}

PopPolicy Choices() {
    PopPolicy policy;
    policy.keep = {1};
    policy.skipUidl = {1, 4};
    policy.skipTop = {2, 4};
    policy.deleteAtUidl = {3};
    policy.skipRetr = {4};
    return policy;
}

PopPolicy StopAfterFirst() {
    PopPolicy policy;
    policy.abendAfterRetrOf = 1;
    return policy;
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, PopFaults,
    ::testing::Values(PopScenario{"user_pass", {0, 2, 4}, KeepSecond(), false, 2},
                      PopScenario{"apop_choices", {0, 5, 6, 4, 1}, Choices(), true, 3},
                      PopScenario{"abend_undo", {6, 0, 5}, StopAfterFirst(), false, 0}),
    [](const auto& info) { return info.param.name; });

TEST(PopFaultsDefaultLimit, LineOfManyMegabytesStopsAt64Mebibytes) {
    const PopScenario scenario{"one", {0}, {}, false, 0};
    const PopResult clean = RunPop(scenario, Fault{}, ConnectOutcome::kAccept, std::nullopt);
    size_t step = 0;
    while (step < clean.answered.size() && clean.answered[step] != "RETR") {
        ++step;
    }
    ASSERT_LT(step, clean.answered.size());
    const size_t limit = size_t{64} << 20;
    const Fault fault{FaultKind::kHugeLine, static_cast<int>(step), limit + 16 * kChunk, kChunk};
    const PopResult run = RunPop(scenario, fault, ConnectOutcome::kAccept, std::nullopt);
    ExpectOneCleanEnd(run.outcome, Exactly(-1, "LINE TOO LONG"), "64 MiB line in RETR");
    EXPECT_LE(run.bytesDelivered, BytesBefore(clean.replySizes, step) + limit + kChunk);
    EXPECT_TRUE(run.committed.empty());
}

}  // namespace
}  // namespace zef::reliability
