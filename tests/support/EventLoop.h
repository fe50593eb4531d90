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

}  // namespace zef::test
