#include "tools/zefmail/fetch/MaildirWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "tools/zefmail/cli/LocalHost.h"
#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

namespace {

void MakeFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw ToolError(SystemErrorText("cannot create --maildir folder " + folder.string()));
    }
    if (!std::filesystem::is_directory(folder)) {
        throw ToolError("--maildir " + folder.string() + ": exists and is not a folder");
    }
}

// A new Maildir is made whole under a name of its own beside it and renamed into place, so
// that a run killed meanwhile never leaves a folder mail readers take for a broken Maildir.
void MakeMaildir(const std::filesystem::path& dir) {
    std::error_code ignored;
    if (!std::filesystem::exists(dir, ignored)) {
        const std::filesystem::path whole = dir.string() + ".zefmail-" + std::to_string(::getpid());
        MakeFolder(whole);
        for (const char* sub : {"tmp", "new", "cur"}) {
            MakeFolder(whole / sub);
        }
        if (::renameat2(AT_FDCWD, whole.c_str(), AT_FDCWD, dir.c_str(), RENAME_NOREPLACE) != 0) {
            std::filesystem::remove_all(whole, ignored);  // made meanwhile: taken as it is
        }
    }
    MakeFolder(dir);
    for (const char* sub : {"tmp", "new", "cur"}) {
        MakeFolder(dir / sub);
    }
}

// The host name with "/" and ":", which would break a Maildir file name, written as octal.
std::string HostForNames() {
    std::string host;
    for (const char c : LocalHostName()) {
        host += c == '/' ? "\\057" : c == ':' ? "\\072" : std::string(1, c);
    }
    return host;
}

}  // namespace

MaildirWriter::MaildirWriter(std::filesystem::path dir, bool crlf, bool writeBackEarly)
    : dir_(std::move(dir)),
      lineEnd_(crlf ? "\r\n" : "\n"),
      writeBackEarly_(writeBackEarly),
      host_(HostForNames()) {
    MakeMaildir(dir_);
}

MaildirWriter::~MaildirWriter() {
    AbandonOpen();
}

std::string MaildirWriter::UniqueName() {
    using namespace std::chrono;
    const auto now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return std::to_string(now / 1000000) + ".M" + std::to_string(now % 1000000) + "P" +
           std::to_string(::getpid()) + "Q" + std::to_string(++count_) + "." + host_;
}

void MaildirWriter::Open() {
    name_ = UniqueName();
    file_ = std::make_unique<OutputFile>(dir_ / "tmp" / name_, writeBackEarly_);
}

void MaildirWriter::Write(std::string_view line) {
    file_->Write(line);
    file_->Write(lineEnd_);
}

void MaildirWriter::Close() {
    file_->Close();
    file_.reset();
}

void MaildirWriter::Commit() {
    const std::filesystem::path from = dir_ / "tmp" / name_;
    const std::filesystem::path to = dir_ / "new" / name_;
    // One rename that never replaces a message already in new/ (a link and an unlink cost a
    // directory change more).
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        throw ToolError(SystemErrorText("cannot move " + from.string() + " into new/"));
    }
}

bool MaildirWriter::StillThere(const std::string& place) const {
    std::error_code error;
    if (std::filesystem::exists(dir_ / "new" / place, error)) {
        return true;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "cur", error)) {
        const std::string name = entry.path().filename().string();
        if (name == place || name.starts_with(place + ":")) {
            return true;
        }
    }
    return false;
}

void MaildirWriter::Abandon() noexcept {
    file_.reset();
    if (!name_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(dir_ / "tmp" / name_, ignored);
    }
}

}  // namespace zef::zefmail
