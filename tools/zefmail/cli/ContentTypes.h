// Content types of attachments by file extension, and file extensions for received parts.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace zef::zefmail {

// The pairs of a mime.types text (lines "type ext1 ext2 ...", '#' comments), completed by a few
// built-in ones: those it lacks, and conventional extensions where it lists others first.
struct ContentTypeTable {
    explicit ContentTypeTable(std::string_view mimeTypes);
    std::unordered_map<std::string, std::string> types, extensions;  // by lower-case key
};

// /etc/mime.types, read once, on first use; the built-in pairs alone when it cannot be read.
const ContentTypeTable& SystemContentTypes();

// By the last extension of the name alone, case-insensitive; "application/octet-stream" when
// the extension is unknown or missing.
std::string ContentTypeForFile(const std::string& fileName,
                               const ContentTypeTable& table = SystemContentTypes());

// An extension with its dot, parameters ignored; ".bin" when the type is unknown.
std::string ExtensionForContentType(const std::string& contentType,
                                    const ContentTypeTable& table = SystemContentTypes());

}  // namespace zef::zefmail
