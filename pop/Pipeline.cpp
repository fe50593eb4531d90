#include "pop/Pipeline.h"

namespace zef::pop {

Pipeline::Reader Pipeline::ReaderOf(Role role) {
    switch (role) {
        case Role::kDropped:
            return Reader::kNobody;
        case Role::kDeferred:
            return Reader::kDeferred;
        case Role::kDialogue:
        case Role::kAhead:
            break;
    }
    return Reader::kDialogue;
}

Pipeline::Reader Pipeline::Take(std::string_view line) {
    // A command that went ahead and is still to be reached: the dialogue's own command went out
    // before it, and this line answers that one.
    if (replies_.empty() || replies_.front().role == Role::kAhead) {
        return Reader::kDialogue;
    }
    const Reply& first = replies_.front();
    const Reader reader = ReaderOf(first.role);
    if (insideResponse_) {
        if (line == ".") {
            insideResponse_ = false;
            replies_.pop_front();
        }
        return reader;
    }
    if (line.empty()) {
        // An empty line between replies is no reply; the dialogue passes over it as well.
        return first.role == Role::kDropped ? Reader::kNobody : Reader::kDialogue;
    }
    if (first.multiLine && line.starts_with("+OK")) {
        insideResponse_ = true;
        return reader;
    }
    replies_.pop_front();
    return reader;
}

bool Pipeline::AlreadySent(const Text& command, bool multiLine) {
    for (Reply& reply : replies_) {
        if (reply.role == Role::kAhead) {
            if (reply.command == command) {
                reply.role = Role::kDialogue;
                return true;
            }
            break;
        }
    }
    for (Reply& reply : replies_) {
        reply.role = reply.role == Role::kAhead ? Role::kDropped : reply.role;
    }
    if (!replies_.empty()) {
        replies_.push_back({command, multiLine, Role::kDialogue});  // its place among the others
    }
    return false;
}

void Pipeline::SentAhead(const Text& command, bool multiLine) {
    replies_.push_back({command, multiLine, Role::kAhead});
}

bool Pipeline::HasAhead() const {
    for (const Reply& reply : replies_) {
        if (reply.role == Role::kAhead) {
            return true;
        }
    }
    return false;
}

void Pipeline::SentDeferred(const Text& command) {
    replies_.push_back({command, false, Role::kDeferred});
}

void Pipeline::DropAll() {
    for (Reply& reply : replies_) {
        reply.role = Role::kDropped;
    }
}

void Pipeline::Clear() {
    replies_.clear();
    insideResponse_ = false;
}

}  // namespace zef::pop
