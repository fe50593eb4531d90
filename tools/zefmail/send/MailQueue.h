// A folder of messages waiting to be sent: `zefmail sendmail --queue DIR` stores them and
// `zefmail flush DIR` sends them. One file per message; the envelope of a stored message lies
// beside it in NAME.envelope (JSON). A file put there by hand, without one, is read as
// `sendmail -t` reads its input. A message refused for good moves to failed/ with its reason
// in failed/NAME.reason.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/zefmail/send/SendmailCommand.h"
#include "tools/zefmail/send/SendmailInput.h"

namespace zef::zefmail {

class MailQueue {
  public:
    explicit MailQueue(std::string dir) : dir_(std::move(dir)) {}

    // Writes the envelope and the message (the header, then the body as `input` gives it)
    // through DIR/tmp/ and fsync: a message is in the queue whole or not at all. Throws
    // SendmailError (EX_CANTCREAT or EX_IOERR) naming the path.
    void Store(const SendmailEnvelope& envelope, MessageInput& input) const;

    // Holds the queue's lock while it lives, so that two flushes never send a message twice.
    class Lock {
      public:
        explicit Lock(int fd) : fd_(fd) {}
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        ~Lock();

      private:
        int fd_;
    };
    // Throws SendmailError (EX_TEMPFAIL) when another flush holds the lock.
    Lock Take() const;

    // The names of the queued messages, oldest first.
    std::vector<std::string> Messages() const;
    // The stored envelope of a message, with `header` as its header; nullopt without one.
    std::optional<SendmailEnvelope> Envelope(const std::string& name,
                                             const std::string& header) const;
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // The message was sent: it leaves the queue.
    void Remove(const std::string& name) const;
    // The message was refused for good: to failed/, the reason beside it.
    void Fail(const std::string& name, const std::string& reason) const;

  private:
    std::string dir_;
};

}  // namespace zef::zefmail
