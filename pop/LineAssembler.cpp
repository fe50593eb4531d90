#include "pop/LineAssembler.h"

#include <algorithm>

namespace zef::pop {

void LineAssembler::Append(std::string_view bytes) {
    // Erase what was taken out since the last arrival, once. Bytes of an open line are moved
    // at most once: after this they sit at the front, and the next erase removes them with
    // their line.
    if (start_ > 0) {
        buffer_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
    }
    buffer_.append(bytes);
}

LineAssembler::Result LineAssembler::NextLine(std::string_view& line) {
    const size_t from = std::max(start_, scanned_);
    const size_t lf = buffer_.find('\n', from);
    if (lf == Bytes::npos) {
        scanned_ = buffer_.size();
        size_t open = buffer_.size() - start_;
        if (open > 0 && buffer_.back() == '\r') {
            --open;  // may still become the CR of a CR LF
        }
        return open > maxLineLength_ ? Result::TooLong : Result::NeedMore;
    }
    size_t end = lf;
    if (end > start_ && buffer_[end - 1] == '\r') {
        --end;
    }
    if (end - start_ > maxLineLength_) {
        return Result::TooLong;
    }
    line = std::string_view(buffer_).substr(start_, end - start_);
    start_ = lf + 1;
    scanned_ = start_;
    return Result::Line;
}

void LineAssembler::Clear() {
    buffer_.clear();
    buffer_.shrink_to_fit();
    start_ = 0;
    scanned_ = 0;
}

}  // namespace zef::pop
