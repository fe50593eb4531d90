// However the server's bytes are cut into DataArrivals, the control must do exactly the same:
// every reply of a dialogue is delivered cut in two at every byte offset, and once one byte per
// DataArrival, and the full log (every event with its arguments, every command sent) must equal
// the log of the run that got each reply whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/reliability/ControlRigs.h"
#include "tests/reliability/Corpus.h"

namespace zef::reliability {
namespace {

struct RunLog {
    std::vector<std::string> log;
    std::vector<size_t> replySizes;
    Outcome outcome;
};

// The first difference of two logs, or "" when they are equal.
std::string FirstDifference(const std::vector<std::string>& expected,
                            const std::vector<std::string>& seen) {
    const size_t common = std::min(expected.size(), seen.size());
    for (size_t i = 0; i < common; ++i) {
        if (expected[i] != seen[i]) {
            return "entry " + std::to_string(i) + ": expected\n  " + expected[i] + "\nseen\n  " +
                   seen[i];
        }
    }
    if (expected.size() != seen.size()) {
        return "length " + std::to_string(seen.size()) + " instead of " +
               std::to_string(expected.size()) +
               "; next: " + (seen.size() > common ? seen[common] : expected[common]);
    }
    return {};
}

// Runs `once` with each reply whole, then cut at every offset, then byte by byte; returns the
// number of runs compared.
template <class RunOnce>
size_t ExpectSameWhateverTheCuts(const RunOnce& once) {
    const RunLog whole = once(Delivery{});
    EXPECT_EQ(whole.outcome.dones, 1);
    size_t runs = 0;
    for (size_t reply = 0; reply < whole.replySizes.size(); ++reply) {
        for (size_t offset = 1; offset < whole.replySizes[reply]; ++offset) {
            const RunLog cut =
                once(Delivery{Delivery::Mode::kSplit, static_cast<int>(reply), offset});
            ++runs;
            const std::string difference = FirstDifference(whole.log, cut.log);
            if (!difference.empty()) {
                ADD_FAILURE() << "reply " << reply << " cut after " << offset
                              << " bytes: " << difference;
                return runs;
            }
        }
    }
    const RunLog bytewise = once(Delivery{Delivery::Mode::kByteByByte});
    ++runs;
    const std::string difference = FirstDifference(whole.log, bytewise.log);
    EXPECT_TRUE(difference.empty()) << "one byte per DataArrival: " << difference;
    return runs;
}

// --- SMTP dialogues ---

class SmtpSplit : public ::testing::TestWithParam<SmtpRig::Scenario> {};

TEST_P(SmtpSplit, SameEventsHoweverRepliesAreCut) {
    const SmtpRig::Scenario scenario = GetParam();
    const size_t runs = ExpectSameWhateverTheCuts([&](const Delivery& delivery) {
        SmtpServer server;
        server.delivery = delivery;
        SmtpRig rig(server, scenario);
        rig.Start();
        rig.Run();
        EXPECT_EQ(server.accepted.size(), 1U);
        return RunLog{rig.log, server.replySizes, rig.Result()};
    });
    EXPECT_GT(runs, 100U);
    std::printf("reliability: smtp %s split %zu ways\n", scenario.name.c_str(), runs);
}

INSTANTIATE_TEST_SUITE_P(Dialogues, SmtpSplit, ::testing::ValuesIn(SmtpScenarios()),
                         [](const auto& info) { return info.param.name; });

// --- POP3: each corpus message in a mailbox of its own, and whole dialogues with the
// application's choices ---

std::vector<PopScenario> PopSplitScenarios() {
    std::vector<PopScenario> scenarios = {
        {"apop_choices", {0, 5, 6, 4, 1}, ChoicesPolicy(false), true, 3},
        {"abend_undo", {6, 0, 5}, AbendAfterFirstPolicy(), false, 0},
    };
    for (size_t i = 0; i < Corpus().size(); ++i) {
        std::string name = Corpus()[i].name;
        std::replace(name.begin(), name.end(), '-', '_');
        scenarios.push_back({name, {i}, {}, false, 2});  // read whole and deleted
    }
    return scenarios;
}

class PopSplit : public ::testing::TestWithParam<PopScenario> {};

TEST_P(PopSplit, SameEventsHoweverRepliesAreCut) {
    const PopScenario& scenario = GetParam();
    const bool oneMessage = scenario.messages.size() == 1;
    const size_t runs = ExpectSameWhateverTheCuts([&](const Delivery& delivery) {
        Pop3Server server;
        server.delivery = delivery;
        FillMailbox(server, scenario.messages);
        PopRig rig(server, scenario.policy);
        rig.Start(scenario.apop, scenario.topLines);
        rig.Run();
        if (oneMessage) {
            EXPECT_EQ(rig.Result().code, 0);
            EXPECT_EQ(server.committed.size(), 1U);
        }
        return RunLog{rig.log, server.replySizes, rig.Result()};
    });
    EXPECT_GT(runs, oneMessage ? Corpus().at(scenario.messages[0]).bytes.size() : 100U);
    std::printf("reliability: pop %s split %zu ways\n", scenario.name.c_str(), runs);
}

INSTANTIATE_TEST_SUITE_P(Dialogues, PopSplit, ::testing::ValuesIn(PopSplitScenarios()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zef::reliability
