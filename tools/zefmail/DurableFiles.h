// Files and folders that are on the disk, not only in the page cache, before zefmail lets a
// message be deleted on the server.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zef::zefmail {

// A new file written with write(2) and made durable with fsync(2). Throws ToolError. Writes
// are gathered into blocks of 64 KiB: a part arrives line by line, and a system call per line
// cost more than the rest of a fetch.
class DurableFile {
  public:
    // Creates the file; fails when it exists already.
    explicit DurableFile(const std::filesystem::path& path);
    ~DurableFile();
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    void Write(std::string_view data);
    // fsync and close; the file is complete on the disk when this returns.
    void Commit();

  private:
    void Flush();

    std::filesystem::path path_;
    int fd_ = -1;
    std::string pending_;  // written but not yet handed to write(2)
};

// fsync of a folder, which makes the names created or renamed in it durable.
void SyncFolder(const std::filesystem::path& folder);

}  // namespace zef::zefmail
