#include "tools/zefmail/fetch/MessageWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <algorithm>
#include <cctype>
#include <system_error>
#include <vector>

#include "common/MailboxEvents.h"
#include "common/Unicode.h"
#include "components/codec/MimeParameters.h"
#include "pop/HeaderValue.h"
#include "tools/zefmail/cli/ContentTypes.h"
#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

namespace {

using Json = nlohmann::ordered_json;

std::string Utf8(const Text& text) {
    return TextToUtf8(text);
}

bool StartsWithText(const std::string& contentType) {
    if (contentType.size() < 5) {
        return false;
    }
    std::string head = contentType.substr(0, 5);
    for (char& c : head) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return head == "text/";
}

// An extension taken from a received file name when it is short and plain.
std::string ExtensionOfName(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > 9 || name.size() - dot < 2) {
        return {};
    }
    std::string extension = name.substr(dot);
    for (size_t i = 1; i < extension.size(); ++i) {
        if (std::isalnum(static_cast<unsigned char>(extension[i])) == 0) {
            return {};
        }
    }
    return extension;
}

// The name a leaf part carries: the filename of its Content-Disposition, else the name of
// its Content-Type, as UTF-8; the fields are the ["Name", "value"] pairs of message.json.
std::optional<std::string> FileNameIn(const Json& fields) {
    std::optional<std::string> typeName;
    for (const Json& field : fields) {
        std::string key = field[0].get<std::string>();
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (key == "content-disposition") {
            if (std::optional<std::string> name =
                    codec::MimeParameter(field[1].get<std::string>(), "filename")) {
                return name;
            }
        } else if (key == "content-type" && !typeName) {
            typeName = codec::MimeParameter(field[1].get<std::string>(), "name");
        }
    }
    return typeName;
}

bool IsFlatArray(const Json& value) {
    if (!value.is_array()) {
        return false;
    }
    for (const auto& item : value) {
        if (item.is_structured()) {
            return false;
        }
    }
    return true;
}

// Indented JSON in which an array of plain values stays on one line, so that every header
// field reads as one ["Name", "value"] line.
void WritePretty(const Json& value, const std::string& indent, std::string& out) {
    auto dump = [](const Json& item) {
        return item.dump(-1, ' ', false, Json::error_handler_t::replace);
    };
    if (IsFlatArray(value)) {
        std::string line = "[";
        for (const auto& item : value) {
            line += (line.size() > 1 ? ", " : "") + dump(item);
        }
        out += line + "]";
        return;
    }
    if (!value.is_structured() || value.empty()) {
        out += dump(value);
        return;
    }
    std::string inner = indent + "  ";
    bool object = value.is_object();
    out += object ? "{\n" : "[\n";
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
        out += first ? "" : ",\n";
        first = false;
        out += inner;
        if (object) {
            out += dump(Json(it.key())) + ": ";
        }
        WritePretty(it.value(), inner, out);
    }
    out += "\n" + indent + (object ? "}" : "]");
}

}  // namespace

std::string PrettyJson(const nlohmann::ordered_json& value) {
    std::string out;
    WritePretty(value, "", out);
    return out + "\n";
}

// The data file of the leaf part being received, and its text file with --text.
struct MessageWriter::OpenPart {
    Sha256 sha;  // of what `file` writes: declared first, so that it outlives the file
    std::unique_ptr<OutputFile> file;
    uint64_t bytes = 0;
    std::unique_ptr<OutputFile> textFile;
    std::unique_ptr<charsets::PartTextReader> decoder;
};

std::string PartFileName(const std::string& stem, const std::string& contentName,
                         const std::string& contentType) {
    std::string extension = ExtensionOfName(contentName);
    if (extension.empty()) {
        extension = ExtensionForContentType(contentType);
    }
    return stem + extension;
}

std::string SafeFileName(const std::string& name, size_t limit) {
    std::string safe;
    for (char c : name) {
        const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        safe += control || c == '/' || c == '\\' ? '_' : c;
    }
    safe.erase(0, safe.find_first_not_of(". "));  // no hidden file, no "." or ".."
    if (safe.size() > limit) {
        const std::string extension = ExtensionOfName(safe);
        size_t keep = limit - extension.size();
        while (keep > 0 && (static_cast<unsigned char>(safe[keep]) & 0xC0) == 0x80) {
            --keep;  // cut before a whole UTF-8 character
        }
        safe = safe.substr(0, keep) + extension;
    }
    return safe;
}

