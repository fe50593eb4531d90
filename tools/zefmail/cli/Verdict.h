// How a transfer ended: the one verdict send, sendmail and fetch take their exit statuses from,
// and the one line zefmail writes about it to standard error.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "common/Types.h"

namespace zef::zefmail {

// What the control's Done and the dialogue before it told.
struct TransferEnd {
    long code = 0;
    std::string message;
    bool reachedServer = false;  // the server said anything at all
    bool accepted = false;       // SMTP: the server took the message (a 2xx reply to its end)
    bool endSent = false;        // SMTP: the end of the message went, its reply is awaited
    // SMTP with AcceptPartialRecipients: the replies that refused recipients, in their order.
    std::vector<std::string> refusals;
    std::string responseCode;  // POP3: the response code of the refusal (RFC 2449), if any
    // The command the first refusal (a 4xx or 5xx reply) answered, without ">>": with SMTP
    // PIPELINING the replies come in the order of the commands, behind several of them.
    std::string refusedCommand;
    std::deque<std::string> unanswered;  // commands traced whose replies have not come yet

    // Notes what a line of the control's Trace tells: the server's own lines do not begin
    // with ">>", and the first of them after the end of the message is the reply to it.
    void Trace(const Text& line);
};

enum class Verdict {
    kDone,       // the transfer did what it was for
    kRefused,    // the server (or its certificate) said no for good: trying again won't help
    kTemporary,  // a failure that may pass: try again later
    kLocal,      // refused before connecting, or a failure inside zefmail
};

Verdict Classify(const TransferEnd& end);

// The exit status of send and fetch: 0 done, 4 temporary, 1 otherwise.
int ExitStatus(Verdict verdict);

// The end for standard error: the cause, with the code and message of Done.
std::string Describe(const TransferEnd& end, const std::string& server, int port);

}  // namespace zef::zefmail
