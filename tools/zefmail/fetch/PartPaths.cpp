#include "tools/zefmail/fetch/PartPaths.h"

namespace zef::zefmail {

void PartPathTracker::Reset() {
    prefixes_.clear();
    current_.clear();
}

void PartPathTracker::OpenMultipart() {
    prefixes_.push_back(prefixes_.empty() ? std::string() : current_ + ".");
}

void PartPathTracker::CloseMultipart() {
    if (!prefixes_.empty()) {
        prefixes_.pop_back();
    }
}

const std::string& PartPathTracker::BeginPart(long part) {
    std::string prefix = prefixes_.empty() ? std::string() : prefixes_.back();
    current_ = prefix + std::to_string(part);
    return current_;
}

}  // namespace zef::zefmail
