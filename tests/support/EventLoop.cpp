#include "tests/support/EventLoop.h"

#include <algorithm>
#include <thread>

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

}  // namespace zef::test
