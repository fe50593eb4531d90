#include "components/propertybag/PropertyLine.h"

#include <charconv>
#include <stdexcept>
#include <system_error>

#include "common/Unicode.h"

namespace zef::propertyfile {

namespace {

std::string EscapeString(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

std::string UnescapeString(std::string_view escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            out += escaped[i];
            continue;
        }
        if (++i == escaped.size()) {
            throw std::invalid_argument("the string ends with a lone backslash");
        }
        switch (escaped[i]) {
            case '\\':
                out += '\\';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            default:
                throw std::invalid_argument(std::string("unknown escape \\") + escaped[i] +
                                            " in the string");
        }
    }
    return out;
}

// Text that survives the trip to UTF-8 and back unchanged; a lone surrogate does not.
bool IsWellFormed(const Text& text) {
    return Utf8ToText(TextToUtf8(text)) == text;
}

bool IsValidUtf8(const std::string& utf8) {
    return TextToUtf8(Utf8ToText(utf8)) == utf8;
}

std::string FormatDouble(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

template <typename Number>
Number ParseNumber(std::string_view text, const char* kind) {
    Number value{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        throw std::invalid_argument("the " + std::string(kind) + " \"" + std::string(text) +
                                    "\" is out of range");
    }
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        throw std::invalid_argument("\"" + std::string(text) + "\" is not a " + kind);
    }
    return value;
}

Variant ParseValue(char type, std::string_view text) {
    switch (type) {
        case 's': {
            std::string utf8 = UnescapeString(text);
            if (!IsValidUtf8(utf8)) {
                throw std::invalid_argument("the string is not valid UTF-8");
            }
            return Variant(Utf8ToText(utf8));
        }
        case 'l':
            return Variant(ParseNumber<long>(text, "whole number"));
        case 'd':
            return Variant(ParseNumber<double>(text, "number"));
        case 'b':
            if (text == "0" || text == "1") {
                return Variant(text == "1");
            }
            throw std::invalid_argument("a Boolean is 0 or 1, not \"" + std::string(text) + "\"");
        default:
            throw std::invalid_argument(std::string("unknown type '") + type +
                                        "' (expected s, l, d or b)");
    }
}

}  // namespace

std::string CheckName(std::string_view name) {
    if (name.empty()) {
        return "a property name cannot be empty";
    }
    if (name.find_first_of("=\r\n") != std::string_view::npos) {
        return "a property name cannot hold '=', CR or LF";
    }
    return {};
}

std::string CheckValue(const Variant& value) {
    if (const Text* text = value.AsString()) {
        return IsWellFormed(*text) ? std::string() : "the string holds a lone surrogate";
    }
    if (value.AsLong() != nullptr || value.AsDouble() != nullptr || value.AsBoolean() != nullptr) {
        return {};
    }
    return "only strings, whole numbers, numbers and Booleans can be stored (type " +
           std::to_string(value.VarType()) + " given)";
}

std::string FormatLine(const std::string& name, const Variant& value) {
    if (const Text* text = value.AsString()) {
        return name + "=s:" + EscapeString(TextToUtf8(*text));
    }
    if (const long* number = value.AsLong()) {
        return name + "=l:" + std::to_string(*number);
    }
    if (const double* number = value.AsDouble()) {
        return name + "=d:" + FormatDouble(*number);
    }
    if (const bool* flag = value.AsBoolean()) {
        return name + "=b:" + (*flag ? "1" : "0");
    }
    throw std::invalid_argument(CheckValue(value));
}

Property ParseLine(std::string_view line) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        throw std::invalid_argument("expected Name=type:value");
    }
    std::string name(line.substr(0, equals));
    if (std::string problem = CheckName(name); !problem.empty()) {
        throw std::invalid_argument(problem);
    }
    const std::string_view typed = line.substr(equals + 1);
    if (typed.size() < 2 || typed[1] != ':') {
        throw std::invalid_argument("expected a type letter and ':' after '='");
    }
    return {std::move(name), ParseValue(typed[0], typed.substr(2))};
}

}  // namespace zef::propertyfile
