// Running a test's event loop until something has happened, with a deadline.
#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>

namespace zef::test {

// Runs the loop until `finished` holds or `limit` has passed; true when it finished. A loop
// that runs out of work is restarted, so timers and sockets added later are still served.
bool RunUntil(asio::io_context& io, const std::function<bool()>& finished,
              std::chrono::milliseconds limit);

// Runs the loop for a fixed span, for checks that something does not happen.
void RunFor(asio::io_context& io, std::chrono::milliseconds span);

#ifdef ZEF_TEST_QT
// Makes the test program's QCoreApplication on first use: Qt components need one.
void StartQt();

// RunUntil for Qt components: Qt's loop and `io` (where the test's own peers live) in turns.
bool RunQtUntil(asio::io_context& io, const std::function<bool()>& finished,
                std::chrono::milliseconds limit);
#endif

}  // namespace zef::test
