#include "tools/zefmail/fetch/MboxWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <optional>

#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/fetch/DurableFiles.h"

namespace zef::zefmail {

namespace {

constexpr size_t kBlockBytes = size_t{64} * 1024;
// A dot-lock this old was left by a program that died while holding it; no append lasts that
// long, so it is taken away rather than keeping every later message on the server.
constexpr auto kStaleLockAge = std::chrono::minutes(10);

bool IsStale(const std::filesystem::path& lockFile) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(lockFile, error);
    return !error && std::filesystem::file_time_type::clock::now() - written > kStaleLockAge;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The unfolded value of the first field `name` of the header, or std::nullopt.
std::optional<std::string> FieldValue(std::string_view header, std::string_view name) {
    std::optional<std::string> value;
    bool inField = false;
    while (!header.empty()) {
        const size_t end = header.find('\n');
        std::string_view line = header.substr(0, end);
        header.remove_prefix(end == std::string_view::npos ? header.size() : end + 1);
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (inField) {
                *value += line;
            }
            continue;
        }
        if (inField) {
            return value;
        }
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameNameIgnoringCase(line.substr(0, colon), name)) {
            inField = true;
            value = std::string(line.substr(colon + 1));
        }
    }
    return value;
}

// The address in a field value: inside <...>, else its first word holding an '@'.
std::string AddressIn(std::string_view value) {
    const size_t open = value.find('<');
    const size_t close = value.find('>', open == std::string_view::npos ? 0 : open);
    if (open != std::string_view::npos && close != std::string_view::npos) {
        return std::string(value.substr(open + 1, close - open - 1));
    }
    for (size_t at = 0; at < value.size();) {
        const size_t start = value.find_first_not_of(" \t\r", at);
        if (start == std::string_view::npos) {
            break;
        }
        const size_t end = std::min(value.find_first_of(" \t\r", start), value.size());
        if (value.substr(start, end - start).find('@') != std::string_view::npos) {
            return std::string(value.substr(start, end - start));
        }
        at = end;
    }
    return {};
}

bool UsableSender(std::string_view address) {
    return !address.empty() && address.find_first_of(" \t\r") == std::string_view::npos;
}

std::string AsctimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[64] = {};
    std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &utc);
    return text;
}

// mboxrd: one '>' more before a line of '>'s followed by "From ", so that reading it back
// takes exactly one away and no line of the message can start a new one.
bool NeedsQuote(std::string_view line) {
    const size_t text = line.find_first_not_of('>');
    return text != std::string_view::npos && line.substr(text).starts_with("From ");
}

}  // namespace

std::string MboxSender(std::string_view header) {
    for (const char* name : {"Return-Path", "From"}) {
        if (std::optional<std::string> value = FieldValue(header, name)) {
            std::string address = AddressIn(*value);
            if (UsableSender(address)) {
                return address;
            }
        }
    }
    return "MAILER-DAEMON";
}

MboxWriter::MboxWriter(std::filesystem::path file, bool crlf)
    : file_(std::move(file)), lockFile_(file_.string() + ".lock"), lineEnd_(crlf ? "\r\n" : "\n") {
    fd_ = ::open(file_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        throw ToolError(SystemErrorText("cannot open --mbox " + file_.string()));
    }
}

MboxWriter::~MboxWriter() {
    AbandonOpen();
    Unlock();
    ::close(fd_);
}

void MboxWriter::Lock() {
    if (!locked_) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd_, F_SETLK, &lock) != 0) {
            if (errno == EACCES || errno == EAGAIN) {
                throw ToolError(file_.string() + " is locked by another program (an fcntl lock)");
            }
            throw ToolError(SystemErrorText("cannot lock " + file_.string()));
        }
        locked_ = true;
    }
    if (dotLocked_) {
        return;
    }
    if (LinkDotLock() || TakeOverDeadLock()) {
        return;
    }
    if (IsStale(lockFile_)) {
        ::unlink(lockFile_.c_str());
        if (LinkDotLock()) {
            return;
        }
    }
    Unlock();  // the fcntl lock, so that the other program can finish
    throw ToolError(file_.string() + " is locked by another program (" + lockFile_.string() + ")");
}

std::filesystem::path MboxWriter::NoteName(long long pid) const {
    return lockFile_.string() + "." + std::to_string(pid);
}

std::filesystem::path MboxWriter::WriteLockNote(off_t length) const {
    std::filesystem::path note = NoteName(::getpid());
    const std::string owner =
        std::to_string(::getpid()) + " " + std::to_string(static_cast<long long>(length)) + "\n";
    const int fd = ::open(note.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw ToolError(SystemErrorText("cannot create " + note.string()));
    }
    try {
        WriteAll(fd, owner, note);
    } catch (const ToolError&) {
        ::close(fd);
        ::unlink(note.c_str());
        throw;
    }
    ::close(fd);
    return note;
}

