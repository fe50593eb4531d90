#include "tools/zefmail/cli/ContentTypes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace zef::zefmail {

namespace {

struct TypeEntry {
    std::string_view extension;  // lower case, without the dot
    std::string_view type;
};

// The first entry of a type is the extension given to received parts of that type.
constexpr std::array kTypes{
    TypeEntry{"txt", "text/plain"},
    TypeEntry{"text", "text/plain"},
    TypeEntry{"log", "text/plain"},
    TypeEntry{"html", "text/html"},
    TypeEntry{"htm", "text/html"},
    TypeEntry{"css", "text/css"},
    TypeEntry{"csv", "text/csv"},
    TypeEntry{"md", "text/markdown"},
    TypeEntry{"ics", "text/calendar"},
    TypeEntry{"vcf", "text/vcard"},
    TypeEntry{"xml", "application/xml"},
    TypeEntry{"json", "application/json"},
    TypeEntry{"js", "text/javascript"},
    TypeEntry{"pdf", "application/pdf"},
    TypeEntry{"zip", "application/zip"},
    TypeEntry{"gz", "application/gzip"},
    TypeEntry{"tar", "application/x-tar"},
    TypeEntry{"7z", "application/x-7z-compressed"},
    TypeEntry{"doc", "application/msword"},
    TypeEntry{"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    TypeEntry{"xls", "application/vnd.ms-excel"},
    TypeEntry{"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    TypeEntry{"ppt", "application/vnd.ms-powerpoint"},
    TypeEntry{"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    TypeEntry{"odt", "application/vnd.oasis.opendocument.text"},
    TypeEntry{"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    TypeEntry{"rtf", "application/rtf"},
    TypeEntry{"png", "image/png"},
    TypeEntry{"jpg", "image/jpeg"},
    TypeEntry{"jpeg", "image/jpeg"},
    TypeEntry{"gif", "image/gif"},
    TypeEntry{"bmp", "image/bmp"},
    TypeEntry{"webp", "image/webp"},
    TypeEntry{"svg", "image/svg+xml"},
    TypeEntry{"tif", "image/tiff"},
    TypeEntry{"tiff", "image/tiff"},
    TypeEntry{"ico", "image/vnd.microsoft.icon"},
    TypeEntry{"mp3", "audio/mpeg"},
    TypeEntry{"wav", "audio/wav"},
    TypeEntry{"ogg", "audio/ogg"},
    TypeEntry{"mp4", "video/mp4"},
    TypeEntry{"mpeg", "video/mpeg"},
    TypeEntry{"webm", "video/webm"},
    TypeEntry{"eml", "message/rfc822"},
};

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::string ContentTypeForFile(const std::string& fileName) {
    size_t slash = fileName.find_last_of("/\\");
    std::string_view base(fileName);
    if (slash != std::string::npos) {
        base.remove_prefix(slash + 1);
    }
    size_t dot = base.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return "application/octet-stream";  // no extension, or a dot file such as ".profile"
    }
    std::string extension = Lower(base.substr(dot + 1));
    for (const auto& entry : kTypes) {
        if (entry.extension == extension) {
            return std::string(entry.type);
        }
    }
    return "application/octet-stream";
}

std::string ExtensionForContentType(const std::string& contentType) {
    std::string type = Lower(Trim(std::string_view(contentType).substr(0, contentType.find(';'))));
    for (const auto& entry : kTypes) {
        if (entry.type == type) {
            return "." + std::string(entry.extension);
        }
    }
    return ".bin";
}

}  // namespace zef::zefmail
