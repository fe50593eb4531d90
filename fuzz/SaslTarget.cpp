// The readers of what a server says about logins: the EHLO keywords and enhanced status codes,
// the POP3 CAPA mechanisms and response codes, the SCRAM-SHA-256 server messages and the JSON
// error object of a refused OAuth token.
//
// Whatever the server sends, the SCRAM client either answers with a final message that carries
// the server's nonce and a proof, or refuses with a reason; it never accepts a server final
// message it did not compute; and an OAuth error is described in valid UTF-8 without control
// characters, or not at all. AutoAuth only ever picks a mechanism the server offered, and an
// enhanced status code is "" or three dotted numbers whose class is the reply's. A CAPA
// mechanism is one upper-case word; a response code is a word inside the refusal's brackets.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/Types.h"
#include "components/CodePage.h"

#include "common/Unicode.h"
#include "components/sasl/Sasl.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "pop/ReplyFields.h"
#include "smtp/Capabilities.h"

namespace zef::fuzz {
namespace {

void ReadEhloReply(std::string_view reply) {
    std::vector<Text> lines;
    for (size_t start = 0; start <= reply.size();) {
        const size_t end = std::min(reply.find('\n', start), reply.size());
        lines.push_back(AnsiToText(reply.substr(start, end - start)));
        start = end + 1;
    }
    smtp::EhloCapabilities server;
    server.Read(lines);
    for (const bool token : {false, true}) {
        const smtp::Mechanism chosen = smtp::ChooseMechanism(server, token, true);
        ZEF_FUZZ_CHECK(chosen == smtp::Mechanism::kNone || server.Offers(chosen));
    }
    Text capa;
    for (const Text& line : lines) {
        const Text code = smtp::EnhancedStatusOf(line);
        ZEF_FUZZ_CHECK(code.empty() ||
                       (code[0] == line[0] && code.size() >= 5 && code.size() <= 9));
        const Text responseCode = pop::ReadResponseCode(line);
        ZEF_FUZZ_CHECK(responseCode.empty() ||
                       (line.starts_with(u"-ERR [") &&
                        line.find(u"[" + responseCode + u"]") != Text::npos &&
                        responseCode.find(u' ') == Text::npos));
        capa += line + u"\r\n";
    }
    for (const Text& mechanism : pop::ReadSaslMechanisms(capa)) {
        ZEF_FUZZ_CHECK(!mechanism.empty() && mechanism.find_first_of(u" \r\n") == Text::npos);
        ZEF_FUZZ_CHECK(std::none_of(mechanism.begin(), mechanism.end(),
                                    [](char16_t c) { return c >= u'a' && c <= u'z'; }));
    }
}

void Run(FuzzInput& input) {
    ReadEhloReply(input.Piece(512));
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

ZEF_FUZZ_TARGET(zef::fuzz::Run)
