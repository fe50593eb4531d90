#include "tools/zefmail/Outcome.h"

namespace zef::zefmail {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::string DescribeFailure(long code, const std::string& message, const std::string& server,
                            int port, bool reachedServer) {
    std::string detail = "code " + std::to_string(code) + ": " + message;
    // The socket's TLS failures name themselves; the server was reached either way.
    if (StartsWith(message, "certificate verify failed")) {
        return "the server's certificate was refused (" + detail +
               "; --ca-file names a CA to trust, --insecure skips the check)";
    }
    if (StartsWith(message, "TLS handshake failed")) {
        return "no TLS with " + server + ":" + std::to_string(port) + " (" + detail + ")";
    }
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
