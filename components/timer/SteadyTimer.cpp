// The guard timer on the event loop: an asio::steady_timer re-armed after every tick.
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <system_error>

#include "components/Timer.h"
#include "components/timer/IntervalTimer.h"

namespace zef {

namespace {

class SteadyTimer final : public IntervalTimer {
  public:
    explicit SteadyTimer(asio::io_context& io) : core_(std::make_shared<Core>(io, this)) {}

    SteadyTimer(const SteadyTimer&) = delete;
    SteadyTimer& operator=(const SteadyTimer&) = delete;

    // A wait still pending holds the core, not this object; it finds no owner and ends. So
    // does one that a failed cancel leaves behind.
    ~SteadyTimer() override {
        core_->owner = nullptr;
        try {
            Stop();
        } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch)
        }
    }

  private:
    // What the pending wait needs: the timer itself, the object to tick, and the number of the
    // current arming. A wait whose completion was already queued when the timer was stopped or
    // restarted cannot be cancelled any more; its stale arming number tells it to do nothing.
    struct Core {
        Core(asio::io_context& io, SteadyTimer* self) : timer(io), owner(self) {}
        asio::steady_timer timer;
        SteadyTimer* owner;
        unsigned arming = 0;
        // When the next tick is due. A restart only moves this later; the armed wait, when it
        // wakes early, waits again for the rest. The controls restart their guard on every
        // arrival of data, and this keeps that from costing a system call each time.
        asio::steady_timer::time_point due;
    };

    std::chrono::milliseconds Period() const { return std::chrono::milliseconds(Interval()); }

    void Start() override {
        if (Interval() <= 0) {
            Stop();
            return;
        }
        const auto due = asio::steady_timer::clock_type::now() + Period();
        if (waiting_ && due >= core_->timer.expiry()) {
            core_->due = due;  // the armed wait wakes first and waits on for the rest
            return;
        }
        Stop();
        core_->due = due;
        core_->timer.expires_at(due);
        Wait();
    }

    void Stop() override {
        ++core_->arming;
        core_->timer.cancel();
        waiting_ = false;
    }

    void Wait() {
        waiting_ = true;
        core_->timer.async_wait(
            [core = core_, arming = core_->arming](const asio::error_code& error) {
                if (!error && core->owner != nullptr && arming == core->arming) {
                    core->owner->OnWake();
                }
            });
    }

    // A wake before the due time means the interval was restarted meanwhile.
    void OnWake() {
        if (asio::steady_timer::clock_type::now() < core_->due) {
            core_->timer.expires_at(core_->due);
            Wait();
            return;
        }
        OnExpiry();
    }

    // Re-arms before raising Tick, so the handler may stop or restart the timer, or destroy
    // it. Ticks keep their rhythm; after a stall the next one is a full period away.
    void OnExpiry() {
        const auto now = asio::steady_timer::clock_type::now();
        auto next = core_->due + Period();
        if (next <= now) {
            next = now + Period();
        }
        core_->due = next;
        core_->timer.expires_at(next);
        Wait();
        const auto tick = Tick;  // the handler may destroy this object
        if (tick) {
            tick();
        }
    }

    std::shared_ptr<Core> core_;
    bool waiting_ = false;  // a wait of the current arming is pending
};

}  // namespace

std::unique_ptr<Timer> MakeSteadyTimer(asio::io_context& io) {
    return std::make_unique<SteadyTimer>(io);
}

}  // namespace zef
