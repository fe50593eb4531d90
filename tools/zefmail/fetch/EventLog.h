// `fetch --events`: every event of the mailbox control (popZef or imapZef) as one JSON object per
// line,
// {"event": "<name>", <argument>: <value>, ...}, with the argument names of the event
// interface. Text is UTF-8, Data is base64, and by-reference arguments carry the value zefmail
// returned to the control.
#pragma once

#include <array>
#include <functional>
#include <ostream>

namespace zef {
struct MailboxEvents;
class imapZef;
}  // namespace zef

namespace zef::zefmail {

class EventLog {
  public:
    explicit EventLog(std::ostream& out) : out_(out) {}

    // Logs each event of `control` after its handler ran, with what the handler gave back.
    void Attach(MailboxEvents& control);
    // And the events of an IMAP folder: FolderListed, FolderSelected, Idling.
    void AttachFolder(imapZef& imap);

  private:
    template <class... Args>
    void Log(std::function<void(Args...)>& handler, const char* event,
             std::array<const char*, sizeof...(Args)> names);

    std::ostream& out_;
};

}  // namespace zef::zefmail
