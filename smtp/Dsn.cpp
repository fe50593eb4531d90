#include "smtp/Dsn.h"

#include "smtp/Outcomes.h"

namespace zef::smtp {

namespace {

Text Upper(Text text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - (u'a' - u'A'));
        }
    }
    return text;
}

bool IsNotifyList(const Text& upper) {
    if (upper == u"NEVER") {
        return true;
    }
    size_t start = 0;
    for (;;) {
        const size_t comma = upper.find(u',', start);
        const Text word = upper.substr(start, comma - start);
        if (word != u"SUCCESS" && word != u"FAILURE" && word != u"DELAY") {
            return false;
        }
        if (comma == Text::npos) {
            return true;
        }
        start = comma + 1;
    }
}

}  // namespace

void CheckDsnNotify(const Text& notify) {
    if (!notify.empty() && !IsNotifyList(Upper(notify))) {
        throw outcome::smtp::kInvalidDsnNotify.AsError();
    }
}

void CheckDsnReturn(const Text& ret) {
    const Text upper = Upper(ret);
    if (!upper.empty() && upper != u"FULL" && upper != u"HDRS") {
        throw outcome::smtp::kInvalidDsnReturn.AsError();
    }
}

void CheckDsnEnvelopeId(const Text& envelopeId) {
    constexpr size_t kMaxLength = 100;
    bool printable = envelopeId.size() <= kMaxLength;
    for (const char16_t c : envelopeId) {
        printable = printable && c >= u' ' && c <= u'~';
    }
    if (!printable) {
        throw outcome::smtp::kInvalidDsnEnvelopeId.AsError();
    }
}

Text DsnMailParameters(const Text& ret, const Text& envelopeId) {
    Text parameters;
    if (!ret.empty()) {
        parameters += u" RET=" + Upper(ret);
    }
    if (!envelopeId.empty()) {
        parameters += u" ENVID=" + XText(envelopeId);
    }
    return parameters;
}

Text DsnRcptParameters(const Text& notify) {
    return notify.empty() ? Text() : u" NOTIFY=" + Upper(notify);
}

Text XText(const Text& text) {
    static const char16_t kHex[] = u"0123456789ABCDEF";
    Text out;
    for (const char16_t c : text) {
        if (c > u' ' && c <= u'~' && c != u'+' && c != u'=') {
            out += c;
        } else {
            out += u'+';
            out += kHex[(c >> 4) & 0xF];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

}  // namespace zef::smtp
