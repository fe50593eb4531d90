#include "components/codec/HeaderLayout.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "components/codec/Iso2022Scanner.h"

namespace zef::codec {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsDelimiterLine(std::string_view line) {
    return line.size() > 2 && line.starts_with("--");
}

bool IsClosingDelimiterLine(std::string_view line) {
    return line.size() > 4 && line.starts_with("--") && line.ends_with("--");
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Characters that separate the parts of addresses and parameters.
bool IsStructureSpecial(char c) {
    constexpr std::string_view kSpecials = "()<>[]:;@\\,\"=";
    return kSpecials.find(c) != std::string_view::npos;
}

bool IsLineBreakByte(char c) {
    return c == '\r' || c == '\n';
}

bool EndsWord(char c, FieldShape shape) {
    return IsBlank(c) || IsLineBreakByte(c) ||
           (shape == FieldShape::kStructured && IsStructureSpecial(c));
}

}  // namespace

LineRole HeaderBlockReader::Next(std::string_view line) {
    if (state_ == State::kBody) {
        return LineRole::kVerbatim;
    }
    if (IsDelimiterLine(line)) {
        state_ = IsClosingDelimiterLine(line) ? State::kBetweenBlocks : State::kFields;
        return LineRole::kVerbatim;
    }
    if (line.empty()) {
        if (state_ == State::kFields) {
            state_ = State::kAfterFields;
        } else if (state_ == State::kStart) {
            state_ = State::kBetweenBlocks;
        }
        return LineRole::kVerbatim;
    }
    if (state_ == State::kStart || state_ == State::kFields) {
        state_ = State::kFields;
        return LineRole::kField;
    }
    state_ = State::kBody;
    return LineRole::kVerbatim;
}

std::string_view FieldNameOf(std::string_view line) {
    std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
        return {};
    }
    std::string_view name = line.substr(0, colon);
    bool printable =
        std::all_of(name.begin(), name.end(), [](char c) { return c > 32 && c < 127; });
    return printable ? line.substr(0, colon + 1) : std::string_view{};
}

FieldShape ShapeOf(std::string_view name) {
    constexpr std::array<std::string_view, 4> kUnstructured = {
        "Subject", "Comments", "Content-Description", "Thread-Topic"};
    bool unstructured =
        std::any_of(kUnstructured.begin(), kUnstructured.end(),
                    [name](std::string_view n) { return EqualsIgnoringCase(n, name); });
    return unstructured ? FieldShape::kUnstructured : FieldShape::kStructured;
}

std::vector<HeaderToken> TokenizeFieldValue(std::string_view value, FieldShape shape) {
    std::vector<HeaderToken> tokens;
    Iso2022Scanner scanner(value);
    while (!scanner.AtEnd()) {
        std::size_t start = scanner.Position();
        char first = scanner.Peek();
        if (IsBlank(first)) {
            while (!scanner.AtEnd() && IsBlank(scanner.Peek())) {
                scanner.Next();
            }
            tokens.push_back(
                {HeaderToken::Kind::kBlank, value.substr(start, scanner.Position() - start)});
            continue;
        }
        if (EndsWord(first, shape)) {
            scanner.Next();
            tokens.push_back({HeaderToken::Kind::kAscii, value.substr(start, 1)});
            continue;
        }
        bool foreign = false;
        while (!scanner.AtEnd() && !(scanner.InRoman() && EndsWord(scanner.Peek(), shape))) {
            foreign = scanner.Next().isEscape || foreign;
        }
        tokens.push_back({foreign ? HeaderToken::Kind::kForeign : HeaderToken::Kind::kAscii,
                          value.substr(start, scanner.Position() - start)});
    }
    return tokens;
}

std::vector<HeaderToken> TokenizeUtf8FieldValue(std::string_view value, FieldShape shape,
                                                bool keepAddresses) {
    std::vector<HeaderToken> tokens = TokenizeFieldValue(value, shape);
    auto isAt = [&tokens](std::size_t i) { return i < tokens.size() && tokens[i].text == "@"; };
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        HeaderToken& token = tokens[i];
        if (token.kind != HeaderToken::Kind::kAscii ||
            std::all_of(token.text.begin(), token.text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            continue;
        }
        const bool inAddress =
            token.text.find('@') != std::string_view::npos || isAt(i + 1) || (i > 0 && isAt(i - 1));
        if (!(keepAddresses && inAddress)) {
            token.kind = HeaderToken::Kind::kForeign;
        }
    }
    return tokens;
}

}  // namespace zef::codec
