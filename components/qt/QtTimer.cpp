// The guard timer on Qt's event loop: a QTimer. An interval of 0 never ticks, as with the Asio
// timer (a QTimer of 0 would tick on every turn of the loop).
#include <QTimer>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/qt/QtComponents.h"

namespace zef {

namespace {

class QtTimer final : public Timer {
  public:
    QtTimer() : timer_(new QTimer) {
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
            const auto tick = Tick;  // the handler may destroy this object
            if (tick) {
                tick();
            }
        });
    }
    QtTimer(const QtTimer&) = delete;
    QtTimer& operator=(const QtTimer&) = delete;

    // The QTimer may be the one whose tick is running: it goes once that is over.
    ~QtTimer() override {
        timer_->stop();
        QObject::disconnect(timer_, nullptr, nullptr, nullptr);
        timer_->deleteLater();
    }

    void Interval(long milliseconds) override {
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
    long Interval() const override { return interval_; }

    void Enabled(bool enabled) override {
        enabled_ = enabled;
        enabled ? Start() : timer_->stop();
    }
    bool Enabled() const override { return enabled_; }

  private:
    void Start() {
        if (interval_ <= 0) {
            timer_->stop();
            return;
        }
        timer_->start(static_cast<int>(std::min<long>(interval_, INT_MAX)));
    }

    QTimer* timer_;  // deleted later, see the destructor
    long interval_ = 0;
    bool enabled_ = false;
};

}  // namespace

std::unique_ptr<Timer> MakeQtTimer() {
    return std::make_unique<QtTimer>();
}

}  // namespace zef
