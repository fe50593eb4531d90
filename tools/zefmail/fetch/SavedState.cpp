#include "tools/zefmail/fetch/SavedState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "common/Hex.h"
#include "components/propertybag/AtomicFile.h"
#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool NeedsEscape(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '%';
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

std::optional<std::time_t> ReadTime(const std::string& text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos) {
        return std::nullopt;
    }
    return static_cast<std::time_t>(std::stoll(text));
}

}  // namespace

std::vector<std::string> SavedState::RememberedUidls() const {
    std::vector<std::string> uidls;
    uidls.reserve(mine_.size());
    for (const auto& [uidl, entry] : mine_) {
        uidls.push_back(uidl);
    }
    return uidls;
}

std::string EncodeStateField(const std::string& field) {
    std::string encoded;
    encoded.reserve(field.size());
    for (const char c : field) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEscape(byte)) {
            encoded += '%';
            encoded += kHexDigits[byte >> 4];
            encoded += kHexDigits[byte & 0x0F];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

std::optional<std::string> DecodeStateField(const std::string& field) {
    std::string decoded;
    decoded.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            decoded += field[i];
            continue;
        }
        if (i + 2 >= field.size()) {
            return std::nullopt;
        }
        const int high = HexDigitValue(field[i + 1]);
        const int low = HexDigitValue(field[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

SavedState::SavedState(std::filesystem::path file, std::string account,
                       const PlaceCheck& stillThere, const std::filesystem::path& output)
    : file_(std::move(file)), account_(std::move(account)) {
    // Two runs on one output would both fetch what is new; the second one stops here. The lock
    // is on the output itself (an mbox file beside others, or a folder), which leaves no lock
    // file behind.
    const std::filesystem::path locked = !output.empty()               ? output
                                         : file_.parent_path().empty() ? "."
                                                                       : file_.parent_path();
    lockFd_ = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
    if (lockFd_ < 0) {
        throw ToolError(SystemErrorText("cannot open " + locked.string()));
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(lockFd_);
        lockFd_ = -1;
        throw ToolError(busy ? "another zefmail fetch is writing to " + locked.string()
                             : SystemErrorText("cannot lock " + locked.string()));
    }
    try {
        Load(stillThere);
    } catch (...) {
        ::close(lockFd_);
        throw;
    }
}

SavedState::~SavedState() {
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

// Every line the fetch writes ends in a line end. A last line without one is either what an
// editor leaves when it saves the file, or an append cut short by a kill: an append is one small
// write(2), which a kill splits only where the kernel copies it in pieces (at a page boundary).
// The last line is taken when it is whole and has no place: every append carries a place, so a
// cut one looks like that only when cut exactly at the end of its UIDL. A whole line with a
// place is taken for a cut append and dropped, as is a piece of a line: its message was not put
// in place yet (it is saved again if it was). Anything else is not a state file, and is refused
// as a bad line in the middle is.
void SavedState::Load(const PlaceCheck& stillThere) {
    std::ifstream in(file_, std::ios::binary);
    if (!in) {
        if (std::filesystem::exists(file_)) {
            throw ToolError(SystemErrorText("cannot read " + file_.string()));
        }
        return;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t lineNumber = 0;
    for (size_t start = 0; start < content.size();) {
        const size_t end = content.find('\n', start);
        const std::string text = content.substr(start, end - start);
        ++lineNumber;
        if (end != std::string::npos) {
            start = end + 1;
            TakeLine(text, lineNumber, stillThere);
            continue;
        }
        const std::optional<Line> last = ParseLine(text);
        if (last && last->entry.where.empty()) {
            TakeLine(text, lineNumber, stillThere);
            AppendLine("\n");  // or the next append would join it
        } else if (last || IsLineStart(text)) {
            ++dropped_;
            if (::truncate(file_.c_str(), static_cast<off_t>(start)) != 0) {
                throw ToolError(SystemErrorText("cannot repair " + file_.string()));
            }
        } else {
            TakeLine(text, lineNumber, stillThere);  // refused
        }
        break;
    }
    rememberedAtStart_ = mine_.size();
}

void SavedState::TakeLine(const std::string& text, size_t lineNumber,
                          const PlaceCheck& stillThere) {
    std::optional<Line> line = ParseLine(text);
    if (!line) {
        throw ToolError(file_.string() + " line " + std::to_string(lineNumber) +
                        " is not a line of saved messages; move the file away to fetch "
                        "everything again");
    }
    if (line->account != account_) {
        others_.push_back(text);
        return;
    }
    if (!line->entry.where.empty()) {
        std::optional<std::string> there = stillThere(line->entry.where);
        if (!there) {
            ++dropped_;  // noted by a run that died before its message was in place
            return;
        }
        if (*there != line->entry.where) {
            ++dropped_;  // in some of its places only: written anew with those
            line->entry.where = *there;
            line->entry.partial = true;
        } else {
            ++unconfirmed_;
        }
    }
    mine_[line->uidl] = line->entry;
}

// Whether `text` is how a line starts: what an append cut short leaves.
bool SavedState::IsLineStart(std::string text) {
    const size_t percent = text.rfind('%');
    if (percent != std::string::npos && text.size() - percent < 3) {
        text.resize(percent);  // an escape cut short
    }
    const auto tabs = std::count(text.begin(), text.end(), '\t');
    if (tabs == 0) {
        return !text.empty() && ReadTime(text).has_value();
    }
    return tabs <= 3 && ParseLine(text + (tabs == 1 ? "x\tx" : "x")).has_value();
}

std::optional<SavedState::Line> SavedState::ParseLine(const std::string& text) {
    const std::vector<std::string> fields = SplitTabs(text);
    if (fields.size() != 3 && fields.size() != 4) {
        return std::nullopt;
    }
    const std::optional<std::time_t> savedAt = ReadTime(fields[0]);
    std::optional<std::string> account = DecodeStateField(fields[1]);
    std::optional<std::string> uidl = DecodeStateField(fields[2]);
    std::optional<std::string> where =
        fields.size() == 4 ? DecodeStateField(fields[3]) : std::string();
    if (!savedAt || !account || !uidl || uidl->empty() || !where ||
        (fields.size() == 4 && where->empty())) {
        return std::nullopt;
    }
    return Line{std::move(*account), std::move(*uidl),
                Entry{*savedAt, std::move(*where), false, false, false}};
}

std::string SavedState::FormatLine(std::time_t savedAt, const std::string& account,
                                   const std::string& uidl, const std::string& where) {
    std::string line = std::to_string(static_cast<long long>(savedAt)) + '\t' +
                       EncodeStateField(account) + '\t' + EncodeStateField(uidl);
    if (!where.empty()) {
        line += '\t' + EncodeStateField(where);
    }
    return line + '\n';
}

std::optional<std::time_t> SavedState::Lookup(const std::string& uidl) {
    auto found = mine_.find(uidl);
    if (found == mine_.end()) {
        ++unknown_;
        return std::nullopt;
    }
    if (!found->second.seen) {
        found->second.seen = true;
        ++recognised_;
    }
    return found->second.partial ? std::nullopt : std::optional(found->second.savedAt);
}

std::optional<std::string> SavedState::PartlyPlaced(const std::string& uidl) const {
    const auto found = mine_.find(uidl);
    return found != mine_.end() && found->second.partial ? std::optional(found->second.where)
                                                         : std::nullopt;
}

void SavedState::Saved(const std::string& uidl, std::time_t when, const std::string& where) {
    Entry& entry = mine_[uidl];
    if (entry.partial) {
        completing_[uidl] = entry;
    }
    if (entry.where.empty() || entry.partial) {
        ++unconfirmed_;
    }
    entry = Entry{when, where.empty() ? std::string("?") : where, false, true, false};
    AppendLine(FormatLine(when, account_, uidl, entry.where));
}

void SavedState::AppendLine(const std::string& line) {
    // One write of the whole line: a kill leaves it whole or as a last line without its end.
    const int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw ToolError(SystemErrorText("cannot open " + file_.string()));
    }
    const ssize_t written = ::write(fd, line.data(), line.size());
    const int savedErrno = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size())) {
        errno = written < 0 ? savedErrno : ENOSPC;
        throw ToolError(SystemErrorText("cannot write " + file_.string()));
    }
}

void SavedState::Forget(const std::string& uidl) {
    auto found = mine_.find(uidl);
    if (found == mine_.end()) {
        return;
    }
    unconfirmed_ -= found->second.where.empty() ? 0 : 1;
    mine_.erase(found);
    if (auto before = completing_.extract(uidl)) {
        mine_[uidl] = before.mapped();  // still in the places a killed run reached
    }
    Rewrite(false);
}

void SavedState::Deleting(const std::string& uidl) {
    auto found = mine_.find(uidl);
    if (found != mine_.end()) {
        found->second.deleting = true;
    }
}

void SavedState::MarkDurable() {
    for (auto& [uidl, entry] : mine_) {
        if (!entry.partial) {
            entry.where.clear();
        }
    }
    completing_.clear();
    unconfirmed_ = 0;
}

void SavedState::Rewrite(bool walkedAll) {
    std::string content;
    for (const std::string& line : others_) {
        content += line + '\n';
    }
    for (const auto& [uidl, entry] : mine_) {
        if (walkedAll && (!entry.seen || entry.deleting)) {
            continue;  // gone from the server: nothing left to skip or to expire
        }
        content += FormatLine(entry.savedAt, account_, uidl, entry.where);
    }
    try {
        ReplaceFileAtomically(file_.string(), content);
    } catch (const std::system_error& error) {
        throw ToolError(error.what());
    }
}

}  // namespace zef::zefmail
