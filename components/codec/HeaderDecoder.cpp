#include "components/codec/HeaderDecoder.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <vector>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/codec/EncodedWord.h"
#include "components/codec/Iso2022Scanner.h"
#include "components/glyph/Charsets.h"

namespace zef::codec {

namespace {

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool OnlyWhiteSpace(std::string_view text) {
    return std::all_of(text.begin(), text.end(), IsWhiteSpace);
}

bool SameCharset(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// All encoded words of text without escape sequences: every "=?" may start one.
std::vector<EncodedWord> FindEncodedWordsInAscii(std::string_view text) {
    std::vector<EncodedWord> words;
    for (std::size_t pos = text.find("=?"); pos != std::string_view::npos;) {
        if (std::optional<EncodedWord> word = ParseEncodedWord(text, pos)) {
            words.push_back(std::move(*word));
            pos = text.find("=?", words.back().end);
        } else {
            pos = text.find("=?", pos + 1);
        }
    }
    return words;
}

// All encoded words of the text, in order. Bytes inside a kanji run are skipped.
std::vector<EncodedWord> FindEncodedWords(std::string_view text) {
    if (text.find(kEscape) == std::string_view::npos) {
        return FindEncodedWordsInAscii(text);  // no kanji run to step through
    }
    std::vector<EncodedWord> words;
    Iso2022Scanner scanner(text);
    while (!scanner.AtEnd()) {
        if (scanner.InRoman() && scanner.Peek() == '=') {
            if (std::optional<EncodedWord> word = ParseEncodedWord(text, scanner.Position())) {
                words.push_back(std::move(*word));
                // The word is plain ASCII, so stepping over it keeps the scanner in Roman.
                while (scanner.Position() < words.back().end) {
                    scanner.Next();
                }
                continue;
            }
        }
        scanner.Next();
    }
    return words;
}

std::optional<Bytes> ConvertToUtf8(std::string_view charset, std::string_view bytes) {
    try {
        return charsets::ToUtf8(charset, bytes);
    } catch (const Error&) {
        throw;
    } catch (const std::exception& failure) {
        throw Error(error::kInvalidArgument, "zef.Codec",
                    u"DecodeHeader: " + Utf8ToText(failure.what()));
    }
}

// Writes the decoded form of adjacent encoded words [first, last]: each stretch of one
// charset converted as a whole, or kept as written when its charset is unknown.
class AdjacentWordsWriter {
  public:
    AdjacentWordsWriter(std::string_view text, Bytes& out) : text_(text), out_(out) {}

    void Write(const std::vector<EncodedWord>& words, std::size_t first, std::size_t last) {
        bool previousKept = false;
        for (std::size_t begin = first; begin <= last;) {
            std::size_t end = begin;
            Bytes joined = words[begin].bytes;
            while (end < last && SameCharset(words[end + 1].charset, words[begin].charset)) {
                joined += words[++end].bytes;
            }
            std::optional<Bytes> converted = ConvertToUtf8(words[begin].charset, joined);
            if (begin > first && (previousKept || !converted)) {
                out_ += Between(words[begin - 1], words[begin]);
            }
            if (converted) {
                out_ += *converted;
            } else {
                out_ += text_.substr(words[begin].begin, words[end].end - words[begin].begin);
            }
            previousKept = !converted;
            begin = end + 1;
        }
    }

  private:
    std::string_view Between(const EncodedWord& left, const EncodedWord& right) const {
        return text_.substr(left.end, right.begin - left.end);
    }

    std::string_view text_;
    Bytes& out_;
};

}  // namespace

Bytes DecodeHeader(std::string_view header) {
    if (header.find("=?") == std::string_view::npos) {
        return Bytes(header);  // no encoded word can start anywhere: most header lines
    }
    std::vector<EncodedWord> words = FindEncodedWords(header);
    if (words.empty()) {
        return Bytes(header);
    }
    Bytes out;
    out.reserve(header.size() * 2);
    AdjacentWordsWriter writer(header, out);
    std::size_t copied = 0;
    for (std::size_t first = 0; first < words.size();) {
        std::size_t last = first;
        while (last + 1 < words.size() &&
               OnlyWhiteSpace(
                   header.substr(words[last].end, words[last + 1].begin - words[last].end))) {
            ++last;
        }
        out += header.substr(copied, words[first].begin - copied);
        writer.Write(words, first, last);
        copied = words[last].end;
        first = last + 1;
    }
    out += header.substr(copied);
    return out;
}

}  // namespace zef::codec
