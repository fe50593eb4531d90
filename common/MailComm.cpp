#include "common/MailComm.h"

#include "common/Error.h"

namespace zef::mailcomm {

namespace {

[[noreturn]] void Overflow() {
    throw Error(error::kOverflow, "zef.mailcomm", u"Overflow");
}

// Checks a position against the 16-bit limit and returns it.
long Checked(long position) {
    if (position > kMaxPosition) {
        Overflow();
    }
    return position;
}

// 1-based position of `what` in `text` at or after the 1-based `start`, 0 when absent.
long Find(const Text& text, const Text& what, long start) {
    if (start < 1) {
        throw Error(error::kInvalidArgument, "zef.mailcomm", u"Invalid procedure call or argument");
    }
    Checked(start);
    size_t found = text.find(what, static_cast<size_t>(start - 1));
    return found == Text::npos ? 0 : Checked(static_cast<long>(found) + 1);
}

}  // namespace

long ReplaceNext(long start, Text& text, const Text& search, const Text& replacement) {
    long p = Find(text, search, start);
    if (p == 0) {
        return 0;
    }
    long next = Checked(p + static_cast<long>(replacement.size()));
    text.replace(static_cast<size_t>(p - 1), search.size(), replacement);
    return next;
}

void ReplaceAll(Text& text, const Text& search, const Text& replacement) {
    if (search.empty()) {
        throw Error(error::kInvalidArgument, "zef.mailcomm", u"ReplaceAll: empty search text");
    }
    long position = 1;
    while ((position = ReplaceNext(position, text, search, replacement)) >= 1) {
    }
}

long NextToken(long start, const Text& text, Text& token, const Text& delimiter) {
    token.clear();
    long p = Find(text, delimiter, start);
    if (p == 0) {
        return 0;
    }
    token = text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(p - start));
    return Checked(p + static_cast<long>(delimiter.size()));
}

long NextLine(long start, const Text& text, Text& line) {
    return NextToken(start, text, line, u"\r\n");
}

Text ExtractAddress(Text expression) {
    // Step 1: remove comments, innermost-skipping, restarting from the beginning each time.
    for (size_t open = expression.find(u'('); open != Text::npos; open = expression.find(u'(')) {
        size_t close = expression.find(u')', open + 1);
        size_t nested = expression.find(u'(', open + 1);
        while (close != Text::npos && nested != Text::npos && nested < close) {
            nested = expression.find(u'(', nested + 1);
            close = expression.find(u')', close + 1);
        }
        size_t length = close == Text::npos ? 1 : close - open + 1;
        expression.erase(open, length);
    }
    // Step 2: the text between the first "<" and the first ">".
    size_t lt = expression.find(u'<');
    size_t gt = expression.find(u'>');
    if (lt != Text::npos && gt != Text::npos && gt > lt) {
        return expression.substr(lt + 1, gt - lt - 1);
    }
    return expression;
}

}  // namespace zef::mailcomm
