#include "pop/ReplyFields.h"

#include <algorithm>
#include <limits>

#include "pop/HeaderValue.h"

namespace zef::pop {

namespace {

// A run of decimal digits, saturated at the largest long. Anything else (empty, a sign, a
// letter) is not a number.
std::optional<long> ReadDecimal(std::u16string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    constexpr long kMax = std::numeric_limits<long>::max();
    long value = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        const long digit = c - u'0';
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return value;
}

// The piece from `start` (0-based) up to the next space, and the index after that space; the
// index is npos when no space follows, as a token without its closing delimiter does not count.
struct Token {
    std::u16string_view text;
    size_t next = std::u16string_view::npos;
};

Token NextSpaceToken(std::u16string_view line, size_t start) {
    if (start > line.size()) {
        return {};
    }
    const size_t space = line.find(u' ', start);
    if (space == std::u16string_view::npos) {
        return {};
    }
    return {line.substr(start, space - start), space + 1};
}

constexpr size_t kFirstValue = 4;  // the fifth character: after "+OK" and one space

}  // namespace

std::optional<StatReply> ReadStatReply(std::u16string_view line) {
    // The line is read with one space appended, so that a size at the very end still counts.
    Text padded(line);
    padded.push_back(u' ');
    const Token count = NextSpaceToken(padded, kFirstValue);
    if (count.next == std::u16string_view::npos) {
        return std::nullopt;
    }
    const Token size = NextSpaceToken(padded, count.next);
    const std::optional<long> countValue = ReadDecimal(count.text);
    const std::optional<long> sizeValue = ReadDecimal(size.text);
    if (!countValue || !sizeValue) {
        return std::nullopt;
    }
    return StatReply{*countValue > kMaxMessages ? kMaxMessages : *countValue, *sizeValue};
}

std::optional<long> ReadListReply(std::u16string_view line) {
    const Token number = NextSpaceToken(line, kFirstValue);
    if (number.next == std::u16string_view::npos) {
        return std::nullopt;
    }
    std::u16string_view rest = line.substr(number.next);
    return ReadDecimal(rest.substr(0, rest.find(u' ')));
}

Text ReadUidlReply(std::u16string_view line) {
    constexpr size_t kFourth = 3;
    if (line.size() <= kFourth) {
        return {};
    }
    const size_t word = line.find_first_not_of(u' ', kFourth);
    if (word == std::u16string_view::npos) {
        return {};
    }
    const size_t space = line.find(u' ', word);
    if (space == std::u16string_view::npos) {
        return {};
    }
    return TrimSpaces(line.substr(space));
}

std::optional<long> ReadMessageNumber(std::u16string_view line) {
    constexpr size_t kFourth = 3;
    const size_t word = line.find_first_not_of(u' ', kFourth);
    if (word == std::u16string_view::npos) {
        return std::nullopt;
    }
    const std::u16string_view rest = line.substr(word);
    return ReadDecimal(rest.substr(0, rest.find(u' ')));
}

Text ApopTimestamp(std::u16string_view greeting) {
    const size_t open = greeting.find(u'<');
    const size_t close = greeting.find(u'>');
    if (open == std::u16string_view::npos || close == std::u16string_view::npos || close < open) {
        return {};
    }
    return Text(greeting.substr(open, close - open + 1));
}

Text ReadResponseCode(std::u16string_view line) {
    constexpr std::u16string_view kRefusal = u"-ERR [";
    if (!line.starts_with(kRefusal)) {
        return {};
    }
    const std::u16string_view rest = line.substr(kRefusal.size());
    const size_t close = rest.find(u']');
    if (close == 0 || close == std::u16string_view::npos) {
        return {};
    }
    const std::u16string_view code = rest.substr(0, close);
    for (const char16_t c : code) {
        if (c <= u' ' || c > u'~') {
            return {};
        }
    }
    return Text(code);
}

namespace {

// The line of a CAPA response that starts with `name` (upper case) and a space or its end,
// upper case; empty when there is none.
std::optional<Text> CapabilityLine(std::u16string_view capabilities, std::u16string_view name) {
    size_t start = 0;
    while (start < capabilities.size()) {
        size_t end = capabilities.find(u"\r\n", start);
        end = end == std::u16string_view::npos ? capabilities.size() : end;
        Text line(capabilities.substr(start, end - start));
        start = end + 2;
        for (char16_t& c : line) {
            c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
        }
        if (line.starts_with(name) && (line.size() == name.size() || line[name.size()] == u' ')) {
            return line;
        }
    }
    return std::nullopt;
}

}  // namespace

bool HasCapability(std::u16string_view capabilities, std::u16string_view name) {
    return CapabilityLine(capabilities, name).has_value();
}

std::vector<Text> ReadSaslMechanisms(std::u16string_view capabilities) {
    const Text line = CapabilityLine(capabilities, u"SASL").value_or(Text());
    std::vector<Text> mechanisms;
    for (size_t word = 5; word < line.size();) {
        const size_t space = std::min(line.find(u' ', word), line.size());
        if (space > word) {
            mechanisms.emplace_back(line.substr(word, space - word));
        }
        word = space + 1;
    }
    return mechanisms;
}

}  // namespace zef::pop
