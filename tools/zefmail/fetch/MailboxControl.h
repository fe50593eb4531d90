// The control a fetch reads with: popZef or imapZef, whichever the protocol names. Both raise
// the same events (MailboxEvents) and share most properties, so the session sets those once,
// through a generic visitor, and sets apart only what one protocol has.
#pragma once

#include <asio/io_context.hpp>
#include <variant>

#include "common/MailboxEvents.h"
#include "common/Types.h"
#include "imap/imapZef.h"
#include "pop/popZef.h"

namespace zef::zefmail {

class MailboxControl {
  public:
    MailboxControl(asio::io_context& io, bool imap);

    // The events of either control.
    MailboxEvents& Events();
    // Runs `configure` on the control itself (popZef& or imapZef&): for what both have.
    template <class Configure>
    void Visit(Configure&& configure) {
        std::visit(configure, control_);
    }
    // The control when it is of that protocol, else nullptr: for what only one has.
    popZef* Pop() { return std::get_if<popZef>(&control_); }
    imapZef* Imap() { return std::get_if<imapZef>(&control_); }

    // pop or imap; `lines` is TOP's count, for POP3 only.
    void Start(const Text& server, const Text& user, const Text& password, long lines);
    void Abend(bool cancelDelete);
    Text ResponseCode();

  private:
    std::variant<popZef, imapZef> control_;
};

}  // namespace zef::zefmail
