// `fetch --mbox FILE`: appends each message to FILE in mboxrd form: a "From <sender> <date>"
// line (the sender from Return-Path, else From; the date now, in UTC), the message with one
// '>' more before every line that starts with ">*From ", and an empty line after it.
//
// While a message is appended FILE is locked as mail readers expect: an fcntl write lock and
// the dot-lock file FILE.lock (made with O_EXCL, removed afterwards). The dot-lock holds
// zefmail's process id and FILE's length before the append: when that process is gone (killed
// in the middle of an append), the next run cuts FILE back to that length and takes the lock.
// Another program's dot-lock older than ten minutes is taken as left behind and removed. A
// failed append cuts FILE back to its length before it, so FILE never holds part of a message.
#pragma once

#include <sys/types.h>
#include <filesystem>
#include <string>

#include "tools/zefmail/MailDrop.h"

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

    void Lock();
    // Takes the dot-lock left by a zefmail that died during an append, cutting its part off.
    bool TakeOverDeadLock();
    // The length before the append that a dot-lock of a zefmail that died names, if any.
    std::optional<long long> DeadLockLength() const;
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
    int dotLockFd_ = -1;     // open until the dot-lock names the length before the append
    off_t start_ = -1;       // FILE's length before this message, once it is locked
    off_t end_ = -1;         // and after the last message appended
    bool inHeader_ = false;  // the header is held until its end names the sender
    std::string header_;     // its lines, each ending in LF
    std::string pending_;    // written but not yet handed to write(2)
};

// The sender of a "From " line, from a message header (lines ending in LF, folded lines
// allowed): the address of Return-Path, else of From; "MAILER-DAEMON" when there is none.
std::string MboxSender(std::string_view header);

}  // namespace zef::zefmail
