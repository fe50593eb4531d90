#include "tools/zefmail/cli/LocalHost.h"

#include <unistd.h>

#include <array>

namespace zef::zefmail {

std::string LocalHostName() {
    std::array<char, 256> name{};  // zeroed: the last byte ends a name that was cut
    if (::gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name.data();
}

}  // namespace zef::zefmail