std::string MessageWriter::Claim(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    const bool split = dot != std::string::npos && dot > 0;
    const std::string base = split ? fileName.substr(0, dot) : fileName;
    const std::string extension = split ? fileName.substr(dot) : std::string();
    std::string name = fileName;
    for (int copy = 2; !files_.insert(name).second; ++copy) {
        name = base;
        name += "-" + std::to_string(copy);
        name += extension;
    }
    return name;
}

MessageWriter::MessageWriter(std::filesystem::path outDir, bool withText, bool writeBackEarly)
    : outDir_(std::move(outDir)), withText_(withText), writeBackEarly_(writeBackEarly) {
    const long nameMax = ::pathconf(outDir_.c_str(), _PC_NAME_MAX);
    // Room for a numbered suffix and ".utf8.txt" after the longest stem.
    nameLimit_ = static_cast<size_t>(nameMax > 64 ? nameMax : 255) - 24;
    // Folders go on after the highest number an earlier run left, so they sort in arrival order
    // even when the user has moved older ones away.
    std::error_code error;
    for (std::filesystem::directory_iterator it(outDir_, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!name.empty() && name.size() <= kNumberDigits &&
            name.find_first_not_of("0123456789") == std::string::npos) {
            nextFolder_ = std::max(nextFolder_, std::stoull(name) + 1);
        }
    }
}

MessageWriter::~MessageWriter() {
    if (active_) {
        part_.reset();
        RemoveStaging();  // an interrupted message leaves no half-written folder behind
    }
}

void MessageWriter::Guard(const std::function<void()>& step) {
    if (!active_ || error_) {
        return;  // after the first failure the message is kept on the server; stop writing
    }
    try {
        step();
    } catch (const ToolError& e) {
        error_ = e.what();
    } catch (const std::filesystem::filesystem_error& e) {
        error_ = e.what();
    }
}

void MessageWriter::Attach(MailboxEvents& control) {
    Chain(control.UidlDone, [this](long id, const Text& uidl, bool /*remove*/) { Uidl(id, uidl); });
    Chain(control.MailHeadNext,
          [this](long, const Text& name, const Text& value) { MessageField(name, value); });
    Chain(control.MultiPartOpen, [this](long, long, const Text& type, const Text& name,
                                        const Text& charset, const Text& encoding, const Text&) {
        MultiPartOpen(type, name, charset, encoding);
    });
    Chain(control.MultiPartClose, [this](long, const Text&) { MultiPartClose(); });
    Chain(control.MimeHeadFirst, [this](long, long part) { PartHead(part); });
    Chain(control.MimeHeadNext,
          [this](long, long, const Text& name, const Text& value) { PartField(name, value); });
    Chain(control.MimeDataFirst, [this](long, long part, const Text& type, const Text& name,
                                        const Text& charset, const Text& encoding, bool) {
        PartDataBegin(part, type, name, charset, encoding);
    });
    Chain(control.MimeDataNext, [this](long, long, const Bytes& data) { PartData(data); });
    Chain(control.MimeDataDone, [this](long, long) { PartDataEnd(); });
}

std::string MessageWriter::Place() const {
    return (active_ ? PlannedFolder() : lastFolder_).filename().string();
}

bool MessageWriter::StillThere(const std::string& place) const {
    return std::filesystem::exists(outDir_ / place / "message.json");
}

void MessageWriter::Uidl(long id, const Text& uidl) {
    uidlId_ = id;
    uidl_ = uidl;
}

