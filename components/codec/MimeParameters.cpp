#include "components/codec/MimeParameters.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "common/Hex.h"
#include "components/codec/HeaderDecoder.h"
#include "components/glyph/Charsets.h"

namespace zef::codec {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Calls `visit` with each parameter: the pieces after the first, cut at ";" outside quotes.
template <class Visit>
void ForEachParameter(std::string_view value, const Visit& visit) {
    bool quoted = false;
    bool escaped = false;
    size_t start = std::string_view::npos;  // the type before the first ";" is no parameter
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (escaped) {
            escaped = false;
        } else if (quoted) {
            escaped = c == '\\';
            quoted = c != '"';
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            if (start != std::string_view::npos) {
                visit(value.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    if (start != std::string_view::npos) {
        visit(value.substr(start));
    }
}

// A quoted string without its quotes and escapes; anything else as it stands.
std::string Unquote(std::string_view text) {
    if (text.empty() || text[0] != '"') {
        return std::string(text);
    }
    std::string out;
    bool escaped = false;
    for (size_t i = 1; i < text.size(); ++i) {
        if (escaped || (text[i] != '\\' && text[i] != '"')) {
            out += text[i];
            escaped = false;
        } else if (text[i] == '"') {
            break;
        } else {
            escaped = true;
        }
    }
    return out;
}

void AppendPercentDecoded(std::string_view text, std::string& out) {
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexDigitValue(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
}

// Splits `charset'language'text` of an RFC 2231 value; without both quotes all of it is text.
// The value is unquoted first: `name*="utf-8''%41"` is written as well.
std::string_view TakeCharset(std::string_view& value) {
    const size_t first = value.find('\'');
    const size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
    if (second == std::string_view::npos) {
        return {};
    }
    const std::string_view charset = value.substr(0, first);
    value.remove_prefix(second + 1);
    return charset;
}

std::string InCharset(std::string_view charset, const std::string& bytes) {
    if (!charset.empty()) {
        if (std::optional<std::string> text = charsets::ToUtf8(charset, bytes)) {
            return *text;
        }
    }
    return charsets::ToUtf8("utf-8", bytes).value_or(bytes);
}

struct Section {
    bool present = false;
    bool extended = false;
    std::string_view value;
};

}  // namespace

std::optional<std::string> MimeParameter(std::string_view fieldValue, std::string_view name) {
    std::optional<std::string_view> plain;
    std::optional<std::string_view> extended;
    std::vector<std::pair<size_t, Section>> numbered;
    ForEachParameter(fieldValue, [&](std::string_view parameter) {
        const size_t equals = parameter.find('=');
        std::string_view key = Trim(parameter.substr(0, equals));
        if (equals == std::string_view::npos || key.size() < name.size() ||
            !SameName(key.substr(0, name.size()), name)) {
            return;
        }
        const std::string_view value = Trim(parameter.substr(equals + 1));
        key.remove_prefix(name.size());
        if (key.empty() || key == "*") {
            std::optional<std::string_view>& form = key.empty() ? plain : extended;
            form = form.value_or(value);
            return;
        }
        if (key[0] != '*') {
            return;  // another parameter whose name begins with this one ("filenameX1")
        }
        const bool star = key.back() == '*';
        key = key.substr(1, key.size() - (star ? 2 : 1));
        if (key.empty() || key.size() > 6 || key.find_first_not_of("0123456789") != key.npos ||
            (key.size() > 1 && key[0] == '0')) {
            return;
        }
        numbered.emplace_back(std::stoul(std::string(key)), Section{true, star, value});
    });

    if (extended) {
        const std::string unquoted = Unquote(*extended);
        std::string_view text = unquoted;
        const std::string_view charset = TakeCharset(text);
        std::string bytes;
        AppendPercentDecoded(text, bytes);
        return InCharset(charset, bytes);
    }
    if (!numbered.empty() && plain &&
        std::none_of(numbered.begin(), numbered.end(),
                     [](const auto& n) { return n.first == 0; })) {
        numbered.emplace_back(0, Section{true, false, *plain});  // the plain form begins the set
    }
    if (!numbered.empty()) {
        // Numbers at or past the count of sections leave a gap before them: never reached.
        std::vector<Section> sections(numbered.size());
        for (const auto& [number, section] : numbered) {
            if (number < sections.size() && !sections[number].present) {
                sections[number] = section;
            }
        }
        std::string charset;
        std::string bytes;
        for (size_t i = 0; i < sections.size() && sections[i].present; ++i) {
            const std::string unquoted = Unquote(sections[i].value);
            if (!sections[i].extended) {
                bytes += unquoted;
                continue;
            }
            std::string_view text = unquoted;
            if (i == 0) {
                charset = std::string(TakeCharset(text));
            }
            AppendPercentDecoded(text, bytes);
        }
        return InCharset(charset, bytes);
    }
    if (!plain) {
        return std::nullopt;
    }
    std::string text = Unquote(*plain);
    if (text.find("=?") != std::string::npos) {
        try {
            return DecodeHeader(text);
        } catch (const std::exception&) {  // a word the converter cannot read stays as it is
        }
    }
    return text;
}

}  // namespace zef::codec