bool MboxWriter::LinkDotLock() {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        throw ToolError(SystemErrorText("cannot read the length of " + file_.string()));
    }
    const std::filesystem::path note = WriteLockNote(info.st_size);
    // link(2) makes the dot-lock appear whole or not at all. Over NFS its answer may be lost:
    // the note's second name tells then.
    const int linked = ::link(note.c_str(), lockFile_.c_str());
    const int linkErrno = errno;
    struct stat noted {};
    dotLocked_ = linked == 0 || (::stat(note.c_str(), &noted) == 0 && noted.st_nlink == 2);
    ::unlink(note.c_str());
    if (!dotLocked_ && linkErrno != EEXIST) {
        errno = linkErrno;
        throw ToolError(SystemErrorText("cannot create " + lockFile_.string()));
    }
    return dotLocked_;
}

void MboxWriter::NoteLength(off_t length) {
    const std::filesystem::path note = WriteLockNote(length);
    if (::rename(note.c_str(), lockFile_.c_str()) != 0) {
        ::unlink(note.c_str());
        throw ToolError(SystemErrorText("cannot write " + lockFile_.string()));
    }
}

std::optional<std::pair<long long, long long>> MboxWriter::DeadLock() const {
    std::ifstream in(lockFile_);
    long long pid = 0;
    long long length = -1;
    if (!(in >> pid >> length) || pid <= 0 || length < 0 ||
        ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
        return std::nullopt;  // not ours, or its writer still runs
    }
    return std::pair{pid, length};
}

bool MboxWriter::TakeOverDeadLock() {
    const std::optional<std::pair<long long, long long>> dead = DeadLock();
    if (!dead) {
        return false;
    }
    // The fcntl lock is held: nobody else writes FILE now.
    const auto [pid, length] = *dead;
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || (info.st_size > length && ::ftruncate(fd_, length) != 0)) {
        throw ToolError(
            SystemErrorText("cannot cut off the unfinished message in " + file_.string()));
    }
    ::unlink(NoteName(pid).c_str());  // in case it died before putting its note in place
    ::unlink(lockFile_.c_str());
    return LinkDotLock();
}

bool MboxWriter::StillThere(const std::string& place) const {
    struct stat info {};
    const bool digits = !place.empty() && place.size() < 19 &&
                        place.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || ::fstat(fd_, &info) != 0) {
        return false;
    }
    // What a run that died in the middle of an append wrote is cut off by the next append.
    const std::optional<std::pair<long long, long long>> dead = DeadLock();
    const long long kept = std::min<long long>(info.st_size, dead ? dead->second : info.st_size);
    return kept >= std::stoll(place);
}

void MboxWriter::Unlock() noexcept {
    if (dotLocked_ && !keepDotLock_) {
        ::unlink(lockFile_.c_str());
    }
    dotLocked_ = false;
    if (locked_) {
        struct flock lock {};
        lock.l_type = F_UNLCK;
        lock.l_whence = SEEK_SET;
        ::fcntl(fd_, F_SETLK, &lock);
        locked_ = false;
    }
}

void MboxWriter::Open() {
    pending_.clear();
    header_.clear();
    start_ = -1;
    if (keepDotLock_) {
        throw ToolError("cannot cut an unfinished message off " + file_.string() +
                        "; the next run does");
    }
    Lock();
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        throw ToolError(SystemErrorText("cannot read the length of " + file_.string()));
    }
    start_ = info.st_size;
    inHeader_ = true;
    // A file another program left without a final line end would glue the "From " line to
    // its last line, where no reader finds it.
    char last = '\n';
    if (start_ > 0 && ::pread(fd_, &last, 1, start_ - 1) == 1 && last != '\n') {
        pending_ += lineEnd_;
    }
}

void MboxWriter::Write(std::string_view line) {
    if (!inHeader_) {
        Put(line);
        return;
    }
    header_ += line;
    header_ += '\n';
    if (line.empty()) {
        EndHeader();
    }
}

void MboxWriter::EndHeader() {
    inHeader_ = false;
    pending_ += "From " + MboxSender(header_) + " " + AsctimeNow() + lineEnd_;
    std::string_view lines = header_;
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        Put(lines.substr(0, end));
        lines.remove_prefix(end + 1);
    }
    header_.clear();
}

void MboxWriter::Put(std::string_view line) {
    if (NeedsQuote(line)) {
        pending_ += '>';
    }
    pending_ += line;
    pending_ += lineEnd_;
    if (pending_.size() >= kBlockBytes) {
        Flush();
    }
}

void MboxWriter::Flush() {
    WriteAll(fd_, pending_, file_);
    pending_.clear();
}

void MboxWriter::Close() {
    if (inHeader_) {
        // A message without a body: the empty line that ends its header, then the one that
        // ends the message. Some readers take a "From " line for a new message only after both.
        header_ += '\n';
        EndHeader();
    }
    pending_ += lineEnd_;
    Flush();
    end_ = ::lseek(fd_, 0, SEEK_END);
}

void MboxWriter::Commit() {
    // Nothing is left to cut off should this run die now.
    NoteLength(end_);
}

void MboxWriter::Abandon() noexcept {
    pending_.clear();
    header_.clear();
    if (start_ >= 0 && ::ftruncate(fd_, start_) != 0) {
        keepDotLock_ = true;  // the dot-lock stays, and the next run cuts the message off
    }
}

}  // namespace zef::zefmail
