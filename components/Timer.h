// The guard timer of a control: an interval in milliseconds, an enable switch and a tick.
#pragma once

#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace zef {

class Timer {
  public:
    virtual ~Timer() = default;

    virtual void Interval(long milliseconds) = 0;
    virtual long Interval() const = 0;

    // Enabling (re)starts the interval; disabling stops further ticks.
    virtual void Enabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;

    // Raised once per interval while enabled.
    std::function<void()> Tick;
};

// A timer that ticks only when told to: for tests of time-outs without sleeping, and for
// applications that drive the controls from their own clock.
class ManualTimer final : public Timer {
  public:
    void Interval(long milliseconds) override { interval_ = milliseconds; }
    long Interval() const override { return interval_; }
    void Enabled(bool enabled) override { enabled_ = enabled; }
    bool Enabled() const override { return enabled_; }

    // Raises Tick `count` times, each only while the timer is still enabled. Returns the number
    // of ticks actually raised.
    int Fire(int count = 1);

  private:
    long interval_ = 0;
    bool enabled_ = false;
};

// A steady timer on the given event loop.
std::unique_ptr<Timer> MakeSteadyTimer(asio::io_context& io);

}  // namespace zef
