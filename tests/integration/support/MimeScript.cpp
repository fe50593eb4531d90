#include "tests/integration/support/MimeScript.h"

#include <random>

#include "common/Unicode.h"

namespace zef::integration {

void MimeScript::Attach(smtpZef& smtp) {
    smtp.MimeHead = [this](long depth, long part, Text& format, Text& type, Text& name,
                           Text& charset, Text& encoding, Text& additional) {
        heads.emplace_back(depth, part);
        auto found = plan.find({depth, part});
        if (found == plan.end()) {
            return;  // ContentType left empty
        }
        const PartPlan& p = found->second;
        format = Utf8ToText(p.format);
        type = Utf8ToText(p.contentType);
        name = Utf8ToText(p.name);
        charset = Utf8ToText(p.charset);
        encoding = Utf8ToText(p.encoding);
        additional = Utf8ToText(p.additional);
    };
    smtp.MimeBody = [this](long depth, long part, Bytes& data) {
        size_t& next = nextPiece_[{depth, part}];
        const auto& pieces = plan.at({depth, part}).pieces;
        if (next < pieces.size()) {
            data = pieces[next++];
        }
    };
}

Bytes RandomBytes(size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    Bytes bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random() & 0xff);
    }
    return bytes;
}

std::vector<Bytes> Slices(const Bytes& data, size_t size) {
    std::vector<Bytes> pieces;
    for (size_t at = 0; at < data.size(); at += size) {
        pieces.push_back(data.substr(at, size));
    }
    return pieces;
}

std::vector<Bytes> TextPieces(const std::vector<std::string>& utf8) {
    std::vector<Bytes> pieces;
    pieces.reserve(utf8.size());
    for (const auto& text : utf8) {
        pieces.push_back(TextToUtf16Le(Utf8ToText(text)));
    }
    return pieces;
}

}  // namespace zef::integration
