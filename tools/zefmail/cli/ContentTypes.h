// Content types of attachments by file extension, and file extensions for received parts.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace zef::zefmail {

// The pairs of a mime.types text (lines "type ext1 ext2 ...", '#' comments), completed by a
// few built-in ones: those the text lacks, and a conventional extension where the text lists
// an unusual one first.
class ContentTypeTable {
  public:
    explicit ContentTypeTable(std::string_view mimeTypes);

    // By the last extension of the name alone (case-insensitive); "application/octet-stream"
    // when it is unknown or missing.
    std::string TypeForFile(const std::string& fileName) const;
    // With its dot, for the type with parameters ignored; ".bin" when the type is unknown.
    std::string ExtensionForType(const std::string& contentType) const;

  private:
    std::unordered_map<std::string, std::string> types_;       // by lower-case extension
    std::unordered_map<std::string, std::string> extensions_;  // by lower-case type
};

// Both read /etc/mime.types once, on first use; without it, the built-in pairs alone serve.
std::string ContentTypeForFile(const std::string& fileName);
std::string ExtensionForContentType(const std::string& contentType);

}  // namespace zef::zefmail
