#include "smtp/Addresses.h"

#include <algorithm>

#include "common/MailComm.h"

namespace zef::smtp {

namespace {

char16_t AsciiUpper(char16_t c) {
    return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}

Text AsciiUpperCase(Text text) {
    std::transform(text.begin(), text.end(), text.begin(), AsciiUpper);
    return text;
}

bool StartsFoldedLine(const Text& line) {
    return !line.empty() && (line[0] == u' ' || line[0] == u'\t');
}

void AppendPieces(const Text& value, std::vector<Text>& recipients) {
    size_t start = 0;
    for (;;) {
        const size_t comma = value.find(u',', start);
        Text piece =
            TrimSpaces(value.substr(start, comma == Text::npos ? Text::npos : comma - start));
        if (!piece.empty()) {
            recipients.push_back(std::move(piece));
        }
        if (comma == Text::npos) {
            return;
        }
        start = comma + 1;
    }
}

void ExamineField(const Text& line, HeaderAddresses& found) {
    Text name;
    const long afterColon = mailcomm::NextToken(1, line, name, u":");
    const Text value = afterColon == 0 ? Text() : line.substr(static_cast<size_t>(afterColon - 1));
    const Text upperName = AsciiUpperCase(name);
    if (upperName == u"FROM") {
        found.from = TrimSpaces(value);
    } else if (upperName == u"TO" || upperName == u"CC" || upperName == u"BCC") {
        AppendPieces(value, found.recipients);
    }
}

}  // namespace

Text TrimSpaces(const Text& text) {
    const size_t first = text.find_first_not_of(u' ');
    if (first == Text::npos) {
        return Text();
    }
    const size_t last = text.find_last_not_of(u' ');
    return text.substr(first, last - first + 1);
}

bool IsBlank(const Text& text) {
    return text.find_first_not_of(u' ') == Text::npos;
}

std::vector<Text> RecipientsFromToAddr(const Variant& toAddr) {
    std::vector<Text> recipients;
    if (const Text* single = toAddr.AsString()) {
        if (!IsBlank(*single)) {
            recipients.push_back(*single);
        }
    } else if (const StringArray* array = toAddr.AsStringArray()) {
        for (long index = std::max(1L, array->lowerBound); index <= array->UpperBound(); ++index) {
            if (!IsBlank(array->At(index))) {
                recipients.push_back(array->At(index));
            }
        }
    }
    return recipients;
}

HeaderAddresses CollectHeaderAddresses(const Text& mailHeader) {
    HeaderAddresses found;
    Text line;
    long position = mailcomm::NextLine(1, mailHeader, line);
    while (position != 0) {
        Text following;
        long next = mailcomm::NextLine(position, mailHeader, following);
        while (next != 0 && StartsFoldedLine(following)) {
            mailcomm::ReplaceAll(following, u"\t", u" ");
            line += TrimSpaces(following);
            position = next;
            next = mailcomm::NextLine(position, mailHeader, following);
        }
        ExamineField(line, found);
        if (next == 0 || following.empty()) {
            break;
        }
        line = std::move(following);
        position = next;
    }
    return found;
}

bool HasLineBreak(const Text& text) {
    return text.find_first_of(u"\r\n") != Text::npos;
}

}  // namespace zef::smtp
