#include "tools/zefmail/send/SendmailInput.h"

#include <array>

namespace zef::zefmail {

namespace {

constexpr size_t kChunk = size_t{64} * 1024;

// Where the header block ends in `text` (after its empty line), or npos when it does not yet.
// Lines end in CR LF, LF or a lone CR, as mail readers take them; a CR last in `text` waits for
// what follows it.
size_t HeaderEnd(const std::string& text) {
    bool lineEmpty = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') {
            lineEmpty = false;
            continue;
        }
        if (text[i] == '\r' && i + 1 == text.size()) {
            return std::string::npos;
        }
        i += text[i] == '\r' && text[i + 1] == '\n' ? 1 : 0;
        if (lineEmpty) {
            return i + 1;
        }
        lineEmpty = true;
    }
    return std::string::npos;
}

}  // namespace

bool MessageInput::Fill(Bytes& out) {
    if (ended_) {
        return false;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): read fills what is used
    std::array<char, kChunk> chunk;
    in_.read(chunk.data(), chunk.size());
    const auto got = static_cast<size_t>(in_.gcount());
    if (in_.bad()) {
        throw SendmailError(kExIoErr, SystemErrorText("cannot read standard input"));
    }
    if (!dotEnds_) {
        out.append(chunk.data(), got);  // nothing to look for
    }
    for (size_t i = 0; i < got && dotEnds_ && !ended_; ++i) {
        const char byte = chunk[i];
        if (!held_.empty()) {
            if (byte == '\n') {
                ended_ = true;  // "." alone on a line
                held_.clear();
                break;
            }
            if (byte == '\r' && held_ == ".") {
                held_ += byte;
                continue;
            }
            out += held_;
            held_.clear();
        }
        if (dotEnds_ && atLineStart_ && byte == '.') {
            held_ = ".";
            atLineStart_ = false;
            continue;
        }
        out += byte;
        atLineStart_ = byte == '\n';
    }
    if (got < chunk.size() && !ended_) {
        ended_ = true;
        out += held_;  // a "." without a line end is text
        held_.clear();
    }
    return true;
}

std::string MessageInput::ReadHeader(size_t limit) {
    std::string read;
    size_t end = std::string::npos;
    while ((end = HeaderEnd(read)) == std::string::npos && read.size() <= limit) {
        if (!Fill(read)) {
            break;
        }
    }
    if (end == std::string::npos) {
        end = read.size();
    }
    if (end > limit) {
        throw SendmailError(
            kExDataErr, "the header block is longer than " + std::to_string(limit / 1024) + " KiB");
    }
    rest_ = read.substr(end);
    read.resize(end);
    return read;
}

Bytes MessageInput::NextPiece() {
    Bytes piece;
    piece.swap(rest_);
    while (piece.empty() && Fill(piece)) {
    }
    return piece;
}

std::string WithCrLf(const std::string& header) {
    std::string out;
    out.reserve(header.size() + header.size() / 32);
    for (size_t i = 0; i < header.size(); ++i) {
        if (header[i] == '\n' && (i == 0 || header[i - 1] != '\r')) {
            out += '\r';
        }
        out += header[i];
        if (header[i] == '\r' && (i + 1 == header.size() || header[i + 1] != '\n')) {
            out += '\n';
        }
    }
    return out;
}

}  // namespace zef::zefmail
