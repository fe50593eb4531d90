#include "tools/zefmail/Outcome.h"

namespace zef::zefmail {

std::string DescribeFailure(long code, const std::string& message, const std::string& server,
                            int port, bool reachedServer) {
    std::string detail = "code " + std::to_string(code) + ": " + message;
    if (!reachedServer && code == -1) {
        return "cannot send (" + detail + ")";  // refused before connecting
    }
    if (!reachedServer) {
        return "cannot reach " + server + ":" + std::to_string(port) + " (" + detail + ")";
    }
    switch (code) {
        case -1:
            return "the server refused (" + detail + ")";
        case -2:
            return "the server closed the connection unexpectedly (" + detail + ")";
        case -4:
            return "the server stopped answering (" + detail + ")";
        default:
            return "failed (" + detail + ")";
    }
}

}  // namespace zef::zefmail
