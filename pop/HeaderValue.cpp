#include "pop/HeaderValue.h"

namespace zef::pop {

namespace {

bool IsControlOrSpace(char16_t c) {
    return c <= 32 || c == 127;
}

// The quote states shared by SplitQuoted and Unquote.
enum class Quote { Outside, Inside, Escaped };

}  // namespace

Text TrimLeadingControls(std::u16string_view text) {
    size_t start = 0;
    while (start < text.size() && IsControlOrSpace(text[start])) {
        ++start;
    }
    return Text(text.substr(start));
}

Text TrimSpaces(std::u16string_view text) {
    size_t first = text.find_first_not_of(u' ');
    if (first == std::u16string_view::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(u' ');
    return Text(text.substr(first, last - first + 1));
}

long SplitQuoted(std::u16string_view text, std::u16string_view delimiter, std::vector<Text>& fields,
                 long& limit) {
    if (limit < 0) {
        limit = 0;
    }
    // With a limit of 1 nothing may split the text.
    const bool hasDelimiter = limit != 1 && delimiter.size() == 1;
    const char16_t delimiterChar = hasDelimiter ? delimiter[0] : u'\0';

    const Text trimmed = TrimLeadingControls(text);
    fields.clear();
    Text current;
    Quote state = Quote::Outside;
    for (char16_t c : trimmed) {
        if (state == Quote::Outside && hasDelimiter && c == delimiterChar) {
            if (limit > 0 && limit <= static_cast<long>(fields.size()) + 1) {
                break;  // the rest of the text from this delimiter on is dropped
            }
            fields.push_back(std::move(current));
            current.clear();
            continue;
        }
        switch (state) {
            case Quote::Outside:
                if (c == u'"') {
                    state = Quote::Inside;
                }
                break;
            case Quote::Inside:
                if (c == u'\\') {
                    state = Quote::Escaped;
                } else if (c == u'"') {
                    state = Quote::Outside;
                }
                break;
            case Quote::Escaped:
                state = Quote::Inside;
                break;
        }
        current.push_back(c);
    }
    fields.push_back(std::move(current));
    return static_cast<long>(fields.size());
}

Text Unquote(std::u16string_view text) {
    Text result;
    result.reserve(text.size());
    Quote state = Quote::Outside;
    for (char16_t c : text) {
        switch (state) {
            case Quote::Outside:
                if (c == u'"') {
                    state = Quote::Inside;
                } else {
                    result.push_back(c);
                }
                break;
            case Quote::Inside:
                if (c == u'\\') {
                    state = Quote::Escaped;
                } else if (c == u'"') {
                    state = Quote::Outside;
                } else {
                    result.push_back(c);
                }
                break;
            case Quote::Escaped:
                result.push_back(c);
                state = Quote::Inside;
                break;
        }
    }
    return result;
}

Parameter SplitParameter(std::u16string_view parameter) {
    std::vector<Text> pieces;
    long limit = 2;
    Parameter result;
    result.pieces = SplitQuoted(parameter, u"=", pieces, limit);
    result.name = TrimSpaces(pieces[0]);
    if (pieces.size() >= 2) {
        result.value = Unquote(TrimSpaces(pieces[1]));
    }
    return result;
}

Text AsciiUpper(std::u16string_view text) {
    Text result(text);
    for (char16_t& c : result) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return result;
}

Text AsciiLower(std::u16string_view text) {
    Text result(text);
    for (char16_t& c : result) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return result;
}

}  // namespace zef::pop
