// Replacing a whole file so that readers see either the old or the new content, never a mix.
#pragma once

#include <string>
#include <string_view>

namespace zef {

// Writes `content` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`. A new file is readable by its owner only (it may hold a password); an existing
// file keeps its permissions. Throws std::system_error naming the step that failed.
void ReplaceFileAtomically(const std::string& path, std::string_view content);

}  // namespace zef
