// The mailcomm text routines on arbitrary text and positions. A position past the 16-bit
// limit and a start below 1 are refused with zef::Error; anything else must give a result
// that fits what the routine promises.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "common/Error.h"
#include "common/MailComm.h"
#include "common/Types.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"

namespace zef::fuzz {
namespace {

using namespace zef::mailcomm;

// Text from the input, one byte per character; a few bytes widen to characters that matter
// to the routines or lie beyond ASCII.
Text TextOf(std::string_view bytes) {
    Text text;
    for (char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        text += byte >= 0xF8 ? static_cast<char16_t>(0x3040 + byte) : static_cast<char16_t>(byte);
    }
    return text;
}

// A start position, chosen before the text is known: mostly inside the text, sometimes at or
// past its edges.
class StartChoice {
  public:
    explicit StartChoice(FuzzInput& input) : kind_(input.Byte()), raw_(input.Below(65535)) {}

    long In(const Text& text) const {
        const long size = static_cast<long>(text.size());
        switch (kind_ % 8) {
            case 0:
                return 0;
            case 1:
                return -static_cast<long>(raw_);
            case 2:
                return size + 1 + static_cast<long>(raw_ % 256);
            case 3:
                return kMaxPosition + 1;
            default:
                return 1 + static_cast<long>(raw_) % (size + 1);
        }
    }

  private:
    uint8_t kind_;
    size_t raw_;
};

void ExpectRefusal(const Error& error) {
    ZEF_FUZZ_CHECK(error.number() == error::kOverflow || error.number() == error::kInvalidArgument);
}

void Replace(FuzzInput& input) {
    const Text search = TextOf(input.Piece(6));
    const Text replacement = TextOf(input.Piece(40));
    const StartChoice startChoice(input);
    Text text = TextOf(input.Rest());
    const long start = startChoice.In(text);
    const Text before = text;
    try {
        const long next = ReplaceNext(start, text, search, replacement);
        if (next == 0) {
            ZEF_FUZZ_CHECK(text == before);
        } else {
            const long p = next - static_cast<long>(replacement.size());
            ZEF_FUZZ_CHECK(p >= start && next <= kMaxPosition);
            ZEF_FUZZ_CHECK(before.compare(p - 1, search.size(), search) == 0);
            ZEF_FUZZ_CHECK(text == before.substr(0, p - 1) + replacement +
                                       before.substr(p - 1 + search.size()));
        }
    } catch (const Error& error) {
        ExpectRefusal(error);
        ZEF_FUZZ_CHECK(text == before);
    }
    text = before;
    try {
        ReplaceAll(text, search, replacement);
        // A single character is gone everywhere unless the replacement brings it back.
        if (search.size() == 1 && replacement.find(search) == Text::npos) {
            ZEF_FUZZ_CHECK(text.find(search) == Text::npos);
        }
    } catch (const Error& error) {
        ExpectRefusal(error);
    }
}

void Tokens(FuzzInput& input) {
    const bool lines = input.Bool();
    const Text delimiter = lines ? Text(u"\r\n") : TextOf(input.Piece(3));
    const StartChoice startChoice(input);
    const Text text = TextOf(input.Rest());
    long position = startChoice.In(text);
    // A walk over the text: each step moves forward, and each token is the text up to the
    // delimiter found.
    for (int step = 0; step < 64; ++step) {
        Text token = u"stale";
        long next = 0;
        try {
            next = lines ? NextLine(position, text, token)
                         : NextToken(position, text, token, delimiter);
        } catch (const Error& error) {
            ExpectRefusal(error);
            return;
        }
        if (next == 0) {
            ZEF_FUZZ_CHECK(token.empty());
            return;
        }
        ZEF_FUZZ_CHECK(next == position + static_cast<long>(token.size() + delimiter.size()));
        ZEF_FUZZ_CHECK(text.compare(position - 1, token.size(), token) == 0);
        ZEF_FUZZ_CHECK(text.compare(position - 1 + token.size(), delimiter.size(), delimiter) == 0);
        if (next == position) {
            return;  // an empty delimiter does not move the walk
        }
        position = next;
    }
}

// The bare address is a piece of the comment-free text, and holds no "<" ">" pair.
void Address(FuzzInput& input) {
    const Text expression = TextOf(input.Rest());
    const Text address = ExtractAddress(expression);
    ZEF_FUZZ_CHECK(address.size() <= expression.size());
    const size_t lt = address.find(u'<');
    ZEF_FUZZ_CHECK(lt == Text::npos || address.find(u'>') == Text::npos || address.find(u'>') < lt);
    ZEF_FUZZ_CHECK(address.find(u'(') == Text::npos);
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_OPERATIONS(Replace, Tokens, Address)
