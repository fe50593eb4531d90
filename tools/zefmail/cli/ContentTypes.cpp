#include "tools/zefmail/cli/ContentTypes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <sstream>
#include <utility>

namespace zef::zefmail {

namespace {

// The first of a type is its extension, over the file's first choice; an extension gets its
// type here only where the file has none. Debian's list lacks .log (.txt stays text/plain's
// extension) and audio/wav, and names .jpeg, .es, .mpga and .oga first for these types.
constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kBuiltIn{{
    {"txt", "text/plain"},
    {"log", "text/plain"},
    {"wav", "audio/wav"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript"},
    {"mp3", "audio/mpeg"},
    {"ogg", "audio/ogg"},
}};

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The next run of non-blank characters of `text`, removed from it; empty at the end.
std::string_view NextWord(std::string_view& text) {
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    text.remove_prefix(std::find_if_not(text.begin(), text.end(), blank) - text.begin());
    const size_t length = std::find_if(text.begin(), text.end(), blank) - text.begin();
    std::string_view word = text.substr(0, length);
    text.remove_prefix(length);
    return word;
}

std::string ReadSystemFile() {
    std::ifstream file("/etc/mime.types");
    std::ostringstream text;
    text << file.rdbuf();  // nothing when the file is missing or unreadable
    return text.str();
}

const ContentTypeTable& SystemTable() {
    static const ContentTypeTable table(ReadSystemFile());
    return table;
}

}  // namespace

ContentTypeTable::ContentTypeTable(std::string_view mimeTypes) {
    for (auto [extension, type] : kBuiltIn) {
        extensions_.emplace(type, extension);
    }
    while (!mimeTypes.empty()) {
        const size_t end = std::min(mimeTypes.find('\n'), mimeTypes.size());
        std::string_view line = mimeTypes.substr(0, std::min(end, mimeTypes.find('#')));
        mimeTypes.remove_prefix(std::min(end + 1, mimeTypes.size()));
        const std::string_view type = NextWord(line);
        for (std::string_view word = NextWord(line); !word.empty(); word = NextWord(line)) {
            extensions_.emplace(Lower(type), Lower(word));  // the first listed stays
            types_.emplace(Lower(word), type);
        }
    }
    for (auto [extension, type] : kBuiltIn) {
        types_.emplace(extension, type);
    }
}

std::string ContentTypeTable::TypeForFile(const std::string& fileName) const {
    std::string_view base(fileName);
    base.remove_prefix(std::min(base.find_last_of("/\\") + 1, base.size()));
    const size_t dot = base.rfind('.');
    // No extension, or a dot file such as ".profile".
    auto found = dot == std::string_view::npos || dot == 0
                     ? types_.end()
                     : types_.find(Lower(base.substr(dot + 1)));
    return found == types_.end() ? "application/octet-stream" : found->second;
}

std::string ContentTypeTable::ExtensionForType(const std::string& contentType) const {
    std::string_view type(contentType);
    type = type.substr(0, type.find(';'));
    auto found = extensions_.find(Lower(NextWord(type)));
    return found == extensions_.end() ? ".bin" : "." + found->second;
}

std::string ContentTypeForFile(const std::string& fileName) {
    return SystemTable().TypeForFile(fileName);
}

std::string ExtensionForContentType(const std::string& contentType) {
    return SystemTable().ExtensionForType(contentType);
}

}  // namespace zef::zefmail
