#include "components/propertybag/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace zef {

namespace {

// Takes the pieces of the message apart so that errno is read before anything allocates.
[[noreturn]] void ThrowLastError(std::string_view what, const std::string& path) {
    const int error = errno;
    throw std::system_error(error, std::generic_category(), std::string(what) + path);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void WriteAll(int fd, std::string_view content, const std::string& tempPath) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowLastError("cannot write ", tempPath);
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
}

// The rename is durable only once the directory entry itself is on disk. File systems that
// cannot sync a directory refuse with EINVAL; the file is in place all the same.
void SyncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

class TempFile {
  public:
    explicit TempFile(const std::string& path) {
        std::vector<char> name(path.begin(), path.end());
        const std::string suffix = ".tmp-XXXXXX";
        name.insert(name.end(), suffix.begin(), suffix.end());
        name.push_back('\0');
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0) {
            ThrowLastError("cannot create a temporary file beside ", path);
        }
        path_ = name.data();
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Removes the file unless it was renamed into place.
    ~TempFile() {
        CloseQuietly();
        if (!committed_) {
            ::unlink(path_.c_str());
        }
    }

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    void Close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            ThrowLastError("cannot close ", path_);
        }
    }

    void RenameTo(const std::string& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0) {
            ThrowLastError("cannot rename the temporary file over ", target);
        }
        committed_ = true;
    }

  private:
    void CloseQuietly() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    int fd_ = -1;
    std::string path_;
    bool committed_ = false;
};

}  // namespace

void ReplaceFileAtomically(const std::string& path, std::string_view content) {
    TempFile temp(path);
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 &&
        ::fchmod(temp.fd(), existing.st_mode & 07777) != 0) {
        ThrowLastError("cannot set the permissions of ", temp.path());
    }
    WriteAll(temp.fd(), content, temp.path());
    if (::fsync(temp.fd()) != 0) {
        ThrowLastError("cannot flush ", temp.path());
    }
    temp.Close();
    temp.RenameTo(path);
    SyncDirectory(DirectoryOf(path));
}

}  // namespace zef
