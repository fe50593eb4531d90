#include "components/codec/HeaderLineWriter.h"

#include <algorithm>
#include <vector>

#include "components/codec/Base64.h"
#include "components/codec/Iso2022Scanner.h"

namespace zef::codec {

namespace {

constexpr std::string_view kJisWordStart = "=?ISO-2022-JP?B?";
constexpr std::string_view kUtf8WordStart = "=?UTF-8?B?";
constexpr std::string_view kWordEnd = "?=";

// One character of the text with the designation it is read in (empty for ASCII).
struct JisCharacter {
    std::string_view designation;
    std::string_view bytes;
};

std::vector<JisCharacter> SplitCharacters(std::string_view jisText) {
    std::vector<JisCharacter> characters;
    Iso2022Scanner scanner(jisText);
    while (!scanner.AtEnd()) {
        Iso2022Scanner::Unit unit = scanner.Next();
        if (!unit.isEscape) {
            characters.push_back({scanner.Designation(), unit.bytes});
        }
    }
    return characters;
}

// UTF-8 text cut into whole characters: a lead byte and its continuation bytes (a byte that
// fits no sequence stands alone). No designations: every character is read in UTF-8.
std::vector<JisCharacter> SplitUtf8Characters(std::string_view text) {
    std::vector<JisCharacter> characters;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = at + 1;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80 &&
               end - at < 4) {
            ++end;
        }
        characters.push_back({{}, text.substr(at, end - at)});
        at = end;
    }
    return characters;
}

std::size_t EncodedWordWidth(std::size_t overhead, std::size_t payloadBytes) {
    return overhead + (payloadBytes + 2) / 3 * 4;
}

// The most payload bytes whose encoded word fits in width.
std::size_t PayloadLimit(std::size_t overhead, std::size_t width) {
    return width <= overhead ? 0 : (width - overhead) / 4 * 3;
}

// Builds the payload of one encoded word: characters from `next` on, as many as fit in
// `limit` bytes (at least one), starting in ASCII and ending back in it.
class WordPayload {
  public:
    WordPayload(std::string_view returnDesignation, std::size_t limit)
        : returnDesignation_(returnDesignation), limit_(limit) {}

    std::size_t Fill(const std::vector<JisCharacter>& characters, std::size_t next) {
        for (; next < characters.size(); ++next) {
            if (!bytes_.empty() && SizeWith(characters[next]) > limit_) {
                break;
            }
            Append(characters[next]);
        }
        if (!current_.empty()) {
            bytes_ += returnDesignation_;
        }
        return next;
    }

    // The complete payload size once this character is added: the designation if the set
    // changes, the character, and the return to ASCII that the word needs at its end.
    std::size_t SizeWith(const JisCharacter& character) const {
        std::size_t size = bytes_.size() + character.bytes.size();
        if (character.designation != current_) {
            size += character.designation.empty() ? returnDesignation_.size()
                                                  : character.designation.size();
        }
        if (!character.designation.empty()) {
            size += returnDesignation_.size();
        }
        return size;
    }

    const Bytes& bytes() const { return bytes_; }

  private:
    void Append(const JisCharacter& character) {
        if (character.designation != current_) {
            bytes_ += character.designation.empty() ? returnDesignation_ : character.designation;
            current_ = character.designation;
        }
        bytes_ += character.bytes;
    }

    std::string_view returnDesignation_;
    std::size_t limit_;
    std::string_view current_;
    Bytes bytes_;
};

}  // namespace

void HeaderLineWriter::FieldName(std::string_view name) {
    Write(name);
}

void HeaderLineWriter::Blank(std::string_view blanks) {
    pendingBlank_ = blanks;
}

void HeaderLineWriter::Ascii(std::string_view text, std::size_t runWidth) {
    if (ShouldFoldBefore(runWidth)) {
        Fold();
    } else {
        FlushBlank();
    }
    Write(text);
    foldable_ = true;
}

void HeaderLineWriter::Encoded(std::string_view text) {
    const bool utf8 = charset_ == WordCharset::kUtf8;
    const std::string_view wordStart = utf8 ? kUtf8WordStart : kJisWordStart;
    const std::size_t overhead = wordStart.size() + kWordEnd.size();
    std::vector<JisCharacter> characters = utf8 ? SplitUtf8Characters(text) : SplitCharacters(text);
    if (characters.empty()) {
        // Escape sequences alone carry no text: they are dropped, the white space stays.
        FlushBlank();
        return;
    }
    for (std::size_t next = 0; next < characters.size();) {
        if (next > 0) {
            // Adjacent encoded words need white space between them; decoders drop it.
            pendingBlank_ = " ";
        }
        std::size_t smallest = EncodedWordWidth(
            overhead, WordPayload(returnDesignation_, 0).SizeWith(characters[next]));
        if (ShouldFoldBefore(smallest)) {
            Fold();
        } else {
            FlushBlank();
        }
        // Fit the word into what is left of the line; where not even the smallest word fits
        // (no fold point before it), the line is as long as it gets, and a short word would
        // only split the text for nothing.
        std::size_t width = kMaxEncodedWord;
        if (foldColumn_ > 0 && RoomLeft() >= smallest) {
            width = std::min(width, RoomLeft());
        }
        WordPayload payload(returnDesignation_, PayloadLimit(overhead, width));
        next = payload.Fill(characters, next);
        Write(wordStart);
        Write(EncodeBase64(payload.bytes()));
        Write(kWordEnd);
        foldable_ = true;
    }
}

void HeaderLineWriter::EndLine(std::string_view lineEnd) {
    FlushBlank();
    Write(lineEnd);
    column_ = 0;
    foldable_ = false;
}

bool HeaderLineWriter::ShouldFoldBefore(std::size_t width) const {
    return foldColumn_ > 0 && foldable_ && !pendingBlank_.empty() &&
           column_ + pendingBlank_.size() + width > foldColumn_;
}

std::size_t HeaderLineWriter::RoomLeft() const {
    std::size_t used = column_ + pendingBlank_.size();
    return used < foldColumn_ ? foldColumn_ - used : 0;
}

void HeaderLineWriter::FlushBlank() {
    Write(pendingBlank_);
    pendingBlank_ = {};
}

// Folding puts CR LF before the white space, which then starts the continuation line.
void HeaderLineWriter::Fold() {
    out_ += "\r\n";
    column_ = 0;
    FlushBlank();
    foldable_ = false;
}

void HeaderLineWriter::Write(std::string_view text) {
    out_ += text;
    column_ += text.size();
}

}  // namespace zef::codec
