#include "tools/zefmail/fetch/Output.h"

#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

template <class Step>
void MailDrop::Guarded(Step step) {
    if (error_) {
        return;
    }
    try {
        step();
    } catch (const ToolError& e) {
        error_ = e.what();
    }
}

void MailDrop::Begin(long /*id*/, long /*size*/) {
    AbandonOpen();
    error_.reset();
    open_ = true;
    sealed_ = false;
    Guarded([this] { Open(); });
}

void MailDrop::Line(std::string_view line) {
    Guarded([this, line] { Write(line); });
}

std::optional<std::string> MailDrop::Seal() {
    if (open_ && !sealed_) {
        sealed_ = true;
        Guarded([this] { Close(); });
    }
    return error_;
}

std::optional<std::string> MailDrop::Finish() {
    Seal();
    Guarded([this] { Commit(); });
    if (error_ && open_) {
        Abandon();
    }
    open_ = false;
    return error_;
}

void MailDrop::AbandonOpen() noexcept {
    if (open_) {
        Abandon();
        open_ = false;
    }
}

}  // namespace zef::zefmail
