// Writes one header line: tokens kept as they are, ISO-2022-JP text turned into encoded
// words, and the line folded at white space when it would pass the fold column.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/Types.h"

namespace zef::codec {

// RFC 2047 limit for one encoded word, delimiters included.
inline constexpr std::size_t kMaxEncodedWord = 75;

// The charset of the text that Encoded() turns into encoded words.
enum class WordCharset { kIso2022Jp, kUtf8 };

class HeaderLineWriter {
  public:
    // foldColumn 0: never fold. returnDesignation: how encoded words leave a kanji run.
    HeaderLineWriter(Bytes& out, std::size_t foldColumn, std::string_view returnDesignation,
                     WordCharset charset = WordCharset::kIso2022Jp)
        : out_(out),
          foldColumn_(foldColumn),
          returnDesignation_(returnDesignation),
          charset_(charset) {}

    // The field name with its colon; never folded after.
    void FieldName(std::string_view name);

    // White space between tokens: held back, it becomes the fold point if the next token
    // does not fit on the line.
    void Blank(std::string_view blanks);

    // Text kept as it is. runWidth is the width up to the next white space (this token and
    // the ones glued to it), which decides whether to fold before it.
    void Ascii(std::string_view text, std::size_t runWidth);

    // Text in the writer's charset (words and the white space between them) as one or more
    // encoded words, split only between whole characters, separated by a space or a fold.
    void Encoded(std::string_view text);

    // Ends the line with the given line end (CR LF, or nothing for unterminated text).
    void EndLine(std::string_view lineEnd);

  private:
    bool ShouldFoldBefore(std::size_t width) const;
    std::size_t RoomLeft() const;
    void FlushBlank();
    void Fold();
    void Write(std::string_view text);

    Bytes& out_;
    std::size_t foldColumn_;
    std::string_view returnDesignation_;
    WordCharset charset_;
    std::string_view pendingBlank_;
    std::size_t column_ = 0;
    bool foldable_ = false;  // the line holds value text, so a fold would not leave it empty
};

}  // namespace zef::codec
