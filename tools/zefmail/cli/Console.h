// What a command meets outside itself: the standard streams and the environment, passed in so
// that tests can give their own.
#pragma once

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace zef::zefmail {

// Looks up an environment variable; std::nullopt when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const std::string&)>;

struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    EnvLookup env;
};

}  // namespace zef::zefmail
