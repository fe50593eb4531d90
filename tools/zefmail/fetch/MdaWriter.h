// `fetch --mda CMD`: each message, as it arrives, on the standard input of CMD run with
// /bin/sh -c (procmail, maildrop, an LDA, a script): the raw message, no "From " line, lines
// ending in LF (CR LF with --crlf). "%F" in CMD is the sender (as --mbox names it), quoted for
// the shell. The command's standard output and error are zefmail's standard error.
//
// The command has the message once it exits 0; exit status 75 (EX_TEMPFAIL) defers it, any
// other status, a signal or a command that stops reading before the end refuses it: either way
// the message stays on the server. A message left unfinished (the transfer broke, or another
// output refused it) is never ended with an end of file, which the command would take for the
// whole message: the command is killed instead, and dies with zefmail too.
//
// A command that has not exited `timeLimit` after it was started (one that hangs, or stops
// reading without exiting) is killed with its process group, and the message is deferred.
//
// A command keeps no place zefmail could look into after a run that was killed: the state of
// saved messages is noted only after the command's exit 0, so its place there, once noted, is
// the proof of the delivery. The state is kept in `stateFolder` when --mda is the only output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tools/zefmail/fetch/Output.h"

namespace zef::zefmail {

class MdaWriter final : public MailDrop {
  public:
    // Makes `stateFolder` (0700) when missing; throws ToolError when it cannot.
    MdaWriter(std::string command, bool crlf, std::filesystem::path stateFolder,
              std::chrono::milliseconds timeLimit);
    ~MdaWriter() override;
    MdaWriter(const MdaWriter&) = delete;
    MdaWriter& operator=(const MdaWriter&) = delete;

    std::string Describe() const override { return command_ + " (mda)"; }
    std::filesystem::path Location() const override { return stateFolder_; }
    std::string Place() const override { return "mda"; }
    bool StillThere(const std::string& place) const override { return place == Place(); }
    bool FailedForNow() const override { return deferred_; }

  private:
    void Open() override;
    void Write(std::string_view line) override;
    void Close() override;
    void Commit() override {}
    void Abandon() noexcept override;

    void Start();  // runs the command, with the sender of the header held so far
    void Put(std::string_view line);
    void Flush();
    std::optional<int> Wait() noexcept;
    // Waits until `fd` is ready for `events` or the time limit is over; false then.
    bool PollUntilDeadline(int fd, short events) const;
    [[noreturn]] void StopOverTime();

    std::string command_;
    std::string lineEnd_;
    std::filesystem::path stateFolder_;
    bool needsSender_;
    std::chrono::milliseconds timeLimit_;
    std::chrono::steady_clock::time_point deadline_;  // of the command now running
    pid_t child_ = -1;
    int fd_ = -1;            // the command's standard input
    bool cutOff_ = false;    // the command stopped reading
    bool deferred_ = false;  // it exited 75
    std::string header_;     // held until its end names the sender (%F)
    std::string pending_;    // written but not yet handed to write(2)
};

// CMD with every "%F" replaced by `sender` in single quotes.
std::string MdaCommandLine(std::string_view command, std::string_view sender);

}  // namespace zef::zefmail
