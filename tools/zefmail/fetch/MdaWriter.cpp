#include "tools/zefmail/fetch/MdaWriter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>

#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/fetch/MboxWriter.h"

namespace zef::zefmail {

namespace {

constexpr size_t kBlockBytes = size_t{64} * 1024;
constexpr int kTempFail = 75;  // EX_TEMPFAIL: try again later

// In the child, between fork and exec: only calls that are safe there.
[[noreturn]] void RunCommand(const char* command, int input, pid_t parent) {
    // Its own process group: Ctrl-C on the terminal reaches zefmail only, which lets the
    // message end. Killed with zefmail, so that a killed run's end of file delivers nothing.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent || ::dup2(input, STDIN_FILENO) < 0 ||
        ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        ::_exit(127);
    }
    ::close_range(3, ~0U, 0);  // the connection to the server and every other file of zefmail
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM}) {
        ::signal(signal, SIG_DFL);
    }
    ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    ::_exit(127);
}

}  // namespace

std::string MdaCommandLine(std::string_view command, std::string_view sender) {
    std::string quoted = "'";
    for (const char c : sender) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    quoted += "'";
    std::string line;
    for (size_t i = 0; i < command.size(); ++i) {
        if (command.substr(i, 2) == "%F") {
            line += quoted;
            ++i;
        } else {
            line += command[i];
        }
    }
    return line;
}

MdaWriter::MdaWriter(std::string command, bool crlf, std::filesystem::path stateFolder,
                     std::chrono::milliseconds timeLimit)
    : command_(std::move(command)),
      lineEnd_(crlf ? "\r\n" : "\n"),
      stateFolder_(std::move(stateFolder)),
      needsSender_(command_.find("%F") != std::string::npos),
      timeLimit_(timeLimit) {
    std::error_code error;
    std::filesystem::create_directories(stateFolder_, error);
    if (error || ::chmod(stateFolder_.c_str(), 0700) != 0) {
        throw ToolError("cannot create the state folder of --mda " + stateFolder_.string() + ": " +
                        (error ? error.message() : SystemErrorText("chmod")));
    }
}

MdaWriter::~MdaWriter() {
    AbandonOpen();
}

void MdaWriter::Open() {
    header_.clear();
    pending_.clear();
    cutOff_ = false;
    deferred_ = false;
    if (!needsSender_) {
        Start();
    }
}

void MdaWriter::Start() {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw ToolError(SystemErrorText("cannot run the --mda command"));
    }
    const std::string line = MdaCommandLine(command_, needsSender_ ? MboxSender(header_) : "");
    const pid_t parent = ::getpid();
    child_ = ::fork();
    if (child_ == 0) {
        RunCommand(line.c_str(), ends[0], parent);
    }
    const int forkErrno = errno;
    ::close(ends[0]);
    if (child_ < 0) {
        ::close(ends[1]);
        errno = forkErrno;
        throw ToolError(SystemErrorText("cannot run the --mda command"));
    }
    fd_ = ends[1];
    deadline_ = std::chrono::steady_clock::now() + timeLimit_;
    // Non-blocking, so that a command that stops reading cannot hold zefmail past the limit.
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    std::string_view held = header_;
    while (!held.empty()) {
        const size_t end = held.find('\n');
        Put(held.substr(0, end));
        held.remove_prefix(end + 1);
    }
    header_.clear();
}

void MdaWriter::Write(std::string_view line) {
    if (child_ > 0) {
        Put(line);
        return;
    }
    header_ += line;
    header_ += '\n';
    if (line.empty()) {
        Start();
    }
}

void MdaWriter::Put(std::string_view line) {
    pending_ += line;
    pending_ += lineEnd_;
    if (pending_.size() >= kBlockBytes) {
        Flush();
    }
}

// A command that exits before reading everything makes write(2) fail with EPIPE: its SIGPIPE
// is held back and taken, and the message is refused by Close.
void MdaWriter::Flush() {
    sigset_t pipe;
    sigset_t before;
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &before);
    size_t done = 0;
    int error = 0;
    while (!cutOff_ && done < pending_.size()) {
        const ssize_t written = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (written >= 0) {
            done += static_cast<size_t>(written);
        } else if (errno == EAGAIN) {
            if (!PollUntilDeadline(fd_, POLLOUT)) {
                ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
                StopOverTime();
            }
        } else if (errno != EINTR) {
            error = errno;
            cutOff_ = true;
        }
    }
    if (error == EPIPE && ::sigismember(&before, SIGPIPE) == 0) {
        const timespec now{};
        ::sigtimedwait(&pipe, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pending_.clear();
    if (error != 0 && error != EPIPE) {
        errno = error;
        throw ToolError(SystemErrorText("cannot write to the --mda command"));
    }
}

// The command's status; std::nullopt when it cannot be had, which is no delivery.
std::optional<int> MdaWriter::Wait() noexcept {
    int status = 0;
    pid_t waited = -1;
    do {
        waited = ::waitpid(child_, &status, 0);
    } while (waited < 0 && errno == EINTR);
    child_ = -1;
    return waited < 0 ? std::nullopt : std::optional(status);
}

bool MdaWriter::PollUntilDeadline(int fd, short events) const {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd ready{fd, events, 0};
        const int result = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (result > 0) {
            return true;
        }
        if (result < 0 && errno != EINTR) {
            return true;  // the write or the wait that follows says what is wrong
        }
    }
}

void MdaWriter::StopOverTime() {
    ::kill(-child_, SIGKILL);  // the whole group: the shell and what it started
    Abandon();
    deferred_ = true;
    throw ToolError("the --mda command did not end within " +
                    std::to_string(std::chrono::ceil<std::chrono::seconds>(timeLimit_).count()) +
                    " s and was stopped; try again later");
}

void MdaWriter::Close() {
    if (child_ <= 0) {
        Start();  // a message without a body
    }
    Flush();
    ::close(fd_);
    fd_ = -1;
    // The command's exit, seen through a descriptor of the process, within the time limit.
    // (glibc's pidfd_open header lacks C linkage for C++, so the system call is made directly.)
    const int exited = static_cast<int>(::syscall(SYS_pidfd_open, child_, 0));
    const bool inTime = exited < 0 || PollUntilDeadline(exited, POLLIN);
    if (exited >= 0) {
        ::close(exited);
    }
    if (!inTime) {
        StopOverTime();
    }
    const std::optional<int> waited = Wait();
    if (!waited) {
        throw ToolError(SystemErrorText("cannot learn the exit status of the --mda command"));
    }
    const int status = *waited;
    const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    deferred_ = exit == kTempFail;
    if (deferred_) {
        throw ToolError("the --mda command deferred it (exit status 75); try again later");
    }
    if (WIFSIGNALED(status)) {
        throw ToolError("the --mda command was killed by signal " +
                        std::to_string(WTERMSIG(status)));
    }
    if (exit != 0) {
        throw ToolError("the --mda command failed with exit status " + std::to_string(exit));
    }
    if (cutOff_) {
        throw ToolError("the --mda command exited before reading the whole message");
    }
}

void MdaWriter::Abandon() noexcept {
    if (child_ > 0) {
        ::kill(child_, SIGKILL);  // before its end of file, which would deliver a part
        Wait();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace zef::zefmail
