// The readers of what a server says during a SASL login: the SCRAM-SHA-256 server messages and
// the JSON error object of a refused OAuth token.
//
// Whatever the server sends, the SCRAM client either answers with a final message that carries
// the server's nonce and a proof, or refuses with a reason; it never accepts a server final
// message it did not compute; and an OAuth error is described in valid UTF-8 without control
// characters, or not at all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "components/sasl/Sasl.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"

namespace zef::fuzz {
namespace {

void Run(FuzzInput& input) {
    const std::string_view serverFirst = input.Piece(256);
    const std::string_view serverFinal = input.Piece(128);
    const std::string_view json = input.Rest();

    sasl::ScramSha256 scram("user", "pencil", "fyko+d2lbbFgONRv9qkxdawL");
    const auto clientFinal = scram.ClientFinal(serverFirst);
    if (clientFinal) {
        ZEF_FUZZ_CHECK(clientFinal->starts_with("c=biws,r=fyko+d2lbbFgONRv9qkxdawL"));
        ZEF_FUZZ_CHECK(clientFinal->find(",p=") != std::string::npos);
    } else {
        ZEF_FUZZ_CHECK(!scram.Error().empty());
        ZEF_FUZZ_CHECK(!scram.ServerFinalIsValid(serverFinal));
    }
    if (!scram.ServerFinalIsValid(serverFinal)) {
        ZEF_FUZZ_CHECK(!scram.Error().empty());
    }

    if (const auto description = sasl::DescribeOAuthError(json)) {
        ZEF_FUZZ_CHECK(!description->empty() && IsValidUtf8(*description));
        for (const char c : *description) {
            ZEF_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
    }
}

}  // namespace
}  // namespace zef::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zef::fuzz::FuzzInput input(data, size);
    zef::fuzz::Run(input);
    return 0;
}
