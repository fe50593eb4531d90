// One SASL login over POP3 AUTH (RFC 5034): the POP3 framing around the shared SASL client, that
// is the AUTH argument, and the base64 line answering each "+" continuation ("*" cancels).
#pragma once

#include <string>
#include <string_view>

#include "common/Types.h"
#include "components/Codec.h"
#include "components/sasl/SaslClient.h"

namespace zef::pop {

class SaslAuth {
  public:
    // xoauth2OneStep: XOAUTH2 with its response on the AUTH line. Otherwise XOAUTH2 waits for
    // the server's go-ahead (as large providers require), and the other mechanisms put their
    // first response on the AUTH line when that line stays within maxCommandLine octets: 255
    // for POP3 (RFC 5034); IMAP sets no limit when the server offers SASL-IR, and 0 when not.
    SaslAuth(sasl::Mechanism mechanism, sasl::Credentials credentials, Codec& codec,
             bool xoauth2OneStep, size_t maxCommandLine = kPop3MaxCommandLine);
    static constexpr size_t kPop3MaxCommandLine = 255;

    // The argument of the AUTH command: the mechanism, and the first response when it goes
    // on the same line.
    std::string AuthArgument();
    // The line answering a continuation; `challenge` is the base64 text after "+ ".
    std::string Answer(std::string_view challenge);
    const std::string& Detail() const { return client_.Detail(); }
    bool AcceptsSuccess() const { return client_.AcceptsSuccess(); }

  private:
    sasl::Client client_;
    Codec& codec_;
    bool xoauth2OneStep_;
    size_t maxCommandLine_;
    std::string pendingFirst_;  // the first response, waiting for the server's go-ahead
    bool firstSent_ = false;
};

}  // namespace zef::pop
