#include "tools/zefmail/send/JisRepertoire.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/Unicode.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/send/BodyStreams.h"

namespace zef::zefmail {

namespace {

constexpr size_t kReadBytes = 64 * size_t{1024};

long CountQuestionMarks(const Text& text) {
    return static_cast<long>(std::count(text.begin(), text.end(), u'?'));
}

// The code point starting at `i`, and how many units it takes.
std::pair<char32_t, size_t> CodePointAt(const Text& text, size_t i) {
    char16_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
        char32_t point = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                         (static_cast<char32_t>(text[i + 1]) - 0xDC00);
        return {point, 2};
    }
    return {unit, 1};
}

std::string Advice() {
    return " cannot be sent in ISO-2022-JP, the charset zefmail uses for the subject, the "
           "addresses, file names and the text part (it would arrive as \"?\"); an HTML part "
           "(--html-file) is sent as UTF-8 and can hold it";
}

}  // namespace

JisRepertoireCheck::JisRepertoireCheck() : glyph_(MakeGlyph()) {}

bool JisRepertoireCheck::RoundTripLoses(const Text& text) {
    Text input = text;
    Bytes jis = glyph_->TextToJis(input);
    Text back = glyph_->JisToText(jis);
    return CountQuestionMarks(back) > CountQuestionMarks(text);
}

std::optional<char32_t> JisRepertoireCheck::FirstLost(const Text& text) {
    if (!RoundTripLoses(text)) {
        return std::nullopt;
    }
    for (size_t i = 0; i < text.size();) {
        auto [point, units] = CodePointAt(text, i);
        if (point >= 0x80 && RoundTripLoses(text.substr(i, units))) {
            return point;
        }
        i += units;
    }
    return std::nullopt;  // lost only in combination (not seen so far); let it pass
}

void JisRepertoireCheck::Require(const std::string& utf8, const std::string& what) {
    Require(Utf8ToText(utf8), what);
}

void JisRepertoireCheck::Require(const Text& text, const std::string& what) {
    if (auto lost = FirstLost(text)) {
        throw ToolError(what + ": " + DescribeCharacter(*lost) + Advice());
    }
}

void JisRepertoireCheck::RequireFile(const std::string& path, const std::string& what) {
    auto input = OpenFileInput(path);
    Utf8PieceDecoder decoder;
    Text pending;
    long line = 1;
    auto checkLine = [&](const Text& text) {
        std::string where = what;
        where += " " + path + ", line " + std::to_string(line);
        Require(text, where);
        ++line;
    };
    auto checkLines = [&](bool final) {
        size_t start = 0;
        for (size_t end = pending.find(u'\n'); end != Text::npos;
             start = end + 1, end = pending.find(u'\n', start)) {
            checkLine(pending.substr(start, end - start));
        }
        pending.erase(0, start);
        if (final && !pending.empty()) {
            checkLine(pending);
        }
    };
    for (Bytes piece = input->Read(kReadBytes); !piece.empty(); piece = input->Read(kReadBytes)) {
        pending += decoder.Feed(piece);
        checkLines(false);
    }
    pending += decoder.Finish();
    checkLines(true);
}

std::string DescribeCharacter(char32_t character) {
    std::array<char, 16> code{};
    std::snprintf(code.data(), code.size(), "U+%04X", static_cast<unsigned>(character));
    Text text;
    if (character >= 0x10000) {
        char32_t offset = character - 0x10000;
        text += static_cast<char16_t>(0xD800 + (offset >> 10));
        text += static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
    } else {
        text += static_cast<char16_t>(character);
    }
    return std::string(code.data()) + " (" + TextToUtf8(text) + ")";
}

}  // namespace zef::zefmail
