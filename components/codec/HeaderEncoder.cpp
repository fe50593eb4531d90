#include "components/codec/HeaderEncoder.h"

#include <algorithm>
#include <vector>

#include "components/codec/HeaderLayout.h"
#include "components/codec/HeaderLineWriter.h"
#include "components/codec/Iso2022Scanner.h"

namespace zef::codec {

namespace {

constexpr std::size_t kRecommendedLineLength = 78;
constexpr long kMinFoldColumn = 40;
constexpr long kMaxFoldColumn = 998;

using Kind = HeaderToken::Kind;

// Width of the run of kept tokens from `first` up to the next white space or encoded text.
std::size_t RunWidth(const std::vector<HeaderToken>& tokens, std::size_t first) {
    std::size_t width = 0;
    for (std::size_t i = first; i < tokens.size() && tokens[i].kind == Kind::kAscii; ++i) {
        width += tokens[i].text.size();
    }
    return width;
}

// The last token of the foreign words from `first` on that are separated only by white space:
// they are encoded as one text so the spaces between them survive decoding.
std::size_t LastOfForeignRun(const std::vector<HeaderToken>& tokens, std::size_t first) {
    std::size_t last = first;
    while (last + 2 < tokens.size() && tokens[last + 1].kind == Kind::kBlank &&
           tokens[last + 2].kind == Kind::kForeign) {
        last += 2;
    }
    return last;
}

// How one header block is encoded: the charset of its text and, for UTF-8, whether
// addresses stay as written.
struct EncoderMode {
    WordCharset charset = WordCharset::kIso2022Jp;
    bool keepAddresses = false;
};

bool HasEightBitByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

void WriteFieldValue(std::string_view value, FieldShape shape, EncoderMode mode,
                     HeaderLineWriter& writer) {
    std::vector<HeaderToken> tokens = mode.charset == WordCharset::kUtf8
                                          ? TokenizeUtf8FieldValue(value, shape, mode.keepAddresses)
                                          : TokenizeFieldValue(value, shape);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const HeaderToken& token = tokens[i];
        switch (token.kind) {
            case Kind::kBlank:
                writer.Blank(token.text);
                break;
            case Kind::kAscii:
                writer.Ascii(token.text, RunWidth(tokens, i));
                break;
            case Kind::kForeign: {
                std::size_t last = LastOfForeignRun(tokens, i);
                const char* begin = token.text.data();
                const char* end = tokens[last].text.data() + tokens[last].text.size();
                writer.Encoded(std::string_view(begin, static_cast<std::size_t>(end - begin)));
                i = last;
                break;
            }
        }
    }
}

bool NeedsRewriting(std::string_view line, std::size_t foldColumn, EncoderMode mode) {
    const bool foreign = mode.charset == WordCharset::kUtf8
                             ? HasEightBitByte(line)
                             : line.find(kEscape) != std::string_view::npos;
    return foreign || (foldColumn > 0 && line.size() > foldColumn);
}

Bytes Encode(std::string_view header, std::size_t foldColumn, EncoderMode mode) {
    Bytes out;
    out.reserve(header.size() * 2);
    HeaderLineWriter writer(out, foldColumn, ReturnDesignationOf(header), mode.charset);
    HeaderBlockReader reader;
    FieldShape shape = FieldShape::kStructured;
    while (!header.empty()) {
        std::size_t lineEnd = header.find("\r\n");
        std::string_view line = header.substr(0, lineEnd);
        std::string_view lineBreak = lineEnd == std::string_view::npos ? "" : "\r\n";
        header.remove_prefix(line.size() + lineBreak.size());

        if (reader.Next(line) == LineRole::kVerbatim) {
            out += line;
            out += lineBreak;
            continue;
        }
        std::string_view name = FieldNameOf(line);
        bool continuation = line.front() == ' ' || line.front() == '\t';
        if (!continuation) {
            // A line that is neither a field nor a continuation is read as a structured value.
            shape =
                name.empty() ? FieldShape::kStructured : ShapeOf(name.substr(0, name.size() - 1));
        }
        if (!NeedsRewriting(line, foldColumn, mode)) {
            out += line;
            out += lineBreak;
            continue;
        }
        std::string_view value = line;
        if (!continuation) {
            writer.FieldName(name);
            value.remove_prefix(name.size());
        }
        WriteFieldValue(value, shape, mode, writer);
        writer.EndLine(lineBreak);
    }
    return out;
}

}  // namespace

std::size_t FoldColumnFor(long mode) {
    if (mode == 0) {
        return 0;
    }
    if (mode >= kMinFoldColumn && mode <= kMaxFoldColumn) {
        return static_cast<std::size_t>(mode);
    }
    return kRecommendedLineLength;
}

Bytes EncodeHeader(std::string_view header, std::size_t foldColumn) {
    return Encode(header, foldColumn, {});
}

Bytes EncodeUtf8Header(std::string_view header, std::size_t foldColumn, bool keepAddresses) {
    return Encode(header, foldColumn, {WordCharset::kUtf8, keepAddresses});
}

}  // namespace zef::codec
