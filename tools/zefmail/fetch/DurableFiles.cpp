#include "tools/zefmail/fetch/DurableFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/fetch/Digest.h"

namespace zef::zefmail {

OutputFile::OutputFile(const std::filesystem::path& path, bool writeBackEarly)
    : path_(path), writeBackEarly_(writeBackEarly) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        throw ToolError(SystemErrorText("cannot create " + path.string()));
    }
}

namespace {
constexpr size_t kBlockBytes = size_t{64} * 1024;
}  // namespace

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        try {
            Flush();                  // what was written reaches the file even without Close
        } catch (const ToolError&) {  // NOLINT(bugprone-empty-catch): nothing to report to
        }
        ::close(fd_);
    }
}

void OutputFile::Write(std::string_view data) {
    if (pending_.size() + data.size() > kBlockBytes) {
        Flush();
    }
    if (data.size() >= kBlockBytes) {
        pending_ = data;  // a large piece goes out at once
        Flush();
        return;
    }
    pending_ += data;
}

void WriteAll(int fd, std::string_view data, const std::filesystem::path& path) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ToolError(SystemErrorText("cannot write " + path.string()));
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
}

void OutputFile::Flush() {
    if (digest_ != nullptr) {
        digest_->Update(pending_);
    }
    WriteAll(fd_, pending_, path_);
    pending_.clear();
}

void OutputFile::Close() {
    Flush();
    if (writeBackEarly_) {
        // Only a hint: the flush before QUIT is what makes the file durable.
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        throw ToolError(SystemErrorText("cannot close " + path_.string()));
    }
}

void FlushFileSystem(const std::filesystem::path& place) {
    const int fd = ::open(place.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw ToolError(SystemErrorText("cannot open " + place.string()));
    }
    const int result = ::syncfs(fd);
    const int savedErrno = errno;
    ::close(fd);
    if (result != 0) {
        errno = savedErrno;
        throw ToolError(SystemErrorText("cannot flush " + place.string() + " to disk"));
    }
}

}  // namespace zef::zefmail
