#include "tools/zefmail/fetch/MailboxControl.h"

namespace zef::zefmail {

namespace {

std::variant<popZef, imapZef> MakeControl(asio::io_context& io, bool imap) {
    if (imap) {
        return std::variant<popZef, imapZef>(std::in_place_type<imapZef>, io);
    }
    return std::variant<popZef, imapZef>(std::in_place_type<popZef>, io);
}

}  // namespace

MailboxControl::MailboxControl(asio::io_context& io, bool imap) : control_(MakeControl(io, imap)) {}

MailboxEvents& MailboxControl::Events() {
    return std::visit([](auto& control) -> MailboxEvents& { return control; }, control_);
}

void MailboxControl::Start(const Text& server, const Text& user, const Text& password, long lines) {
    if (popZef* pop = Pop()) {
        pop->pop(server, user, password, lines);
    } else {
        Imap()->imap(server, user, password);
    }
}

void MailboxControl::Abend(bool cancelDelete) {
    Visit([cancelDelete](auto& control) { control.Abend(cancelDelete); });
}

Text MailboxControl::ResponseCode() {
    return std::visit([](auto& control) { return control.ResponseCode(); }, control_);
}

}  // namespace zef::zefmail
