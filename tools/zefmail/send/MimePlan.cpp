#include "tools/zefmail/send/MimePlan.h"

#include "common/Unicode.h"
#include "tools/zefmail/cli/ContentTypes.h"

namespace zef::zefmail {

namespace {

Text ToText(const std::string& utf8) {
    return Utf8ToText(utf8);
}

PlannedPart TextPart(const std::string& path, const TextInspector& inspect,
                     const std::string& charset) {
    PlannedPart part;
    part.contentType = "text/plain";
    part.charset = charset;
    // UTF-8 in base64, which the control encodes: no dot-stuffing then.
    part.transferEncoding = charset == "utf-8" ? "base64" : "7bit";
    part.dataFormat = "Unicode";
    const bool dotStuff = part.transferEncoding == "7bit";
    part.open = [path, inspect, dotStuff] {
        return MakeTextSource(RequireUtf8(OpenFileInput(path),
                                          path == "-" ? "standard input" : "--body-file " + path),
                              false, inspect, dotStuff);
    };
    return part;
}

// The HTML goes out as its own UTF-8 bytes: a converted copy would lose every character that
// ISO-2022-JP cannot carry and would contradict a <meta charset="utf-8"> inside the file.
// Quoted-printable keeps the bytes 7-bit on the wire; the codec escapes a dot at the start of
// a line, so the data is not dot-stuffed here (the encoder, not the wire, sees it first).
PlannedPart HtmlPart(const std::string& path) {
    PlannedPart part;
    part.contentType = "text/html";
    part.charset = "utf-8";
    part.transferEncoding = "quoted-printable";
    part.dataFormat = "Binary";
    part.open = [path] { return MakeByteTextSource(OpenFileInput(path), false); };
    return part;
}

PlannedPart AttachmentPart(const std::string& path) {
    PlannedPart part;
    part.contentType = ContentTypeForFile(path);
    part.name = ContentNameForFile(path);
    part.transferEncoding = "base64";
    part.dataFormat = "Binary";
    part.open = [path] { return MakeAttachmentSource(OpenFileInput(path)); };
    return part;
}

}  // namespace

MimePlan::MimePlan(std::vector<PlannedPart> parts) : top_(std::move(parts)) {}

void MimePlan::Head(long depth, long part, HeadAnswer& answer) {
    if (current_) {
        finishedBytes_ += current_->Consumed();
        current_.reset();
    }
    if (depth == 1) {
        open_.assign(1, &top_);
    }
    if (depth < 1 || static_cast<size_t>(depth) > open_.size()) {
        return;  // a question outside the plan: close
    }
    open_.resize(static_cast<size_t>(depth));
    const auto& parts = *open_.back();
    if (part < 1 || static_cast<size_t>(part) > parts.size()) {
        return;  // no such part: the empty type closes this multipart
    }
    const PlannedPart& planned = parts[static_cast<size_t>(part) - 1];
    answer.contentType = ToText(planned.contentType);
    if (!planned.children.empty()) {
        open_.push_back(&planned.children);
        return;
    }
    answer.originalDataFormat = ToText(planned.dataFormat);
    answer.contentName = ToText(planned.name);
    answer.contentCharset = ToText(planned.charset);
    answer.transferEncoding = ToText(planned.transferEncoding);
    current_ = planned.open ? planned.open() : MakeEmptySource();
}

Bytes MimePlan::Body() {
    if (!current_) {
        return {};
    }
    return current_->Next();
}

uint64_t MimePlan::Consumed() const {
    return finishedBytes_ + (current_ ? current_->Consumed() : 0);
}

std::vector<PlannedPart> PlanParts(const std::string& bodyPath, const std::string& htmlPath,
                                   const std::vector<std::string>& attachments,
                                   const TextInspector& inspectText, const std::string& charset) {
    std::vector<PlannedPart> parts;
    if (!bodyPath.empty() && !htmlPath.empty()) {
        PlannedPart alternative;
        alternative.contentType = "multipart/alternative";
        alternative.children.push_back(TextPart(bodyPath, inspectText, charset));
        alternative.children.push_back(HtmlPart(htmlPath));
        parts.push_back(std::move(alternative));
    } else if (!bodyPath.empty()) {
        parts.push_back(TextPart(bodyPath, inspectText, charset));
    } else if (!htmlPath.empty()) {
        parts.push_back(HtmlPart(htmlPath));
    }
    for (const auto& path : attachments) {
        parts.push_back(AttachmentPart(path));
    }
    return parts;
}

std::string ContentNameForFile(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string out;
    for (char c : base) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            out += '_';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace zef::zefmail
