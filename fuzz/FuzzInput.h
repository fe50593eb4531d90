// Reads a fuzz input as a small program: choices and lengths taken from its front, so that
// libFuzzer's mutations of a few bytes change how the rest is cut and fed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zef::fuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size)
        : bytes_(reinterpret_cast<const char*>(data), size) {}

    // One byte, 0 when the input is used up.
    uint8_t Byte() {
        if (bytes_.empty()) {
            return 0;
        }
        const auto value = static_cast<uint8_t>(bytes_.front());
        bytes_.remove_prefix(1);
        return value;
    }

    bool Bool() { return (Byte() & 1) != 0; }

    // A number from 0 to `limit` inclusive, from two bytes.
    size_t Below(size_t limit) {
        const size_t raw = (static_cast<size_t>(Byte()) << 8) | Byte();
        return limit == 0 ? 0 : raw % (limit + 1);
    }

    // A piece of the input whose length is read first (up to `maxLength` bytes).
    std::string_view Piece(size_t maxLength) { return Take(Below(maxLength)); }

    // The next `length` bytes (fewer when the input runs out).
    std::string_view Take(size_t length) {
        length = std::min(length, bytes_.size());
        const std::string_view piece = bytes_.substr(0, length);
        bytes_.remove_prefix(length);
        return piece;
    }

    // Everything not read yet.
    std::string_view Rest() { return Take(bytes_.size()); }

  private:
    std::string_view bytes_;
};

// Cuts `bytes` into pieces and calls `deliver` with each, in order. The piece lengths are the
// bytes of `lengths` plus one, used in turn and again from the start when they run out; no
// lengths means one piece. So the same payload can arrive whole, a byte at a time or cut
// anywhere, as a socket may deliver it.
template <class Deliver>
void DeliverInPieces(std::string_view bytes, std::string_view lengths, Deliver&& deliver) {
    size_t turn = 0;
    while (!bytes.empty()) {
        size_t length = bytes.size();
        if (!lengths.empty()) {
            length = static_cast<uint8_t>(lengths[turn++ % lengths.size()]) + size_t{1};
            length = std::min(length, bytes.size());
        }
        deliver(bytes.substr(0, length));
        bytes.remove_prefix(length);
    }
}

}  // namespace zef::fuzz

// A target's libFuzzer entry point: the whole input goes to `run`.
#define ZEF_FUZZ_TARGET(run)                                                  \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
        zef::fuzz::FuzzInput input(data, size);                               \
        run(input);                                                           \
        return 0;                                                             \
    }

// A target's libFuzzer entry point whose first input byte picks one of the operations given.
#define ZEF_FUZZ_OPERATIONS(...)                                                           \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {              \
        using namespace zef::fuzz;                                                         \
        static constexpr void (*kOperations[])(FuzzInput&) = {__VA_ARGS__};                \
        FuzzInput input(data, size);                                                       \
        kOperations[input.Byte() % (sizeof(kOperations) / sizeof(kOperations[0]))](input); \
        return 0;                                                                          \
    }
