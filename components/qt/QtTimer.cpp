// The guard timer on Qt's event loop: a QTimer. An interval of 0 never ticks, as with the Asio
// timer (a QTimer of 0 would tick on every turn of the loop).
#include <QTimer>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

#include "components/qt/QtComponents.h"
#include "components/timer/IntervalTimer.h"

namespace zef {

namespace {

class QtTimer final : public IntervalTimer {
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

  private:
    void Start() override {
        if (Interval() <= 0) {
            timer_->stop();
            return;
        }
        timer_->start(static_cast<int>(std::min<long>(Interval(), INT_MAX)));
    }
    void Stop() override { timer_->stop(); }

    QTimer* timer_;  // deleted later, see the destructor
};

}  // namespace

std::unique_ptr<Timer> MakeQtTimer() {
    return std::make_unique<QtTimer>();
}

}  // namespace zef
