// Decoded bytes of a received text part to UTF-8, for the .txt files of `fetch --text`.
//
// popZef chooses text or bytes once per part, and zefmail keeps the bytes of every part exact.
// The text is therefore made from those bytes here: Japanese text (ISO-2022-JP, Shift_JIS,
// EUC-JP) and undeclared text go through the control's own Any2Unicode, as IsText would have
// delivered them; any other charset the converter knows is read by its declared name.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/Types.h"

namespace zef::zefmail {

class TextDecoder {
  public:
    virtual ~TextDecoder() = default;
    // UTF-8 for the bytes given so far; a character cut at the end waits for the next call.
    virtual std::string Feed(const Bytes& bytes) = 0;
    virtual std::string Finish() = 0;
};

// popZef::Any2Unicode, or a stand-in for it.
using AnyToText = std::function<Text(const Bytes&)>;

std::unique_ptr<TextDecoder> MakeTextDecoder(const std::string& charset, AnyToText anyToText);

}  // namespace zef::zefmail
