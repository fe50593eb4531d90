#include "tools/zefmail/send/MailQueue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>

namespace zef::zefmail {

namespace {

constexpr int kExCantCreate = 73;
constexpr const char* kEnvelopeSuffix = ".envelope";

[[noreturn]] void Throw(int exitCode, const std::string& path) {
    throw SendmailError(exitCode, path + ": " + std::strerror(errno));
}

// A name that sorts by time and is nobody else's: microseconds, process, random.
std::string NewName() {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::random_device device;
    char name[64];
    std::snprintf(name, sizeof name, "%016lld.%d.%08x", static_cast<long long>(now.count()),
                  static_cast<int>(::getpid()), device());
    return name;
}

// Writes `pieces` to `path` (0600) and fsyncs it.
void WriteFile(const std::string& path, const std::string& first, MessageInput* rest) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        Throw(kExCantCreate, path);
    }
    const auto write = [&](const std::string& data) {
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno != EINTR) {
                ::close(fd);
                Throw(kExIoErr, path);
            }
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
    };
    write(first);
    for (Bytes piece; rest != nullptr && !(piece = rest->NextPiece()).empty();) {
        write(piece);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        Throw(kExIoErr, path);
    }
}

void Rename(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        Throw(kExIoErr, to);
    }
}

void SyncFolder(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

void MailQueue::Store(const SendmailEnvelope& envelope, MessageInput& input) const {
    std::error_code error;
    std::filesystem::create_directories(dir_ + "/tmp", error);
    ::chmod(dir_.c_str(), 0700);
    const std::string name = NewName();
    const nlohmann::json stored = {
        {"sender", envelope.sender},          {"null_sender", envelope.nullSender},
        {"recipients", envelope.recipients},  {"body_type", envelope.bodyType},
        {"dsn_notify", envelope.dsnNotify},   {"dsn_return", envelope.dsnReturn},
        {"dsn_envid", envelope.dsnEnvelopeId}};
    // The envelope first: a message without one would be read by its header alone.
    WriteFile(dir_ + "/tmp/" + name + kEnvelopeSuffix, stored.dump() + "\n", nullptr);
    WriteFile(dir_ + "/tmp/" + name, envelope.header, &input);
    Rename(dir_ + "/tmp/" + name + kEnvelopeSuffix, Path(name) + kEnvelopeSuffix);
    Rename(dir_ + "/tmp/" + name, Path(name));
    SyncFolder(dir_);
}

MailQueue::Lock::~Lock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

MailQueue::Lock MailQueue::Take() const {
    const std::string path = dir_ + "/.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        Throw(kExCantCreate, path);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw SendmailError(kExTempFail, dir_ + ": another zefmail flush is sending this queue");
    }
    return Lock(fd);
}

std::vector<std::string> MailQueue::Messages() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir_, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name[0] != '.' && !name.ends_with(kEnvelopeSuffix)) {
            names.push_back(name);
        }
    }
    if (error) {
        throw SendmailError(kExNoInput, dir_ + ": " + error.message());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<SendmailEnvelope> MailQueue::Envelope(const std::string& name,
                                                    const std::string& header) const {
    std::ifstream in(Path(name) + kEnvelopeSuffix, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    // Read whole, then parsed: JSON from a string is read several times faster than from a
    // stream, and a flush reads one envelope per message.
    const std::string text(std::istreambuf_iterator<char>(in), {});
    const nlohmann::json stored = nlohmann::json::parse(text, nullptr, false);
    if (stored.is_discarded() || !stored.is_object()) {
        throw SendmailError(kExDataErr, Path(name) + kEnvelopeSuffix + ": not an envelope");
    }
    SendmailEnvelope envelope;
    envelope.header = header;
    envelope.sender = stored.value("sender", "");
    envelope.nullSender = stored.value("null_sender", false);
    envelope.recipients = stored.value("recipients", std::vector<std::string>());
    envelope.bodyType = stored.value("body_type", "");
    envelope.dsnNotify = stored.value("dsn_notify", "");
    envelope.dsnReturn = stored.value("dsn_return", "");
    envelope.dsnEnvelopeId = stored.value("dsn_envid", "");
    if (envelope.recipients.empty()) {
        throw SendmailError(kExDataErr, Path(name) + kEnvelopeSuffix + ": no recipient");
    }
    return envelope;
}

void MailQueue::Remove(const std::string& name) const {
    // The message first: once it is gone, it cannot go twice.
    for (const std::string& path : {Path(name), Path(name) + kEnvelopeSuffix}) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            Throw(kExIoErr, path);
        }
    }
}

void MailQueue::Fail(const std::string& name, const std::string& reason) const {
    const std::string failed = dir_ + "/failed/";
    std::filesystem::create_directories(failed);
    std::ofstream(failed + name + ".reason") << reason << "\n";
    std::error_code ignored;  // a file put there by hand has no envelope
    std::filesystem::rename(Path(name) + kEnvelopeSuffix, failed + name + kEnvelopeSuffix, ignored);
    Rename(Path(name), failed + name);
}

}  // namespace zef::zefmail
