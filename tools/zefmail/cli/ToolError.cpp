#include "tools/zefmail/cli/ToolError.h"

#include <cerrno>
#include <cstring>

namespace zef::zefmail {

std::string SystemErrorText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace zef::zefmail
