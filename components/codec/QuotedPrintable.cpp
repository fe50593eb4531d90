#include "components/codec/QuotedPrintable.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace zef::codec {

namespace {

constexpr std::size_t kMaxLine = 76;  // characters, without CR LF
constexpr std::string_view kSoftBreak = "=\r\n";
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Printable ASCII that stands for itself anywhere but at the start of a line ("."). The
// space and tab are handled apart: they stand for themselves unless they would end a line.
constexpr std::array<bool, 256> MakeLiteralTable() {
    std::array<bool, 256> table{};
    for (int c = 33; c <= 126; ++c) {
        table[c] = c != '=';
    }
    return table;
}

constexpr std::array<bool, 256> kLiteral = MakeLiteralTable();

constexpr std::array<std::int8_t, 256> MakeHexTable() {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i) {
        table['0' + i] = static_cast<std::int8_t>(i);
    }
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<std::int8_t>(10 + i);
        table['a' + i] = static_cast<std::int8_t>(10 + i);
    }
    return table;
}

constexpr std::array<std::int8_t, 256> kHexValue = MakeHexTable();

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Writes encoded characters into a buffer sized for the worst case and keeps every line
// within kMaxLine.
class QuotedPrintableWriter {
  public:
    explicit QuotedPrintableWriter(std::size_t dataSize) {
        // Every byte escaped, and a soft break for every 72 characters of that.
        out_.resize(dataSize * 3 + (dataSize * 3 / (kMaxLine - 4) + 1) * kSoftBreak.size());
        next_ = out_.data();
    }

    // One data byte; lineEndsAfter says whether a hard line break follows it directly.
    void Put(unsigned char byte, bool lineEndsAfter) {
        bool literal = StandsForItself(byte, lineEndsAfter);
        // A line that goes on needs room for the "=" of its soft break.
        std::size_t room = lineEndsAfter ? kMaxLine : kMaxLine - 1;
        if (column_ + Width(literal) > room) {
            Write(kSoftBreak);
            column_ = 0;
            literal = StandsForItself(byte, lineEndsAfter);
        }
        if (literal) {
            *next_++ = static_cast<char>(byte);
        } else {
            next_[0] = '=';
            next_[1] = kHexDigits[byte >> 4];
            next_[2] = kHexDigits[byte & 0x0F];
            next_ += 3;
        }
        column_ += Width(literal);
    }

    void HardBreak() {
        Write("\r\n");
        column_ = 0;
    }

    // Ends a piece: an open line is closed with a soft break so the next piece can follow.
    Bytes Finish() {
        if (column_ > 0) {
            Write(kSoftBreak);
            column_ = 0;
        }
        out_.resize(static_cast<std::size_t>(next_ - out_.data()));
        return std::move(out_);
    }

  private:
    bool StandsForItself(unsigned char byte, bool lineEndsAfter) const {
        if (IsBlank(static_cast<char>(byte))) {
            return !lineEndsAfter;
        }
        if (byte == '.') {
            return column_ > 0;
        }
        return kLiteral[byte];
    }

    static std::size_t Width(bool literal) { return literal ? 1 : 3; }

    void Write(std::string_view text) {
        std::memcpy(next_, text.data(), text.size());
        next_ += text.size();
    }

    Bytes out_;
    char* next_;
    std::size_t column_ = 0;
};

// Decodes one line into dst, which has room for the line and a CR LF; returns the end.
char* DecodeLine(std::string_view line, bool endsWithCrLf, char* dst) {
    while (!line.empty() && IsBlank(line.back())) {
        line.remove_suffix(1);
    }
    bool softBreak = !line.empty() && line.back() == '=';
    if (softBreak) {
        line.remove_suffix(1);
    }
    const char* src = line.data();
    const char* end = src + line.size();
    while (src != end) {
        const char c = *src;
        if (c != '=') {
            *dst++ = c;
            ++src;
            continue;
        }
        const int high = end - src >= 3 ? kHexValue[static_cast<unsigned char>(src[1])] : -1;
        const int low = end - src >= 3 ? kHexValue[static_cast<unsigned char>(src[2])] : -1;
        if (high >= 0 && low >= 0) {
            *dst++ = static_cast<char>((high << 4) | low);
            src += 3;
        } else {
            *dst++ = '=';  // not an escape: the "=" stands for itself
            ++src;
        }
    }
    if (endsWithCrLf && !softBreak) {
        *dst++ = '\r';
        *dst++ = '\n';
    }
    return dst;
}

}  // namespace

Bytes EncodeQuotedPrintable(std::string_view data) {
    QuotedPrintableWriter writer(data.size());
    std::size_t size = data.size();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') {
            writer.HardBreak();
            ++i;
            continue;
        }
        bool lineEndsAfter = i + 2 < size && data[i + 1] == '\r' && data[i + 2] == '\n';
        writer.Put(static_cast<unsigned char>(data[i]), lineEndsAfter);
    }
    return writer.Finish();
}

void DecodeQuotedPrintable(std::string_view text, Bytes& out) {
    // Decoding never makes a line longer: room for the text is room for the result.
    out.resize(text.size());
    char* dst = out.data();
    while (!text.empty()) {
        std::size_t lineEnd = text.find("\r\n");
        bool endsWithCrLf = lineEnd != std::string_view::npos;
        dst = DecodeLine(text.substr(0, lineEnd), endsWithCrLf, dst);
        text.remove_prefix(endsWithCrLf ? lineEnd + 2 : text.size());
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
}

Bytes DecodeQuotedPrintable(std::string_view text) {
    Bytes out;
    DecodeQuotedPrintable(text, out);
    return out;
}

}  // namespace zef::codec
