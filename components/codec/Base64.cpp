#include "components/codec/Base64.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZEF_BASE64_AVX2 1
#endif

namespace zef::codec {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Encoding table: the two characters for every 12-bit value, so three bytes take two
// lookups. Measured faster than the one-character table and than OpenSSL's EVP_EncodeBlock.
constexpr std::size_t kPairCount = 4096;

struct CharacterPairs {
    std::array<char, 2 * kPairCount> characters{};
};

constexpr CharacterPairs MakeCharacterPairs() {
    CharacterPairs pairs;
    for (std::size_t i = 0; i < kPairCount; ++i) {
        pairs.characters[2 * i] = kAlphabet[i >> 6];
        pairs.characters[2 * i + 1] = kAlphabet[i & 0x3F];
    }
    return pairs;
}

constexpr CharacterPairs kPairs = MakeCharacterPairs();

// Decoding table: the six-bit value of an alphabet character, or one of two markers. Both
// markers have a bit above the six value bits set.
constexpr std::uint8_t kSkip = 0x80;
constexpr std::uint8_t kPad = 0x81;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kSkip);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
    table['='] = kPad;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

// Group tables for the fast path: for each of the four positions of a group, a character's
// six bits already placed where they land in the three output bytes, stored as the first
// three bytes of a little-endian word; anything that is not an alphabet character gives
// kNotPlain, whose bit 24 lies outside the three bytes. OR-ing four lookups gives the group's
// bytes, or shows at once that the group needs the careful path.
constexpr std::uint32_t kNotPlain = 0x01000000;

struct GroupTables {
    std::array<std::uint32_t, 256> position[4]{};
};

constexpr GroupTables MakeGroupTables() {
    GroupTables tables;
    for (std::size_t c = 0; c < 256; ++c) {
        const std::uint32_t v = kDecode[c];
        const bool plain = v < 64;
        tables.position[0][c] = plain ? v << 2 : kNotPlain;
        tables.position[1][c] = plain ? (v >> 4) | ((v & 0x0F) << 12) : kNotPlain;
        tables.position[2][c] = plain ? ((v >> 2) << 8) | ((v & 0x03) << 22) : kNotPlain;
        tables.position[3][c] = plain ? v << 16 : kNotPlain;
    }
    return tables;
}

constexpr GroupTables kGroups = MakeGroupTables();

#ifdef ZEF_BASE64_AVX2
// 32 characters at a time, for processors with AVX2: byte shuffles check every character and
// turn it into its six bits (the method of W. Mula and D. Lemire), multiply-adds pack four
// six-bit values into three bytes. Stops before the first block that holds a character
// outside the alphabet. Writes 32 bytes for the 24 of each block, so dst must have eight
// bytes of room past the last block. Returns how many characters it used.
__attribute__((target("avx2"))) std::size_t DecodeBlocksAvx2(const unsigned char* src,
                                                             std::size_t size,
                                                             unsigned char*& dst) {
    // Per low and high nibble, bits that meet only for characters outside the alphabet.
    const __m256i lowNibbleClass =
        _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                         0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                         0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i highNibbleClass =
        _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // What to add to a character, by its high nibble ("/" apart), to get its six-bit value.
    const __m256i offsets =
        _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                         -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i slash = _mm256_set1_epi8(0x2F);
    const __m256i groupOrder =
        _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                         10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i laneOrder = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1);
    std::size_t used = 0;
    while (size - used >= 32) {
        __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + used));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(block, 4), slash);
        const __m256i low = _mm256_and_si256(block, slash);
        if (_mm256_testz_si256(_mm256_shuffle_epi8(lowNibbleClass, low),
                               _mm256_shuffle_epi8(highNibbleClass, high)) == 0) {
            break;
        }
        const __m256i isSlash = _mm256_cmpeq_epi8(block, slash);
        block =
            _mm256_add_epi8(block, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(isSlash, high)));
        const __m256i pairs = _mm256_maddubs_epi16(block, _mm256_set1_epi32(0x01400140));
        __m256i bytes = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        bytes = _mm256_shuffle_epi8(bytes, groupOrder);
        bytes = _mm256_permutevar8x32_epi32(bytes, laneOrder);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), bytes);
        dst += 24;
        used += 32;
    }
    return used;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2") != 0;
    return has;
}
#endif

