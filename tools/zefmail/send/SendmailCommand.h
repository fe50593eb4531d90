// `zefmail sendmail`, also what zefmail does when it runs under the name "sendmail": the message
// on standard input goes out as it stands, less its Bcc fields, with sendmail's options and
// sysexits.h exit codes.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tools/zefmail/cli/Verdict.h"
#include "tools/zefmail/send/SendOptions.h"

namespace zef::zefmail {

struct SendmailOptions : SendOptions {  // from: -f; to: the recipient arguments
    bool recipientsFromHeader = false;  // -t
    bool ignoreDots = false;            // -i, -oi: a line "." does not end the input
    std::string bodyType;               // -B: "7BIT", "8BITMIME" or "" (not said)
    std::vector<std::string> modes;     // -o modes: -oi is -i, the others are defaults
    std::string mode;                   // -b: only -bm, the default, is taken
    std::string fullName;               // -F, ignored: the header is sent as written
    bool senderGiven = false;           // -f, even empty: '' and '<>' are the null sender
    std::string domain;                 // of a sender without one, and of Message-ID
    std::string dsnNotify;              // -N: "never" or a list of success, failure, delay
    std::string dsnReturn;              // -R: "full" or "hdrs"
    std::string dsnEnvelopeId;          // -V
    std::string queue;                  // --queue: stored there instead of sent
    bool verbose = false;               // -v, ignored
};

// sendmail's command line, with the server settings of the ZEFMAIL_* environment variables
// (after the account's, before the options).
extern const CommandRules<SendmailOptions> kSendmailRules;

// The variables sendmail and flush read as options, for callers that can pass only sendmail's
// own (ZEFMAIL_SERVER is --server, ...), then `more`. A function, not a constant, so that the
// rules of other files can use it while they are initialized.
std::vector<std::pair<std::string, std::string>> ServerVariables(
    std::vector<std::pair<std::string, std::string>> more = {});

// Defaults with localhost as the server, unless the account, a variable or an option names
// another.
template <typename Options>
Options WithLocalServer() {
    Options defaults;
    defaults.server = "localhost";
    return defaults;
}

// The envelope and the header that goes out, from the header block as read.
struct SendmailEnvelope {
    std::string header;  // as read, lines ended by CR LF, without its Bcc fields, completed
    std::string sender;  // "" for the null sender
    bool nullSender = false;
    std::vector<std::string> recipients;
    std::string bodyType;  // -B
    std::string dsnNotify;
    std::string dsnReturn;
    std::string dsnEnvelopeId;
};

// What the system says of the local sender, asked only when the message needs it.
struct LocalSender {
    std::function<std::string()> login;   // the user's login name
    std::function<std::string()> domain;  // --domain, else this host's full name
    std::time_t now = 0;
};
LocalSender SystemSender(const SendmailOptions& options, const EnvLookup& env);

// The sender: -f, else the header's From, else the login name; a sender without a domain gets
// `local`'s. The recipient arguments, and with -t those of To, Cc and Bcc first; each reduced
// to the bare address (no display name, no comment), each address once. The header gets the
// From, Date and Message-ID fields it lacks. Throws SendmailError (EX_USAGE) when there is no
// sender or no recipient.
SendmailEnvelope ReadEnvelope(const std::string& headerBlock, const SendmailOptions& options,
                              const LocalSender& local);

// The exit status for the transfer's verdict: 0 done, EX_UNAVAILABLE refused, EX_TEMPFAIL
// temporary. The control's own refusals are local errors: EX_USAGE without a sender or
// recipient, EX_DATAERR for an address it cannot send, EX_SOFTWARE for anything else.
int SendmailExitCode(const TransferEnd& end);

// Reads the message on standard input and sends it; the exit status. Failures are one line
// on standard error.
int RunSendmail(const SendmailOptions& options, const Console& console);

}  // namespace zef::zefmail
