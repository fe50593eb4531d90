#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "common/Error.h"
#include "components/Timer.h"
#include "tests/support/EventLoop.h"

namespace zef {
namespace {

using namespace std::chrono_literals;

class SteadyTimerTest : public ::testing::Test {
  protected:
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        return test::RunUntil(io_, done, deadline);
    }
    void RunFor(std::chrono::milliseconds span) { test::RunFor(io_, span); }

    asio::io_context io_;
};

TEST_F(SteadyTimerTest, TicksWhileEnabledAndStopsWhenDisabled) {
    auto timer = MakeSteadyTimer(io_);
    int ticks = 0;
    timer->Tick = [&] {
        if (++ticks == 3) {
            timer->Enabled(false);
        }
    };
    timer->Interval(10);
    timer->Enabled(true);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 10);

    ASSERT_TRUE(RunUntil([&] { return ticks >= 3; }));
    EXPECT_FALSE(timer->Enabled());
    RunFor(60ms);
    EXPECT_EQ(ticks, 3);
}

TEST_F(SteadyTimerTest, NeverTicksBeforeBeingEnabled) {
    auto timer = MakeSteadyTimer(io_);
    int ticks = 0;
    timer->Tick = [&] { ++ticks; };
    timer->Interval(10);
    RunFor(50ms);
    EXPECT_EQ(ticks, 0);

    timer->Enabled(true);
    timer->Interval(0);  // no interval: enabled, but silent
    RunFor(50ms);
    EXPECT_EQ(ticks, 0);
    EXPECT_THROW(timer->Interval(-1), Error);
}

TEST_F(SteadyTimerTest, EnablingAgainRestartsTheInterval) {
    // The guard is re-armed every 10 ms by a faster timer, so its 40 ms interval never runs
    // out until the re-arming stops; a timer that kept its first deadline would tick earlier.
    auto guard = MakeSteadyTimer(io_);
    auto rearm = MakeSteadyTimer(io_);
    std::vector<std::string> events;
    int rearms = 0;
    guard->Tick = [&] {
        events.emplace_back("guard");
        guard->Enabled(false);
    };
    rearm->Tick = [&] {
        events.emplace_back("rearm");
        guard->Enabled(true);
        if (++rearms == 8) {
            rearm->Enabled(false);
        }
    };
    guard->Interval(40);
    rearm->Interval(10);
    guard->Enabled(true);
    rearm->Enabled(true);

    ASSERT_TRUE(RunUntil([&] { return !events.empty() && events.back() == "guard"; }));
    std::vector<std::string> expected(8, "rearm");
    expected.emplace_back("guard");
    EXPECT_EQ(events, expected);
}

TEST_F(SteadyTimerTest, TickAlreadyDueIsDroppedWhenDisabledFirst) {
    // Both timers fall due before the loop runs, so both completions are queued together;
    // whichever ticks first disables the other, whose queued tick must not arrive.
    auto first = MakeSteadyTimer(io_);
    auto second = MakeSteadyTimer(io_);
    int ticks = 0;
    first->Tick = [&] {
        ++ticks;
        first->Enabled(false);
        second->Enabled(false);
    };
    second->Tick = [&] {
        ++ticks;
        first->Enabled(false);
        second->Enabled(false);
    };
    first->Interval(10);
    second->Interval(10);
    first->Enabled(true);
    second->Enabled(true);
    std::this_thread::sleep_for(30ms);

    ASSERT_TRUE(RunUntil([&] { return ticks > 0; }));
    RunFor(50ms);
    EXPECT_EQ(ticks, 1);
}

TEST_F(SteadyTimerTest, TickHandlerMayRestartOrDestroyTheTimer) {
    auto timer = MakeSteadyTimer(io_);
    int ticks = 0;
    timer->Tick = [&] {
        ++ticks;
        if (ticks == 2) {
            timer->Enabled(true);  // restart from inside the tick
        } else if (ticks == 4) {
            timer.reset();  // the owner goes away inside its own tick
        }
    };
    timer->Interval(10);
    timer->Enabled(true);
    ASSERT_TRUE(RunUntil([&] { return ticks >= 4; }));
    RunFor(50ms);
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(timer, nullptr);
}

TEST_F(SteadyTimerTest, DestroyedWhileWaitingNeverTicks) {
    int ticks = 0;
    {
        auto timer = MakeSteadyTimer(io_);
        timer->Tick = [&] { ++ticks; };
        timer->Interval(10);
        timer->Enabled(true);
    }
    RunFor(50ms);
    EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace zef
