#include "smtp/PartHeader.h"

#include <algorithm>

#include "common/Error.h"
#include "smtp/Addresses.h"
#include "smtp/HeaderBlock.h"
#include "smtp/Outcomes.h"
#include "smtp/Utf8Mail.h"

namespace zef::smtp {

namespace {

constexpr const char16_t* kCrLf16 = u"\r\n";

char16_t AsciiUpper(char16_t c) {
    return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}
char16_t AsciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c;
}

Text AsciiLowerCase(Text text) {
    std::transform(text.begin(), text.end(), text.begin(), AsciiLower);
    return text;
}

}  // namespace

Text Delimiter(const Text& boundary) {
    return kCrLf16 + (u"--" + boundary) + kCrLf16;
}

Text CloseDelimiter(const Text& boundary) {
    return kCrLf16 + (u"--" + boundary) + u"--" + kCrLf16;
}

bool OpensNestedMultiPart(const Text& contentType) {
    return contentType.starts_with(u"multipart/");
}

Text NestedMultiPartHeader(const Text& contentType, const Text& boundary) {
    return u"Content-Type: " + contentType + u";\r\n\tcharset=iso-2022-jp;\r\n\tboundary=\"" +
           boundary + u"\"\r\n";
}

bool AsksFor8Bit(const Text& transferEncoding) {
    return AsciiLowerCase(transferEncoding) == u"8bit";
}

Text LeafPartHeader(const PartHead& head, bool utf8Names) {
    Text text = u"Content-Type: " + head.contentType;
    if (!head.contentCharset.empty()) {
        text += u";\r\n\tcharset=" + head.contentCharset;
    }
    if (!head.contentName.empty()) {
        text += u";\r\n\tname=\"" + head.contentName + u"\"";
    }
    text += kCrLf16;
    if (!head.transferEncoding.empty()) {
        text += u"Content-Transfer-Encoding: " + head.transferEncoding + kCrLf16;
    }
    const Text additional = AsciiLowerCase(head.additionalHeader);
    if (utf8Names && !IsAscii(head.contentName) &&
        !additional.starts_with(u"content-disposition:") &&
        additional.find(u"\ncontent-disposition:") == Text::npos) {
        text += u"Content-Disposition: attachment" + Rfc2231FileName(head.contentName) + kCrLf16;
    }
    if (!head.additionalHeader.empty()) {
        text += head.additionalHeader + kCrLf16;
    }
    text += kCrLf16;
    return text;
}

Text FieldBreakingPartHeader(const PartHead& head) {
    if (HasLineBreak(head.contentType)) {
        return u"ContentType";
    }
    if (HasLineBreak(head.contentName)) {
        return u"ContentName";
    }
    if (HasLineBreak(head.contentCharset)) {
        return u"ContentCharset";
    }
    if (HasLineBreak(head.transferEncoding)) {
        return u"TramsferEncoding";
    }
    const Text& lines = head.additionalHeader;
    const bool dotLine = lines == u"." || lines.starts_with(u".\r\n") ||
                         lines.ends_with(u"\r\n.") || lines.find(u"\r\n.\r\n") != Text::npos;
    if (HasBareLineBreak(lines) || dotLine) {
        return u"AdditionalHeader";
    }
    return {};
}

bool IsTextFormat(const Text& originalDataFormat) {
    const char16_t first = originalDataFormat.empty() ? u'\0' : AsciiUpper(originalDataFormat[0]);
    if (first == u'U') {
        return true;
    }
    if (first == u'B') {
        return false;
    }
    throw outcome::smtp::kInvalidDataFormat.AsError();
}

PartEncoding ParseTransferEncoding(const Text& transferEncoding) {
    const Text name = AsciiLowerCase(transferEncoding);
    if (name.empty() || name == u"7bit" || name == u"8bit" || name == u"binary") {
        return PartEncoding::kAsIs;
    }
    if (name == u"quoted-printable") {
        return PartEncoding::kQuotedPrintable;
    }
    if (name == u"base64") {
        return PartEncoding::kBase64;
    }
    throw outcome::smtp::InvalidEncodeType(transferEncoding);
}

Bytes EncodePiece(Codec& codec, PartEncoding encoding, Bytes piece) {
    switch (encoding) {
        case PartEncoding::kAsIs:
            return piece;
        case PartEncoding::kQuotedPrintable:
            return codec.EncodeQuotedPrintable(piece);
        case PartEncoding::kBase64:
            break;
    }
    Bytes lines;
    lines.reserve((piece.size() + kBase64ChunkBytes - 1) / kBase64ChunkBytes * 78);
    const std::string_view data = piece;
    for (size_t at = 0; at < data.size(); at += kBase64ChunkBytes) {
        codec.AppendBase64(data.substr(at, kBase64ChunkBytes), lines);
        lines += kCrLf;
    }
    return lines;
}

}  // namespace zef::smtp
