// `fetch --mbox FILE`: appends each message to FILE in mboxrd form: a "From <sender> <date>"
// line (the sender from Return-Path, else From; the date now, in UTC), the message with one
// '>' more before every line that starts with ">*From ", and an empty line after it.
//
// From the first message on, FILE stays locked as mail readers expect until the writer is
// destroyed: an fcntl write lock and the dot-lock file FILE.lock. The dot-lock is written whole
// under a name of its own and linked into place, so a dot-lock of zefmail is never empty; it
// holds zefmail's process id and FILE's length before the message being appended (after the
// last one between messages). When that process is gone (killed in the middle of an append),
// the next run cuts FILE back to that length and takes the lock. Another program's dot-lock
// older than ten minutes is taken as left behind and removed. The lock is tried without
// waiting, so the session is never stalled: while another program holds it, each message
// fails at once (and stays on the server). A failed append cuts FILE back to its length before
// it, so FILE never holds part of a message. A message without a body gets the empty line that
// ends its header, so that every reader sees the next "From " line start a message.
#pragma once

#include <sys/types.h>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "tools/zefmail/fetch/Output.h"

namespace zef::zefmail {

class MboxWriter final : public MailDrop {
  public:
    // Lines end in LF, or CR LF with `crlf`. Throws ToolError when FILE cannot be opened.
    MboxWriter(std::filesystem::path file, bool crlf);
    ~MboxWriter() override;
    MboxWriter(const MboxWriter&) = delete;
    MboxWriter& operator=(const MboxWriter&) = delete;

    std::string Describe() const override { return file_.string() + " (mbox)"; }
    std::filesystem::path Location() const override { return file_; }
    bool IsFile() const override { return true; }
    // FILE's length after the message.
    std::string Place() const override { return std::to_string(end_); }
    // FILE reaches that length, counting only what a dead run's dot-lock lets stay.
    bool StillThere(const std::string& place) const override;

  private:
    void Open() override;
    void Write(std::string_view line) override;
    void Close() override;
    void Commit() override;
    void Abandon() noexcept override;

    // Takes both locks unless they are held; throws ToolError when another program holds one.
    void Lock();
    // Links a dot-lock naming FILE's current length into place; false when one is there.
    bool LinkDotLock();
    // Takes the dot-lock left by a zefmail that died during an append, cutting its part off.
    bool TakeOverDeadLock();
    // The process id and the length before the append that a dot-lock of a zefmail that died
    // names, if it is one.
    std::optional<std::pair<long long, long long>> DeadLock() const;
    // Writes the dot-lock's content (process id, `length`) whole under a name of its own,
    // NoteName(process id).
    std::filesystem::path WriteLockNote(off_t length) const;
    std::filesystem::path NoteName(long long pid) const;
    // Replaces the held dot-lock by one naming `length`.
    void NoteLength(off_t length);
    void Unlock() noexcept;
    void EndHeader();
    void Put(std::string_view line);
    void Flush();

    std::filesystem::path file_;
    std::filesystem::path lockFile_;
    std::string lineEnd_;
    int fd_ = -1;
    bool locked_ = false;
    bool dotLocked_ = false;
    bool keepDotLock_ = false;  // an unfinished message could not be cut off: the next run does
    off_t start_ = -1;          // FILE's length before this message, once it is locked
    off_t end_ = -1;            // and after the last message appended
    bool inHeader_ = false;     // the header is held until its end names the sender
    std::string header_;        // its lines, each ending in LF
    std::string pending_;       // written but not yet handed to write(2)
};

// The sender of a "From " line, from a message header (lines ending in LF, folded lines
// allowed): the address of Return-Path, else of From; "MAILER-DAEMON" when there is none.
std::string MboxSender(std::string_view header);

}  // namespace zef::zefmail
