// Text that ISO-2022-JP cannot carry.
//
// smtpZef writes the subject, the addresses, the attachment names and the text part in
// ISO-2022-JP. Its converter keeps everything JIS X 0208 and the CP932 extensions hold, folds
// compatibility forms (half-width katakana become full-width), and writes "?" for anything
// else. zefmail refuses such text with a clear message instead of letting characters be lost.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/Types.h"
#include "components/Glyph.h"

namespace zef::zefmail {

class JisRepertoireCheck {
  public:
    JisRepertoireCheck();

    // The first character that would arrive as "?"; std::nullopt when the text goes through.
    std::optional<char32_t> FirstLost(const Text& text);

    // Throws ToolError "<what>: <character> cannot be sent in ISO-2022-JP ..." when
    // `utf8` holds such a character.
    void Require(const std::string& utf8, const std::string& what);
    void Require(const Text& text, const std::string& what);

    // Checks a UTF-8 text file line by line; the error names the line.
    void RequireFile(const std::string& path, const std::string& what);

  private:
    bool RoundTripLoses(const Text& text);

    std::unique_ptr<Glyph> glyph_;
};

// "U+1F600 (😀)".
std::string DescribeCharacter(char32_t character);

}  // namespace zef::zefmail