void MessageWriter::Begin(long id, long size) {
    if (active_) {
        part_.reset();
        RemoveStaging();
    }
    active_ = true;
    sealed_ = false;
    error_.reset();
    id_ = id;
    paths_.Reset();
    files_ = {"message.json"};
    currentEntry_.reset();
    part_.reset();
    message_ = Json::object();
    message_["id"] = id;
    message_["uidl"] = uidlId_ == id ? Utf8(uidl_) : std::string();
    message_["size"] = size;
    message_["headers"] = Json::array();
    messageType_.clear();
    messageEncoding_.clear();
    message_["parts"] = Json::array();
    staging_ = outDir_ / ("." + std::to_string(id) + ".partial");
    Guard([this] {
        std::filesystem::remove_all(staging_);  // left over from an interrupted run
        // Private, as the files in it: mail is for its owner only, whatever the umask.
        if (::mkdir(staging_.c_str(), 0700) != 0) {
            throw ToolError(SystemErrorText("cannot create " + staging_.string()));
        }
    });
}

void MessageWriter::MessageField(const Text& name, const Text& value) {
    if (active_) {
        message_["headers"].push_back(Json::array({Utf8(name), Utf8(value)}));
        const Text upper = pop::AsciiUpper(name);
        if (upper == u"CONTENT-TYPE") {
            messageType_ = value;
        } else if (upper == u"CONTENT-TRANSFER-ENCODING") {
            messageEncoding_ = value;
        }
    }
}

Json& MessageWriter::CurrentEntry() {
    return message_["parts"][*currentEntry_];
}

void MessageWriter::MultiPartOpen(const Text& contentType, const Text& contentName,
                                  const Text& contentCharset, const Text& transferEncoding) {
    if (!active_) {
        return;
    }
    if (!paths_.AtMessageLevel() && currentEntry_) {
        // A part whose body is a multipart: it has headers but no data of its own.
        Json& entry = CurrentEntry();
        entry["content_type"] = Utf8(contentType);
        entry["name"] = Utf8(contentName);
        entry["charset"] = Utf8(contentCharset);
        entry["transfer_encoding"] = Utf8(transferEncoding);
    }
    paths_.OpenMultipart();
}

void MessageWriter::MultiPartClose() {
    if (active_) {
        paths_.CloseMultipart();
    }
}

void MessageWriter::PartHead(long part) {
    if (!active_) {
        return;
    }
    ClosePart();
    Json entry = Json::object();
    entry["path"] = paths_.BeginPart(part);
    entry["content_type"] = "";
    entry["name"] = "";
    entry["charset"] = "";
    entry["transfer_encoding"] = "";
    entry["headers"] = Json::array();
    entry["file"] = nullptr;
    entry["bytes"] = nullptr;
    entry["sha256"] = nullptr;
    message_["parts"].push_back(std::move(entry));
    currentEntry_ = message_["parts"].size() - 1;
}

void MessageWriter::PartField(const Text& name, const Text& value) {
    if (active_ && currentEntry_) {
        CurrentEntry()["headers"].push_back(Json::array({Utf8(name), Utf8(value)}));
    }
}

void MessageWriter::PartDataBegin(long part, const Text& contentType, const Text& contentName,
                                  const Text& contentCharset, const Text& transferEncoding) {
    if (!active_) {
        return;
    }
    if (!currentEntry_ || CurrentEntry()["path"] != paths_.Current()) {
        PartHead(part);
    }
    ClosePart();
    Json& entry = CurrentEntry();
    std::string type = Utf8(contentType);
    std::string name = Utf8(contentName);
    std::string charset = Utf8(contentCharset);
    entry["content_type"] = type;
    entry["name"] = name;
    entry["charset"] = charset;
    entry["transfer_encoding"] = Utf8(transferEncoding);
    // A message without boundary is its own single part, named by the message's fields.
    const bool single = codec::MimeParameter(Utf8(messageType_), "boundary").value_or("").empty();
    const std::optional<std::string> given =
        FileNameIn(single && entry["headers"].empty() ? message_["headers"] : entry["headers"]);
    entry["filename"] = given ? Json(*given) : Json(nullptr);
    std::string fileName = given ? SafeFileName(*given, nameLimit_) : std::string();
    // Each file name is used once in a message: two parts may carry one name, and a malformed
    // message can make the control number two parts alike (a "--" line after the last
    // delimiter opens another part).
    fileName =
        Claim(fileName.empty() ? PartFileName("part" + entry["path"].get<std::string>(), name, type)
                               : fileName);
    const size_t dot = fileName.rfind('.');
    const std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    entry["file"] = fileName;
    entry["bytes"] = 0;
    Guard([&] {
        part_ = std::make_unique<OpenPart>();
        part_->file = std::make_unique<OutputFile>(staging_ / fileName, writeBackEarly_);
        part_->file->DigestInto(part_->sha);
        if (withText_ && StartsWithText(type)) {
            std::string textName = Claim(stem + ".utf8.txt");
            entry["text_file"] = textName;
            part_->textFile = std::make_unique<OutputFile>(staging_ / textName, writeBackEarly_);
            part_->decoder = std::make_unique<charsets::PartTextReader>(charset);
        }
    });
}

