#include "tests/support/EventLoop.h"

#include <algorithm>
#include <thread>

#ifdef ZEF_TEST_QT
#include <QCoreApplication>
#include <QTimer>
#include <array>
#endif

namespace zef::test {

bool RunUntil(asio::io_context& io, const std::function<bool()>& finished,
              std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        const auto slice = std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(10));
        if (io.run_one_for(slice) == 0 && io.stopped()) {
            // Nothing left to run: wait out the slice rather than spin, then look again.
            io.restart();
            std::this_thread::sleep_for(slice);
        }
    }
    return true;
}

void RunFor(asio::io_context& io, std::chrono::milliseconds span) {
    RunUntil(
        io, [] { return false; }, span);
}

#ifdef ZEF_TEST_QT
void StartQt() {
    static int argc = 1;
    static std::array<char, 10> name{"zef-tests"};
    static std::array<char*, 2> argv{name.data(), nullptr};
    static const QCoreApplication application(argc, argv.data());
}

// Each turn serves what Qt has ready (objects whose deletion was deferred go at once, as a
// running exec() would let them), then waits at most a millisecond for `io`, or for Qt when
// `io` has nothing to do.
bool RunQtUntil(asio::io_context& io, const std::function<bool()>& finished,
                std::chrono::milliseconds limit) {
    StartQt();
    QTimer turn;  // bounds a wait for Qt
    turn.start(1);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        io.restart();
        if (io.run_one_for(std::chrono::milliseconds(1)) == 0 && io.stopped()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    return true;
}
#endif

}  // namespace zef::test
