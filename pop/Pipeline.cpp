#include "pop/Pipeline.h"

namespace zef::pop {

bool Pipeline::AlreadySent(const Text& command) {
    if (!ahead_.empty() && ahead_.front().command == command) {
        ahead_.pop_front();
        return true;
    }
    for (const Ahead& ahead : ahead_) {
        dropped_.push_back(ahead.multiLine);
    }
    ahead_.clear();
    return false;
}

void Pipeline::SentAhead(const Text& command, bool multiLine) {
    ahead_.push_back({command, multiLine});
}

void Pipeline::Drop(std::string_view line) {
    if (insideResponse_) {
        if (line == ".") {
            insideResponse_ = false;
            dropped_.pop_front();
        }
        return;
    }
    if (line.empty()) {
        return;  // an empty line between replies is no reply, as for the dialogue's own
    }
    if (dropped_.front() && line.starts_with("+OK")) {
        insideResponse_ = true;
        return;
    }
    dropped_.pop_front();
}

void Pipeline::Clear() {
    ahead_.clear();
    dropped_.clear();
    insideResponse_ = false;
}

}  // namespace zef::pop
