// Cuts received bytes into reply lines, in time linear in their size.
//
// Bytes are kept until their line feed arrives; a line is handed out without its line feed.
// The buffer is bounded: a line whose length (without its CR LF) grows beyond MaxLineBytes marks
// the reader as overrun, and it keeps nothing more from then on.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/Types.h"

namespace zef::smtp {

class ReplyLineReader {
  public:
    // The default limit: far above any reply a server sends (RFC 5321 allows 512 bytes), big
    // enough that only a broken or hostile peer reaches it.
    static constexpr size_t kMaxLineBytes = size_t{1} << 20;

    // The longest line accepted, without its CR LF. A lower limit applies from the next
    // Append or NextLine on, to the line already buffered as well.
    void MaxLineBytes(size_t bytes) { maxLineBytes_ = bytes; }
    size_t MaxLineBytes() const { return maxLineBytes_; }

    // Adds the bytes of one arrival. Ignored once overrun.
    void Append(std::string_view bytes);

    // Takes the next complete line, without its line feed (a CR before it stays). False when
    // no complete line is buffered, or when the reader is overrun.
    bool NextLine(Bytes& line);

    // True once a line passed MaxLineBytes.
    bool Overrun() const { return overrun_; }

    // True while bytes after the last line handed out are buffered (a partial line, or lines
    // not yet taken).
    bool HasUnreadBytes() const { return lineStart_ < buffer_.size(); }

    // Forgets everything, the overrun mark included.
    void Clear();

  private:
    void MarkOverrun();
    // The open line (no line feed yet) is too long already: a CR at its end may still become
    // the CR of its CR LF, so it does not count.
    bool OpenLineTooLong() const;

    Bytes buffer_;
    size_t lineStart_ = 0;  // first byte of the line not yet handed out
    size_t scanFrom_ = 0;   // bytes before this (and after lineStart_) hold no line feed
    bool overrun_ = false;
    size_t maxLineBytes_ = kMaxLineBytes;
};

}  // namespace zef::smtp