void MessageWriter::PartData(const Bytes& data) {
    if (!part_) {
        return;
    }
    Guard([&] {
        part_->file->Write(data);
        part_->bytes += data.size();
        if (part_->decoder) {
            part_->textFile->Write(part_->decoder->Feed(data));
        }
    });
}

void MessageWriter::PartDataEnd() {
    if (active_ && !part_ && !currentEntry_) {
        // A message without boundary and with an empty body: the control ends its data part
        // without starting it. It is still part "1", with the attributes of the message's
        // header as popZef gives them for a body that has lines, and an empty file.
        std::vector<Text> pieces;
        long noLimit = 0;
        pop::SplitQuoted(messageType_, u";", pieces, noLimit);
        Text name;
        Text charset;
        for (size_t i = 1; i < pieces.size(); ++i) {
            const pop::Parameter parameter = pop::SplitParameter(pieces[i]);
            const Text upper = pop::AsciiUpper(parameter.name);
            if (upper == u"CHARSET") {
                charset = parameter.value;
            } else if (upper == u"NAME") {
                name = parameter.value;
            }
        }
        PartHead(1);
        PartDataBegin(1, messageType_.empty() ? Text(u"text/plain") : pieces[0], name, charset,
                      messageEncoding_.empty() ? Text(u"7bit") : messageEncoding_);
    }
    ClosePart();
}

void MessageWriter::ClosePart() {
    if (!part_) {
        return;
    }
    std::unique_ptr<OpenPart> part = std::move(part_);
    Json& entry = CurrentEntry();
    entry["bytes"] = part->bytes;
    Guard([&] {
        part->file->Close();
        if (part->decoder) {
            part->textFile->Write(part->decoder->Finish());
            part->textFile->Close();
        }
    });
    entry["sha256"] = part->sha.FinalHex();  // after Close: the file's last block is hashed
}

std::optional<std::string> MessageWriter::Seal() {
    if (!active_) {
        return std::string("no message is being written");
    }
    if (!sealed_) {
        sealed_ = true;
        ClosePart();
        Guard([this] {
            OutputFile json(staging_ / "message.json", writeBackEarly_);
            json.Write(PrettyJson(message_));
            json.Close();
        });
    }
    return error_;
}

std::optional<std::string> MessageWriter::Finish() {
    if (!active_) {
        return std::string("no message is being written");
    }
    Seal();
    Guard([this] { MoveIntoNextFolder(); });
    std::optional<std::string> error = error_;
    if (error) {
        RemoveStaging();
    } else {
        lastFolder_ = final_;
    }
    active_ = false;
    return error;
}

void MessageWriter::MoveIntoNextFolder() {
    // RENAME_NOREPLACE takes the name only while nothing has it: a folder that another run made
    // meanwhile, even an empty one, is never replaced nor written into; the next number is.
    for (;; ++nextFolder_) {
        final_ = outDir_ / std::to_string(nextFolder_);
        if (::renameat2(AT_FDCWD, staging_.c_str(), AT_FDCWD, final_.c_str(), RENAME_NOREPLACE) ==
            0) {
            ++nextFolder_;
            return;
        }
        const int error = errno;
        if (error != EEXIST) {
            throw ToolError("cannot move " + staging_.string() + " to " + final_.string() + ": " +
                            std::generic_category().message(error));
        }
    }
}

void MessageWriter::RemoveStaging() {
    std::error_code ignored;
    std::filesystem::remove_all(staging_, ignored);
}

}  // namespace zef::zefmail
