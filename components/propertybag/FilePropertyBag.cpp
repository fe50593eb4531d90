// The property bag an application can keep between runs: a small UTF-8 text file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/PropertyBag.h"
#include "components/propertybag/AtomicFile.h"
#include "components/propertybag/PropertyLine.h"

namespace zef {

namespace {

constexpr const char* kSource = "zef.FilePropertyBag";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

[[noreturn]] void ThrowInvalid(const std::string& message) {
    throw Error(error::kInvalidValue, kSource, Utf8ToText(message));
}

[[noreturn]] void ThrowSystem(const std::system_error& failure) {
    throw Error(failure.code().value(), kSource, Utf8ToText(failure.what()));
}

// Reads the whole file into `content`; false when there is no such file.
bool ReadWholeFile(const std::string& path, std::string& content) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            return false;
        }
        ThrowSystem(std::system_error(error, std::generic_category(), "cannot open " + path));
    }
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            ThrowSystem(std::system_error(error, std::generic_category(), "cannot read " + path));
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return true;
}

}  // namespace

FilePropertyBag FilePropertyBag::Load(const std::string& path) {
    FilePropertyBag bag;
    std::string content;
    if (!ReadWholeFile(path, content)) {
        return bag;
    }
    std::string_view rest(content);
    if (rest.starts_with(kUtf8Bom)) {
        rest.remove_prefix(kUtf8Bom.size());
    }
    for (long lineNumber = 1; !rest.empty(); ++lineNumber) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.ends_with('\r')) {  // a file edited on Windows
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        const std::string where = path + ", line " + std::to_string(lineNumber) + ": ";
        try {
            auto property = propertyfile::ParseLine(line);
            if (!bag.values_.emplace(property.name, std::move(property.value)).second) {
                ThrowInvalid(where + "the property " + property.name + " appears twice");
            }
        } catch (const std::invalid_argument& malformed) {
            ThrowInvalid(where + malformed.what());
        }
    }
    return bag;
}

void FilePropertyBag::Save(const std::string& path) const {
    std::string content;
    for (const auto& [name, value] : values_) {
        content += propertyfile::FormatLine(name, value);
        content += '\n';
    }
    try {
        ReplaceFileAtomically(path, content);
    } catch (const std::system_error& failure) {
        ThrowSystem(failure);
    }
}

Variant FilePropertyBag::ReadProperty(const std::string& name, const Variant& defaultValue) const {
    const auto found = values_.find(name);
    return found != values_.end() ? found->second : defaultValue;
}

void FilePropertyBag::WriteProperty(const std::string& name, const Variant& value,
                                    const Variant& defaultValue) {
    if (std::string problem = propertyfile::CheckName(name); !problem.empty()) {
        ThrowInvalid("cannot store \"" + name + "\": " + problem);
    }
    if (value == defaultValue) {
        values_.erase(name);
        return;
    }
    if (std::string problem = propertyfile::CheckValue(value); !problem.empty()) {
        ThrowInvalid("cannot store " + name + ": " + problem);
    }
    values_.insert_or_assign(name, value);
}

}  // namespace zef
