// How header text is laid out for encoding: which lines are header fields, what kind of
// field a line belongs to, and the tokens of a field line.
#pragma once

#include <string_view>
#include <vector>

namespace zef::codec {

enum class LineRole {
    kField,     // a field line or its continuation: encoded words and folding apply
    kVerbatim,  // an empty line, a boundary delimiter, or body text: passed on unchanged
};

// Reads the lines of header text one after another. Handles a message header block (field
// lines up to the first empty line) and the text between body parts (empty lines and
// delimiter lines "--" boundary, each delimiter that is not a closing one followed by a part
// header). Once body text shows up (a line that is neither a field of a header block nor a
// delimiter), every further line is body and stays as it is.
class HeaderBlockReader {
  public:
    LineRole Next(std::string_view line);

  private:
    enum class State { kStart, kBetweenBlocks, kFields, kAfterFields, kBody };
    State state_ = State::kStart;
};

// Structured fields carry addresses or parameters: their specials ("<", "@", quotes, ...)
// stay outside encoded words. Unstructured fields (Subject and the like) are plain text:
// every word that holds non-ASCII text is encoded whole, punctuation included.
enum class FieldShape { kStructured, kUnstructured };

// The field name with its colon at the start of a line ("Subject:"), or empty when the line
// does not start with a name.
std::string_view FieldNameOf(std::string_view line);

// The shape of a field by its name (without the colon), ignoring case. Unknown fields count
// as structured, so that addresses they might hold are never swallowed by an encoded word.
FieldShape ShapeOf(std::string_view name);

struct HeaderToken {
    enum class Kind {
        kBlank,    // a run of spaces and tabs
        kAscii,    // a word, a special character or a stray CR or LF: kept as it is
        kForeign,  // a word holding ISO-2022-JP escape sequences: becomes encoded words
    };
    Kind kind;
    std::string_view text;
};

// Cuts a field value into tokens. Only bytes read as ASCII delimit: inside a kanji run the
// scanner keeps every byte in the word.
std::vector<HeaderToken> TokenizeFieldValue(std::string_view value, FieldShape shape);

// The same for UTF-8 header text, where a word holding a byte above 127 is foreign. With
// `keepAddresses`, a word joined to "@" (the local part or domain of an address, which an
// SMTPUTF8 message carries as written) stays as it is.
std::vector<HeaderToken> TokenizeUtf8FieldValue(std::string_view value, FieldShape shape,
                                                bool keepAddresses);

}  // namespace zef::codec
