#include "components/wire/ConnectionWire.h"

#include <charconv>

#include "common/Error.h"
#include "common/Unicode.h"

namespace zef::wire {

namespace {

// "[::1]" names the same host as "::1"; the brackets only keep the colons apart from a port.
std::string HostWithoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

bool IsPortNumber(const std::string& port) {
    unsigned value = 0;
    const auto result = std::from_chars(port.data(), port.data() + port.size(), value);
    return !port.empty() && result.ec == std::errc() && result.ptr == port.data() + port.size() &&
           value >= 1 && value <= 65535;
}

}  // namespace

void Refuse(long number, const std::string& why) {
    throw Error(number, "zef.Wire", Utf8ToText(why));
}

std::string CheckConnectRequest(bool busy, const std::string& host, const std::string& port,
                                const std::string& options) {
    if (busy) {
        Refuse(error::kInvalidArgument,
               "a connection is still open or closing; wait for Closed before connecting");
    }
    std::string name = HostWithoutBrackets(host);
    if (name.empty()) {
        Refuse(error::kInvalidValue, "the host name is empty");
    }
    if (!IsPortNumber(port)) {
        Refuse(error::kInvalidValue, "the port \"" + port + "\" is not a number from 1 to 65535");
    }
    if (!options.empty() && options != "0") {
        Refuse(error::kInvalidValue, "unknown connect option \"" + options + "\"");
    }
    return name;
}

}  // namespace zef::wire