// Decodes whole groups of four alphabet characters from src while they last, writing three
// bytes per group; dst must have eight bytes of room past the last group. Returns how many
// characters it used.
std::size_t DecodePlainGroups(const unsigned char* src, std::size_t size, unsigned char*& dst) {
    std::size_t used = 0;
#ifdef ZEF_BASE64_AVX2
    if (size >= 32 && HasAvx2()) {
        used = DecodeBlocksAvx2(src, size, dst);
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        while (size - used >= 4) {
            const unsigned char* group = src + used;
            const std::uint32_t bytes =
                kGroups.position[0][group[0]] | kGroups.position[1][group[1]] |
                kGroups.position[2][group[2]] | kGroups.position[3][group[3]];
            if ((bytes & kNotPlain) != 0) {
                break;
            }
            std::memcpy(dst, &bytes, 4);  // the fourth byte is overwritten by the next group
            dst += 3;
            used += 4;
        }
    } else {
        while (size - used >= 4) {
            const unsigned char* group = src + used;
            const std::uint32_t a = kDecode[group[0]];
            const std::uint32_t b = kDecode[group[1]];
            const std::uint32_t c = kDecode[group[2]];
            const std::uint32_t d = kDecode[group[3]];
            if (((a | b | c | d) & 0xC0) != 0) {
                break;
            }
            const std::uint32_t value = (a << 18) | (b << 12) | (c << 6) | d;
            dst[0] = static_cast<unsigned char>(value >> 16);
            dst[1] = static_cast<unsigned char>(value >> 8);
            dst[2] = static_cast<unsigned char>(value);
            dst += 3;
            used += 4;
        }
    }
    return used;
}

}  // namespace

Bytes EncodeBase64(std::string_view data) {
    Bytes out;
    AppendBase64(data, out);
    return out;
}

void AppendBase64(std::string_view data, Bytes& out) {
    const std::size_t start = out.size();
    out.resize(start + (data.size() + 2) / 3 * 4);
    const auto* src = reinterpret_cast<const unsigned char*>(data.data());
    char* dst = out.data() + start;
    std::size_t whole = data.size() / 3 * 3;
    for (std::size_t i = 0; i < whole; i += 3, dst += 4) {
        std::uint32_t group = (std::uint32_t{src[i]} << 16) | (std::uint32_t{src[i + 1]} << 8) |
                              std::uint32_t{src[i + 2]};
        std::memcpy(dst, &kPairs.characters[std::size_t{2} * (group >> 12)], 2);
        std::memcpy(dst + 2, &kPairs.characters[std::size_t{2} * (group & 0xFFF)], 2);
    }
    std::size_t rest = data.size() - whole;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{src[whole]} << 16;
        if (rest == 2) {
            group |= std::uint32_t{src[whole + 1]} << 8;
        }
        dst[0] = kAlphabet[group >> 18];
        dst[1] = kAlphabet[(group >> 12) & 0x3F];
        dst[2] = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
        dst[3] = '=';
    }
}

void DecodeBase64(std::string_view text, Bytes& out) {
    // Three bytes per group of four, up to three for an unfinished group, and the eight bytes
    // of room the fast paths write past their last group.
    out.resize(text.size() / 4 * 3 + 11);
    const auto* src = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = src + text.size();
    auto* dst = reinterpret_cast<unsigned char*>(out.data());

    std::uint32_t group = 0;
    int count = 0;
    while (src != end) {
        // Fast path: whole groups of four alphabet characters, as nearly every line is.
        if (count == 0) {
            src += DecodePlainGroups(src, static_cast<std::size_t>(end - src), dst);
            if (src == end) {
                break;
            }
        }
        std::uint8_t value = kDecode[*src++];
        if (value == kPad) {
            break;
        }
        if (value == kSkip) {
            continue;
        }
        group = (group << 6) | value;
        if (++count == 4) {
            dst[0] = static_cast<unsigned char>(group >> 16);
            dst[1] = static_cast<unsigned char>(group >> 8);
            dst[2] = static_cast<unsigned char>(group);
            dst += 3;
            group = 0;
            count = 0;
        }
    }
    // The bytes an unfinished group holds completely: 12 bits give one, 18 bits give two.
    if (count == 2) {
        *dst++ = static_cast<unsigned char>(group >> 4);
    } else if (count == 3) {
        dst[0] = static_cast<unsigned char>(group >> 10);
        dst[1] = static_cast<unsigned char>(group >> 2);
        dst += 2;
    }
    out.resize(static_cast<std::size_t>(dst - reinterpret_cast<unsigned char*>(out.data())));
}

Bytes DecodeBase64(std::string_view text) {
    Bytes out;
    DecodeBase64(text, out);
    return out;
}

}  // namespace zef::codec
