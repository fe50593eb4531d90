// The MIME parameter reader on arbitrary header field values, and on values written the way
// mail programs split a long name: RFC 2231 sections, percent-encoded, in a shuffled order.
// The first byte picks the check.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "components/codec/MimeParameters.h"
#include "components/glyph/Charsets.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"

namespace zef::fuzz {
namespace {

// Whatever a server sends: any value, any of the names zefmail asks for.
void ReadArbitrary(FuzzInput& input) {
    static constexpr std::string_view kNames[] = {"filename", "name", "boundary", "charset"};
    const std::string_view name = kNames[input.Byte() % std::size(kNames)];
    const std::string value(input.Rest());
    (void)codec::MimeParameter(value, name);
}

std::string PercentEncoded(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        out += '%';
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    }
    return out;
}

// A name of any bytes cut into sections that stand in any order reads back as the UTF-8
// reading of those bytes, whatever other parameters stand around it.
void ReadSections(FuzzInput& input) {
    const size_t count = 1 + input.Byte() % 8;
    std::vector<std::string> parameters;
    std::string name;
    for (size_t i = 0; i < count; ++i) {
        const std::string_view piece = input.Piece(40);
        name += piece;
        parameters.push_back("filename*" + std::to_string(i) + "*=" + (i == 0 ? "UTF-8''" : "") +
                             PercentEncoded(piece));
    }
    parameters.emplace_back("size=\"1;2\"");
    for (size_t i = parameters.size(); i > 1; --i) {
        std::swap(parameters[i - 1], parameters[input.Byte() % i]);
    }
    std::string value = "attachment";
    for (const std::string& parameter : parameters) {
        value += "; " + parameter;
    }
    ZEF_FUZZ_CHECK(codec::MimeParameter(value, "filename") == charsets::ToUtf8("utf-8", name));
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_OPERATIONS(ReadArbitrary, ReadSections)
