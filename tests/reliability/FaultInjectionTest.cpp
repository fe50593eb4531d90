// Faults at every step of both dialogues: for each reply the server would give, a run in which
// it instead closes the connection, falls silent, refuses, sends binary garbage (without and
// with a line end), sends a line of many megabytes without a line end, or says more than was
// asked. Every run must end with exactly one Done carrying the documented code, raise nothing
// after it, leave the guard timer off, buffer no more than the line limit, and lose no message:
// an SMTP send reported done was accepted by the server whole, and a POP3 server deleted only
// messages the application had seen whole and let go.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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
            return {std::nullopt, {0, -1, -2, -4}};
    }
}

Expected ExpectedPop(FaultKind kind, const std::string& answered) {
    const bool quit = answered == "QUIT";
    // UIDL and TOP refusals are reported through UidlDone and TopDone; the walk goes on.
    const bool goesOn = quit || answered == "RSET" || answered == "UIDL" || answered == "TOP";
    switch (kind) {
        case FaultKind::kRefuse:
            return goesOn ? Exactly(0, "") : Exactly(-1, "-ERR injected refusal");
        case FaultKind::kGarbageLine:  // not "+OK": a refusal, whose text is the garbage
            return {std::nullopt, {goesOn ? 0L : -1L}};
        case FaultKind::kHugeLine:
            return Exactly(-1, "LINE TOO LONG");
        default:
            return ExpectedSmtp(kind, answered);
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

// What a run of either control left: the outcome, the server's replies and what it committed.
struct RunResult {
    Outcome outcome;
    std::vector<std::string> answered;
    std::vector<size_t> replySizes;
    size_t bytesDelivered = 0;
    std::vector<std::string> accepted;               // SMTP
    std::map<long, std::vector<std::string>> views;  // POP3, and below
    std::set<long> letDelete, committed;

    size_t BytesBefore(size_t reply) const {
        size_t total = 0;
        for (size_t i = 0; i < reply && i < replySizes.size(); ++i) {
            total += replySizes[i];
        }
        return total;
    }
    size_t StepAnswering(const std::string& word) const {
        return static_cast<size_t>(std::find(answered.begin(), answered.end(), word) -
                                   answered.begin());
    }
};

using Runner = std::function<RunResult(const Fault&, ConnectOutcome, std::optional<size_t>)>;

Runner SmtpRunner(const SmtpRig::Scenario& scenario) {
    return [scenario](const Fault& fault, ConnectOutcome connect, std::optional<size_t> limit) {
        SmtpServer server;
        server.fault = fault;
        SmtpRig rig(server, scenario);
        rig.wire->connectOutcome = connect;
        if (limit) {
            rig.control->MaxLineLength(static_cast<long long>(*limit));
        }
        rig.Start();
        rig.Run();
        RunResult result{rig.Result(),
                         server.answered,
                         server.replySizes,
                         rig.wire->bytesDelivered,
                         {},
                         {},
                         {},
                         {}};
        for (const Bytes& message : server.accepted) {
            result.accepted.push_back(WithoutBoundaryTimes(message));
        }
        return result;
    };
}

Runner PopRunner(const PopScenario& scenario) {
    return [scenario](const Fault& fault, ConnectOutcome connect, std::optional<size_t> limit) {
        Pop3Server server;
        server.fault = fault;
        FillMailbox(server, scenario.messages);
        PopRig rig(server, scenario.policy);
        rig.wire->connectOutcome = connect;
        if (limit) {
            rig.control->MaxLineLength(static_cast<long long>(*limit));
        }
        rig.Start(scenario.apop, scenario.topLines);
        rig.Run();
        return RunResult{rig.Result(), server.answered, server.replySizes, rig.wire->bytesDelivered,
                         {},           rig.views,       rig.letDelete,     server.committed};
    };
}

// A send reported done must have been accepted whole, once.
int SmtpLost(const RunResult& run, const RunResult& clean) {
    return run.outcome.code == 0 && (run.accepted.size() != 1 || run.accepted != clean.accepted)
               ? 1
               : 0;
}

// A message deleted on the server must be one the application let go after seeing it whole
// (or chose to delete from its unique id alone).
std::function<int(const RunResult&, const RunResult&)> PopLost(const PopPolicy& policy) {
    return [policy](const RunResult& run, const RunResult& clean) {
        int lost = 0;
        for (long id : run.committed) {
            const bool seenWhole = policy.deleteAtUidl.count(id) != 0 ||
                                   (run.views.count(id) != 0 && clean.views.count(id) != 0 &&
                                    run.views.at(id) == clean.views.at(id));
            lost += run.letDelete.count(id) == 0 || !seenWhole ? 1 : 0;
        }
        return lost;
    };
}

void EveryFaultAtEveryStep(const std::string& title, const Runner& run,
                           const std::function<Expected(FaultKind, const std::string&)>& expected,
                           const std::function<int(const RunResult&, const RunResult&)>& lostIn) {
    const RunResult clean = run(Fault{}, ConnectOutcome::kAccept, kLineLimit);
    ASSERT_EQ(clean.outcome.code, 0) << clean.outcome.message;
    ASSERT_EQ(lostIn(clean, clean), 0) << "the run without faults";

    Tally tally;
    for (size_t step = 0; step < clean.answered.size(); ++step) {
        for (FaultKind kind : kKinds) {
            const Fault fault{kind, static_cast<int>(step), kLineLimit + 4 * kChunk, kChunk};
            const RunResult result = run(fault, ConnectOutcome::kAccept, kLineLimit);
            const std::string label = std::string(FaultName(kind)) + " instead of reply " +
                                      std::to_string(step) + " (to " + clean.answered[step] + ")";
            ExpectOneCleanEnd(result.outcome, expected(kind, clean.answered[step]), label);
            const int lost = lostIn(result, clean);
            EXPECT_EQ(lost, 0) << label;
            if (kind == FaultKind::kHugeLine) {
                EXPECT_LE(result.bytesDelivered, clean.BytesBefore(step) + kLineLimit + kChunk)
                    << label;
            }
            tally.Count(FaultName(kind), result.outcome.code, lost);
        }
    }
    // Before the dialogue: the connect refused, and never answered.
    const RunResult refused = run(Fault{}, ConnectOutcome::kRefuse, kLineLimit);
    ExpectOneCleanEnd(refused.outcome, Exactly(111, "Connection refused"), "connect refused");
    tally.Count("connect-refused", refused.outcome.code, 0);
    const RunResult unanswered = run(Fault{}, ConnectOutcome::kNoAnswer, kLineLimit);
    ExpectOneCleanEnd(unanswered.outcome, Exactly(-3, "connect timeout"), "connect unanswered");
    tally.Count("connect-silence", unanswered.outcome.code, 0);
    std::printf("%s\n", tally.Summary(title).c_str());
}

class SmtpFaults : public ::testing::TestWithParam<SmtpRig::Scenario> {};

TEST_P(SmtpFaults, EveryFaultAtEveryStepEndsWithOneDocumentedDone) {
    EveryFaultAtEveryStep("smtp " + GetParam().name, SmtpRunner(GetParam()), ExpectedSmtp,
                          SmtpLost);
}

INSTANTIATE_TEST_SUITE_P(Dialogues, SmtpFaults, ::testing::ValuesIn(SmtpScenarios()),
                         [](const auto& info) { return info.param.name; });

class PopFaults : public ::testing::TestWithParam<PopScenario> {};

TEST_P(PopFaults, EveryFaultAtEveryStepEndsWithOneDocumentedDone) {
    EveryFaultAtEveryStep("pop " + GetParam().name, PopRunner(GetParam()), ExpectedPop,
                          PopLost(GetParam().policy));
}

PopPolicy KeepSecond() {
    PopPolicy policy;
    policy.keep = {2};
    return policy;
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, PopFaults,
    ::testing::Values(PopScenario{"user_pass", {0, 2, 4}, KeepSecond(), false, 2},
                      PopScenario{"apop_choices", {0, 5, 6, 4, 1}, ChoicesPolicy(true), true, 3},
                      PopScenario{"abend_undo", {6, 0, 5}, AbendAfterFirstPolicy(), false, 0}),
    [](const auto& info) { return info.param.name; });

// Without MaxLineLength set, a line of many megabytes is cut at the default limit of each
// control, and nothing is deleted.
TEST(FaultsAtTheDefaultLimit, LineOfManyMegabytesStopsAtTheDefault) {
    struct Case {
        const char* name;
        Runner run;
        const char* word;  // the reply replaced by the huge line
        size_t limit;
        size_t hugeBytes;
        const char* message;
    };
    const Case cases[] = {
        {"smtp", SmtpRunner(SmtpScenarios()[0]), "RCPT", size_t{1} << 20, size_t{8} << 20,
         "REPLY LINE TOO LONG"},
        {"pop", PopRunner(PopScenario{"one", {0}, {}, false, 0}), "RETR", size_t{64} << 20,
         (size_t{64} << 20) + 16 * kChunk, "LINE TOO LONG"},
    };
    for (const Case& test : cases) {
        const RunResult clean = test.run(Fault{}, ConnectOutcome::kAccept, std::nullopt);
        const size_t step = clean.StepAnswering(test.word);
        ASSERT_LT(step, clean.answered.size()) << test.name;
        const Fault fault{FaultKind::kHugeLine, static_cast<int>(step), test.hugeBytes, kChunk};
        const RunResult run = test.run(fault, ConnectOutcome::kAccept, std::nullopt);
        ExpectOneCleanEnd(run.outcome, Exactly(-1, test.message), test.name);
        EXPECT_LE(run.bytesDelivered, clean.BytesBefore(step) + test.limit + kChunk) << test.name;
        EXPECT_TRUE(run.accepted.empty() && run.committed.empty()) << test.name;
    }
}

// Only a 2xx reply to the final dot says the server took the message; a 3xx or a line of
// garbage read there ends the send as failed (it used to send QUIT and report success).
TEST(SmtpFaultsAtTheDot, OnlyATwoHundredReplyReportsTheMessageSent) {
    const Runner run = SmtpRunner(SmtpScenarios()[0]);
    const size_t dot = run(Fault{}, ConnectOutcome::kAccept, kLineLimit).StepAnswering("dot");
    const RunResult garbage =
        run(Fault{FaultKind::kGarbageLine, int(dot)}, ConnectOutcome::kAccept, kLineLimit);
    ExpectOneCleanEnd(garbage.outcome, Expected{std::nullopt, {-1}}, "garbage after the dot");
    EXPECT_EQ(garbage.outcome.message.rfind("UNEXPECTED REPLY: ", 0), 0U)
        << garbage.outcome.message;
    EXPECT_TRUE(garbage.accepted.empty());
}

}  // namespace
}  // namespace zef::reliability
