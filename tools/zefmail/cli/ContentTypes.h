// Content types of attachments by file extension, and file extensions for received parts.
#pragma once

#include <string>

namespace zef::zefmail {

// The MIME type for a file name by its extension (case-insensitive);
// "application/octet-stream" when the extension is unknown or missing.
std::string ContentTypeForFile(const std::string& fileName);

// An extension (with its dot) for data of the given content type, parameters ignored;
// ".bin" when the type is unknown.
std::string ExtensionForContentType(const std::string& contentType);

}  // namespace zef::zefmail
