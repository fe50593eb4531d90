// Files of the output, and the flush that puts them on the disk before zefmail lets a message
// be deleted on the server.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zef::zefmail {

class Sha256;

// A new file written with write(2). Throws ToolError. Writes are gathered into blocks of 64 KiB:
// a part arrives line by line, and a system call per line cost more than the rest of a fetch.
// Nothing is flushed per file: one FlushFileSystem covers every file of a session.
class OutputFile {
  public:
    // Creates the file, readable by its owner only; fails when it exists already. `writeBackEarly`:
    // Close starts writing the file to the disk without waiting for it, so that a later flush finds
    // little left to do while the rest of the mailbox is still arriving.
    explicit OutputFile(const std::filesystem::path& path, bool writeBackEarly = false);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(std::string_view data);
    // Feeds every byte written from now on to `digest` as well, a block at a time: a part's
    // lines are short, and a digest call per line cost as much as the hashing.
    void DigestInto(Sha256& digest) { digest_ = &digest; }
    // Writes what is pending and closes the file.
    void Close();

  private:
    void Flush();

    std::filesystem::path path_;
    int fd_ = -1;
    bool writeBackEarly_;
    Sha256* digest_ = nullptr;
    std::string pending_;  // written but not yet handed to write(2)
};

// write(2) of all of `data` to `fd`, again after an interruption or a short write. Throws
// ToolError naming `path`.
void WriteAll(int fd, std::string_view data, const std::filesystem::path& path);

// syncfs(2) of the file system that holds `place`: every file, folder and rename made there is
// on the disk when this returns. One call costs about what one fsync does, however many files
// a fetch has written.
void FlushFileSystem(const std::filesystem::path& place);

}  // namespace zef::zefmail
