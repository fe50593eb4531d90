// The sending half of sendmail mode: smtpZef set up once for a server, then one message per
// Send, over one session when `keep` asks for it (zefmail flush).
#pragma once

#include <asio/io_context.hpp>
#include <ostream>
#include <string>

#include "smtp/smtpZef.h"
#include "tools/zefmail/cli/Verdict.h"
#include "tools/zefmail/send/SendmailCommand.h"
#include "tools/zefmail/send/SendmailInput.h"

namespace zef::zefmail {

class SendmailSession {
  public:
    // `keep`: the session stays open between messages, with PIPELINING where offered.
    SendmailSession(const SendmailOptions& options, const EnvLookup& env, std::ostream& err,
                    bool keep);

    // Sends one message with RawMessage: the header as the first piece, then the body pieces
    // of `input` as they come. Returns the exit status (sysexits.h); a failure is one line on
    // the error stream, also kept in LastError().
    int Send(const SendmailEnvelope& envelope, MessageInput& input);
    const std::string& LastError() const { return lastError_; }
    // Ends a kept session with QUIT and waits for it.
    void Close();

  private:
    void Fail(const std::string& message);

    const SendmailOptions& options_;
    std::ostream& err_;
    asio::io_context io_;
    smtpZef smtp_;
    std::string lastError_;
};

}  // namespace zef::zefmail
