#include "smtp/ReplyLineReader.h"

namespace zef::smtp {

void ReplyLineReader::Append(std::string_view bytes) {
    if (overrun_) {
        return;
    }
    // Drop the lines already handed out. What remains is at most one unfinished line (or lines
    // left unread after a close), so each byte is moved at most once.
    if (lineStart_ > 0) {
        buffer_.erase(0, lineStart_);
        scanFrom_ -= lineStart_;
        lineStart_ = 0;
    }
    buffer_.append(bytes);
    if (OpenLineTooLong() && buffer_.find('\n', scanFrom_) == Bytes::npos) {
        MarkOverrun();
    }
}

bool ReplyLineReader::NextLine(Bytes& line) {
    if (overrun_) {
        return false;
    }
    const size_t lineFeed = buffer_.find('\n', scanFrom_);
    if (lineFeed == Bytes::npos) {
        scanFrom_ = buffer_.size();
        if (OpenLineTooLong()) {
            MarkOverrun();
        }
        return false;
    }
    size_t length = lineFeed - lineStart_;
    if (length > 0 && buffer_[lineFeed - 1] == '\r') {
        --length;
    }
    if (length > maxLineBytes_) {
        MarkOverrun();
        return false;
    }
    line.assign(buffer_, lineStart_, lineFeed - lineStart_);
    lineStart_ = lineFeed + 1;
    scanFrom_ = lineStart_;
    return true;
}

void ReplyLineReader::Clear() {
    buffer_.clear();
    buffer_.shrink_to_fit();
    lineStart_ = 0;
    scanFrom_ = 0;
    overrun_ = false;
}

bool ReplyLineReader::OpenLineTooLong() const {
    size_t open = buffer_.size() - lineStart_;
    if (open > 0 && buffer_.back() == '\r') {
        --open;
    }
    return open > maxLineBytes_;
}

void ReplyLineReader::MarkOverrun() {
    Clear();
    overrun_ = true;
}

}  // namespace zef::smtp
