// The error zefmail reports on one line of standard error before it exits.
#pragma once

#include <stdexcept>
#include <string>

namespace zef::zefmail {

// A failure the user can act on: a missing file, a refused option, a write that failed.
// The message is complete as it stands ("cannot read notes.txt: Permission denied").
class ToolError : public std::runtime_error {
  public:
    explicit ToolError(const std::string& message) : std::runtime_error(message) {}
};

// "<what>: <strerror(errno)>" for the errno in force.
std::string SystemErrorText(const std::string& what);

}  // namespace zef::zefmail
