// `zefmail sendmail`, also what zefmail does when it runs under the name "sendmail": the message
// on standard input goes out as it stands, less its Bcc fields, with sendmail's options and
// sysexits.h exit codes.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/zefmail/Options.h"
#include "tools/zefmail/Verdict.h"

namespace zef::zefmail {

struct SendmailOptions {
    SendOptions smtp;                   // server settings; from: -f; to: the recipient arguments
    bool recipientsFromHeader = false;  // -t
    bool dotEnds = true;                // false with -i / -oi
    std::string bodyType;               // -B: "7BIT", "8BITMIME" or "" (not said)
};

struct SendmailParse {
    std::optional<SendmailOptions> options;  // set when the message should be sent
    int exitCode = 0;                        // otherwise: 0 after --help, 64 after an error
};

// Reads sendmail's command line (the words after "sendmail"), with the server settings from
// the ZEFMAIL_* environment variables where no option gives them. Help goes to `out`, an error
// is one line on `err`.
SendmailParse ParseSendmailLine(const std::vector<std::string>& args, std::ostream& out,
                                std::ostream& err, const EnvLookup& env);

// The envelope and the header that goes out, from the header block as read.
struct SendmailEnvelope {
    std::string header;  // as read, lines ended by CR LF, without its Bcc fields
    std::string sender;
    std::vector<std::string> recipients;
};

// -f, else the header's From; the recipient arguments, and with -t those of To, Cc and Bcc
// first; each reduced to the bare address (no display name, no comment). Throws SendmailError
// (EX_USAGE) when there is no sender or no recipient.
SendmailEnvelope ReadEnvelope(const std::string& headerBlock, const SendmailOptions& options);

// The exit status for the transfer's verdict: 0 done, EX_UNAVAILABLE refused, EX_TEMPFAIL
// temporary. The control's own refusals are local errors: EX_USAGE without a sender or
// recipient, EX_DATAERR for an address it cannot send, EX_SOFTWARE for anything else.
int SendmailExitCode(const TransferEnd& end);

// Parses, reads `in` and sends; the exit status. Failures are one line on `err`.
int RunSendmail(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, const EnvLookup& env);

}  // namespace zef::zefmail
