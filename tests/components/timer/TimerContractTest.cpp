// The contract of every event-loop Timer (a row of kTimers each), and the ManualTimer.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/Error.h"
#include "components/Timer.h"
#include "tests/support/EventLoop.h"
#ifdef ZEF_TEST_QT
#include "components/qt/QtComponents.h"
#endif

namespace zef::test {
namespace {

using namespace std::chrono_literals;

struct TimerRow {
    const char* name;
    std::function<std::unique_ptr<Timer>(asio::io_context&)> make;
    std::function<decltype(RunUntil)> runUntil;
    friend void PrintTo(const TimerRow& row, std::ostream* out) { *out << row.name; }
};
const TimerRow kTimers[] = {
    {"AsioSteady", MakeSteadyTimer, RunUntil},
#ifdef ZEF_TEST_QT
    {"Qt", [](asio::io_context&) { return StartQt(), MakeQtTimer(); }, RunQtUntil},
#endif
};

class TimerContract : public ::testing::TestWithParam<TimerRow> {
  protected:
    std::unique_ptr<Timer> Make(long interval, std::function<void()> tick) {  // enabled unless 0
        auto timer = GetParam().make(io_);
        timer->Tick = std::move(tick);
        timer->Interval(interval);
        timer->Enabled(interval > 0);
        return timer;
    }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        return GetParam().runUntil(io_, done, limit);
    }
    void RunFor(std::chrono::milliseconds span) {
        RunUntil([] { return false; }, span);
    }

    asio::io_context io_;
};
INSTANTIATE_TEST_SUITE_P(Timers, TimerContract, ::testing::ValuesIn(kTimers),
                         [](const auto& info) { return std::string(info.param.name); });

// Silent until enabled with an interval; an interval set while enabled starts it. A tick
// handler may restart, disable or destroy the timer; a destroyed timer never ticks.
TEST_P(TimerContract, TicksOncePerIntervalWhileEnabledAndSurvivesItsHandler) {
    int ticks = 0;
    std::unique_ptr<Timer> timer = Make(0, [&] {
        ++ticks == 2 ? timer->Enabled(true) : void();
        ticks == 3 ? timer->Enabled(false) : void();
        ticks == 4 ? timer.reset() : void();
    });
    Make(10, [&] { ticks += 100; }).reset();
    timer->Interval(10);
    RunFor(50ms);
    timer->Interval(0);
    timer->Enabled(true);
    RunFor(50ms);
    EXPECT_EQ(ticks, 0) << "ticked before being enabled with an interval";
    EXPECT_THROW(timer->Interval(-1), Error);
    timer->Interval(10);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 10);
    ASSERT_TRUE(RunUntil([&] { return ticks >= 3; }));
    EXPECT_FALSE(timer->Enabled());
    RunFor(60ms);
    EXPECT_EQ(ticks, 3);
    timer->Enabled(true);
    ASSERT_TRUE(RunUntil([&] { return ticks >= 4; }));
    RunFor(50ms);
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(timer, nullptr);
}

// A faster timer enables the guard again every 10 ms, so its 100 ms never run out until that
// stops. Then both fall due at once: the first tick disables both, and the other's due tick
// must not come.
TEST_P(TimerContract, EnablingAgainRestartsTheIntervalAndDisablingDropsADueTick) {
    std::string events;
    auto guard = Make(100, [&] { events += "G"; });
    std::unique_ptr<Timer> rearm = Make(10, [&] {
        events += "r";
        guard->Enabled(true);
        events.size() == 15 ? rearm->Enabled(false) : void();
    });
    ASSERT_TRUE(RunUntil([&] { return events.find('G') != std::string::npos; }));
    EXPECT_EQ(events, std::string(15, 'r') + "G");

    const auto stopBoth = [&] {
        events += "x";
        guard->Enabled(false);
        rearm->Enabled(false);
    };
    guard = Make(10, stopBoth);
    rearm = Make(10, stopBoth);
    std::this_thread::sleep_for(30ms);
    RunFor(60ms);
    EXPECT_EQ(events, std::string(15, 'r') + "Gx");
}

TEST(ManualTimerTest, FireRaisesTickOnlyWhileEnabled) {
    struct Case {
        bool enabled, handler;
        int count, disableAt, raised;  // disableAt: the tick that disables the timer, or 0
    };
    for (const Case& c :
         {Case{false, true, 3, 0, 0}, Case{true, true, 3, 0, 3}, Case{true, true, 5, 2, 2},
          Case{true, false, 2, 0, 2}, Case{true, true, 0, 0, 0}}) {
        SCOPED_TRACE(::testing::Message() << "count " << c.count << ", disable at " << c.disableAt);
        ManualTimer timer;
        timer.Enabled(c.enabled);
        int ticks = 0;
        if (c.handler) {
            timer.Tick = [&] { ++ticks == c.disableAt ? timer.Enabled(false) : void(); };
        }
        EXPECT_EQ(timer.Fire(c.count), c.raised);
        EXPECT_EQ(ticks, c.handler ? c.raised : 0);
    }
}

}  // namespace
}  // namespace zef::test
