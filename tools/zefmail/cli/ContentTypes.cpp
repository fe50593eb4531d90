#include "tools/zefmail/cli/ContentTypes.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace zef::zefmail {

namespace {

// Their first extension goes to a type, over the file's first choice; their type goes to an
// extension only where the file has none. Debian's list lacks .log (.txt stays text/plain's
// extension) and audio/wav, and names .jpeg, .es, .mpga and .oga first for these types.
constexpr std::string_view kBuiltIn =
    "text/plain txt log\naudio/wav wav\nimage/jpeg jpg\ntext/javascript js\naudio/mpeg mp3\n"
    "audio/ogg ogg\n";

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

// Adds the pairs of a mime.types text to either map, where its key has none yet.
void Read(std::string_view text, std::unordered_map<std::string, std::string>* extensions,
          std::unordered_map<std::string, std::string>* types) {
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, std::min(end, text.find('#')));
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::string type = Lower(NextWord(line));
        for (std::string_view word = NextWord(line); !word.empty(); word = NextWord(line)) {
            if (extensions != nullptr) {
                extensions->emplace(type, Lower(word));
            }
            if (types != nullptr) {
                types->emplace(Lower(word), type);
            }
        }
    }
}

}  // namespace

const ContentTypeTable& SystemContentTypes() {
    static const ContentTypeTable table = [] {
        std::ifstream file("/etc/mime.types");
        std::ostringstream text;
        text << file.rdbuf();  // nothing when the file is missing or unreadable
        return ContentTypeTable(text.str());
    }();
    return table;
}

ContentTypeTable::ContentTypeTable(std::string_view mimeTypes) {
    Read(kBuiltIn, &extensions, nullptr);
    Read(mimeTypes, &extensions, &types);
    Read(kBuiltIn, nullptr, &types);
}

std::string ContentTypeForFile(const std::string& fileName, const ContentTypeTable& table) {
    std::string_view base(fileName);
    base.remove_prefix(std::min(base.find_last_of("/\\") + 1, base.size()));
    const size_t dot = base.rfind('.');
    // No extension, or a dot file such as ".profile".
    auto found = dot == std::string_view::npos || dot == 0
                     ? table.types.end()
                     : table.types.find(Lower(base.substr(dot + 1)));
    return found == table.types.end() ? "application/octet-stream" : found->second;
}

std::string ExtensionForContentType(const std::string& contentType, const ContentTypeTable& table) {
    std::string_view type(contentType);
    type = type.substr(0, type.find(';'));
    auto found = table.extensions.find(Lower(NextWord(type)));
    return found == table.extensions.end() ? ".bin" : "." + found->second;
}

}  // namespace zef::zefmail
