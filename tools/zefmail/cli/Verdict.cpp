#include "tools/zefmail/cli/Verdict.h"

#include <algorithm>

#include "common/Outcomes.h"
#include "common/Unicode.h"
#include "smtp/Outcomes.h"

namespace zef::zefmail {

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitTemporary = 4;

// The socket's TLS failures name themselves; the server was reached either way.
constexpr const char* kCertificateRefused = "certificate verify failed";
constexpr const char* kNoTls = "TLS handshake failed";

bool Temporary(const std::string& reply) {
    return reply.starts_with('4');
}

// POP3 refusals that say they may pass: another session holds the mailbox, logins come too
// often, the server's own trouble (RFC 2449, 3206).
bool TemporaryResponseCode(const std::string& code) {
    return code == "IN-USE" || code == "LOGIN-DELAY" || code == "SYS/TEMP";
}

// A failure after the server was reached: the code of Done says how.
Verdict FailureAfterReaching(const TransferEnd& end) {
    if (end.code != outcome::kFailureCode) {
        return Verdict::kTemporary;  // a time-out, a lost connection, a socket error
    }
    if (end.message.starts_with(TextToUtf8(outcome::smtp::kUnexpectedError.message))) {
        return Verdict::kLocal;
    }
    // Every recipient was refused (Done then carries the last refusal). Any refusal that may
    // pass makes the whole temporary, whatever the order of the replies: a later try can still
    // reach those recipients, and the ones refused for good are refused and named again (the
    // send then ends partly sent), so no recipient is given up while it may still take it.
    if (!end.refusals.empty() && end.message == end.refusals.back()) {
        return std::any_of(end.refusals.begin(), end.refusals.end(), Temporary)
                   ? Verdict::kTemporary
                   : Verdict::kRefused;
    }
    return Temporary(end.message) || TemporaryResponseCode(end.responseCode) ? Verdict::kTemporary
                                                                             : Verdict::kRefused;
}

}  // namespace

void TransferEnd::Trace(const Text& line) {
    if (line.starts_with(u">>")) {
        // Every command gets one reply; the header and body lines of a message get none.
        if (!line.starts_with(u">>Sending Data") && !line.starts_with(u">>Sending More Data")) {
            unanswered.push_back(TextToUtf8(line.substr(2)));
        }
        endSent = endSent || line.starts_with(outcome::smtp::kDotTrace);
        return;
    }
    reachedServer = reachedServer || !line.empty();
    // The last line of a reply ("250 ok", not "250-..."; POP3's lines have no code) answers the
    // oldest command still waiting.
    const bool lastLineOfReply = line.size() < 4 || line[3] == u' ';
    if (lastLineOfReply && !unanswered.empty()) {
        const bool refusal = line.starts_with(u'4') || line.starts_with(u'5');
        if (refusal && refusedCommand.empty()) {
            refusedCommand = unanswered.front();
        }
        unanswered.pop_front();
    }
    if (endSent) {
        accepted = line.starts_with(u'2');
        endSent = false;
    }
}

Verdict Classify(const TransferEnd& end) {
    // Once the server took the message, a QUIT left unanswered changes nothing: trying again
    // would deliver it twice.
    if (end.code == outcome::kSuccessCode || end.accepted) {
        return Verdict::kDone;
    }
    if (end.message.starts_with(kCertificateRefused) || end.message.starts_with(kNoTls)) {
        return Verdict::kRefused;  // the next try meets the same certificate
    }
    if (!end.reachedServer) {
        // Done -1 before the connect is the control's refusal of what it was given; any
        // other code is a connection that failed (no route, refused, a time-out).
        return end.code == outcome::kFailureCode ? Verdict::kLocal : Verdict::kTemporary;
    }
    return FailureAfterReaching(end);
}

int ExitStatus(Verdict verdict) {
    return verdict == Verdict::kDone        ? 0
           : verdict == Verdict::kTemporary ? kExitTemporary
                                            : kExitFailed;
}

std::string Describe(const TransferEnd& end, const std::string& server, int port) {
    const std::string where = server + ":" + std::to_string(port);
    const std::string detail = " (code " + std::to_string(end.code) + ": " + end.message;
    if (end.accepted) {
        return "sent, but the server did not end the session" + detail + ")";
    }
    if (end.message.starts_with(kCertificateRefused)) {
        return "the server's certificate was refused" + detail +
               "; --ca-file names a CA to trust, --insecure skips the check)";
    }
    if (end.message.starts_with(kNoTls)) {
        return "no TLS with " + where + detail + ")";
    }
    if (!end.reachedServer) {
        return (end.code == outcome::kFailureCode ? "cannot send" : "cannot reach " + where) +
               detail + ")";
    }
    switch (end.code) {
        case outcome::kFailureCode:
            // Refused at RCPT TO: the recipient it was (those of a partial send are named apart).
            if (end.refusals.empty() && end.refusedCommand.starts_with("RCPT TO:")) {
                return "the server refused the recipient " + end.refusedCommand.substr(8) + detail +
                       ")";
            }
            return "the server refused" + detail + ")";
        case outcome::kUnexpectedDisconnect.code:
            return "the server closed the connection unexpectedly" + detail + ")";
        case outcome::kTransTimeout.code:
            return "the server stopped answering" + detail + ")";
        default:
            return "failed" + detail + ")";
    }
}

}  // namespace zef::zefmail
