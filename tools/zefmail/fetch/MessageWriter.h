// `fetch --out DIR`: each retrieved message becomes DIR/<n>/ with message.json and one file
// per leaf part holding the part's decoded bytes; <n> is the next number after the highest
// folder number in DIR, so runs again and again never meet an earlier folder.
//
// A message is assembled in DIR/.<id>.partial and renamed to DIR/<n> only when every file has
// been written, so a folder DIR/<n> is always complete. The fetch flushes the file system before
// the server may delete what was saved (see FetchCommand).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "common/Types.h"
#include "components/glyph/Charsets.h"
#include "tools/zefmail/fetch/Digest.h"
#include "tools/zefmail/fetch/DurableFiles.h"
#include "tools/zefmail/fetch/Output.h"
#include "tools/zefmail/fetch/PartPaths.h"

namespace zef::zefmail {

class MessageWriter final : public Output {
  public:
    // `withText`: text/* parts also get a UTF-8 .txt file, made from the part's bytes as its
    // declared charset says (charsets::PartTextReader): the bytes are always received raw
    // (IsText False), so that the data file stays exact.
    // `writeBackEarly`: the files are sent to the disk as soon as they are complete, ahead of
    // the flush that follows (see OutputFile).
    MessageWriter(std::filesystem::path outDir, bool withText, bool writeBackEarly = false);
    ~MessageWriter() override;
    MessageWriter(const MessageWriter&) = delete;
    MessageWriter& operator=(const MessageWriter&) = delete;

    // Takes the events below from the control.
    void Attach(MailboxEvents& control) override;
    bool ReadsLines() const override { return false; }
    void Line(std::string_view /*line*/) override {}

    // The events of popZef that carry what is written, in the order the control raises them.
    void Uidl(long id, const Text& uidl);                    // UidlDone
    void Begin(long id, long size) override;                 // RetrFirst, not cancelled
    void MessageField(const Text& name, const Text& value);  // MailHeadNext
    void MultiPartOpen(const Text& contentType, const Text& contentName, const Text& contentCharset,
                       const Text& transferEncoding);
    void MultiPartClose();
    void PartHead(long part);                             // MimeHeadFirst
    void PartField(const Text& name, const Text& value);  // MimeHeadNext
    void PartDataBegin(long part, const Text& contentType, const Text& contentName,
                       const Text& contentCharset, const Text& transferEncoding);
    void PartData(const Bytes& data);  // MimeDataNext, IsText False
    void PartDataEnd();                // MimeDataDone

    // RetrDone, in two steps. Seal writes message.json: the folder is whole but still
    // under its staging name, and PlannedFolder tells where it will go. Finish (sealing
    // first when needed) moves it into place. Both return the error when the message is not
    // written (the caller keeps it on the server), std::nullopt when it is.
    std::optional<std::string> Seal() override;
    std::filesystem::path PlannedFolder() const { return outDir_ / std::to_string(nextFolder_); }
    std::optional<std::string> Finish() override;

    // The folder of the last message finished without error.
    const std::filesystem::path& LastFolder() const { return lastFolder_; }

    std::string Describe() const override { return outDir_.string(); }
    std::filesystem::path Location() const override { return outDir_; }
    // The message's folder: where the sealed message goes, or the last one went.
    std::string Place() const override;
    bool StillThere(const std::string& place) const override;

  private:
    struct OpenPart;

    nlohmann::ordered_json& CurrentEntry();
    void Guard(const std::function<void()>& step);
    void ClosePart();
    void RemoveStaging();
    // Renames the staging folder to the first free number from nextFolder_ on.
    void MoveIntoNextFolder();
    // `fileName`, or its stem with "-2", "-3", ... when this message has used it already.
    std::string Claim(const std::string& fileName);

    // Longer digit-only names are not folders of ours (and would overflow).
    static constexpr size_t kNumberDigits = 18;

    std::filesystem::path outDir_;
    bool withText_;
    bool writeBackEarly_;
    unsigned long long nextFolder_ = 1;

    long id_ = 0;
    long uidlId_ = 0;
    Text uidl_;
    Text messageType_;  // the message's Content-Type and Content-Transfer-Encoding values
    Text messageEncoding_;
    bool active_ = false;
    bool sealed_ = false;
    std::optional<std::string> error_;
    std::filesystem::path staging_;
    std::filesystem::path final_;
    std::filesystem::path lastFolder_;
    nlohmann::ordered_json message_;
    PartPathTracker paths_;
    std::set<std::string> files_;  // file names used in this message
    size_t nameLimit_ = 0;         // the longest name taken from a part, in bytes
    std::optional<size_t> currentEntry_;
    std::unique_ptr<OpenPart> part_;
};

// Indented JSON with each array of plain values on one line; ends with a line end.
std::string PrettyJson(const nlohmann::ordered_json& value);

// A part's own name as a file name of one folder: path separators and control characters
// become "_", leading dots and spaces go, and a name longer than `limit` bytes is cut at a
// character boundary, keeping a short extension. "" when nothing is left.
std::string SafeFileName(const std::string& name, size_t limit);

// The name of a part's data file: the stem ("part" + path) and an extension from the part's
// name or type.
std::string PartFileName(const std::string& path, const std::string& contentName,
                         const std::string& contentType);

}  // namespace zef::zefmail
