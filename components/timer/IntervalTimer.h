// What the guard timers on each event loop share: the interval (never negative), the switch,
// and a fresh interval when either changes while enabled. The loop's own timer is behind Start
// and Stop.
#pragma once

#include <string>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/Timer.h"

namespace zef {

class IntervalTimer : public Timer {
  public:
    void Interval(long milliseconds) final {
        if (milliseconds < 0) {
            throw Error(error::kInvalidValue, "zef.Timer",
                        AsciiToText("the interval cannot be negative: " +
                                    std::to_string(milliseconds) + " ms"));
        }
        interval_ = milliseconds;
        if (enabled_) {
            Start();
        }
    }
    long Interval() const final { return interval_; }

    void Enabled(bool enabled) final {
        enabled_ = enabled;
        enabled ? Start() : Stop();
    }
    bool Enabled() const final { return enabled_; }

  private:
    // A fresh interval from now. An interval of 0 never ticks, as a host timer without one.
    virtual void Start() = 0;
    virtual void Stop() = 0;

    long interval_ = 0;
    bool enabled_ = false;
};

}  // namespace zef
