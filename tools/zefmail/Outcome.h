// How a transfer ended, in the one line zefmail writes to standard error.
#pragma once

#include <string>

namespace zef::zefmail {

// `reachedServer`: whether the server said anything at all. A failure before that is reported
// as an unreachable server.
std::string DescribeFailure(long code, const std::string& message, const std::string& server,
                            int port, bool reachedServer);

}  // namespace zef::zefmail
