#include "smtp/HeaderBlock.h"

#include "common/MailComm.h"

namespace zef::smtp {

Text MultipartHeaderBlock(const Text& subtype, const Text& charset, const Text& boundary,
                          const Text& mailHeader) {
    Text block = u"MIME-Version: 1.0\r\nContent-Type: multipart/" + subtype;
    if (!charset.empty()) {
        block += u";\r\n\tcharset=" + charset;
    }
    block += u";\r\n\tboundary=\"" + boundary + u"\"\r\n";
    block += mailHeader;
    block += u"\r\n\r\nThis message is in MIME format. \r\n";
    return block;
}

Text TransDataText(const Text& banner, const Text& headerBlock) {
    // The X-TALVORN line goes in front before the stuffing, so that a header whose very first
    // line begins with "." is stuffed as well.
    Text text = u"X-TALVORN: " + banner + u"\r\n" + headerBlock;
    mailcomm::ReplaceAll(text, u"\r\n.", u"\r\n..");
    return text;
}

Text WithCrLfLineEnds(const Text& text) {
    Text out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit == u'\r' || unit == u'\n') {
            out += u"\r\n";
            i += unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n' ? 1 : 0;
        } else {
            out += unit;
        }
    }
    return out;
}

bool HasBareLineBreak(const Text& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n')) {
            return true;
        }
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
            return true;
        }
    }
    return false;
}

}  // namespace zef::smtp
