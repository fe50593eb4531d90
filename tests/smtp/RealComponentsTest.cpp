// The bytes that matter, made by the real converter, codec and MD5: AUTH answers, the
// CRAM-MD5 vector of RFC 2195, base64 lines, ISO-2022-JP text and encoded-word headers.
#include <gtest/gtest.h>

#include "common/Unicode.h"
#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

constexpr HarnessOptions kReal{.realGlyph = true, .realCodec = true};

TEST(SmtpRealComponents, LongCommandLinesPassTheHeaderEncoderUnchanged) {
    SmtpHarness h(kReal);
    const std::string local(90, 'a');
    h.control->FromAddr(T("Sender Name <" + local + "@example.jp>"));
    h.control->ToAddr(T("Recipient Name <" + local + "@example.net>"));
    h.control->Hostname(T("host-" + std::string(80, 'h') + ".example"));
    h.Send("");
    h.wire->RaiseConnected();
    h.Reply("220 ready");
    h.Reply("250 hello");
    h.Reply("250 ok");
    EXPECT_EQ(h.Sent(), "HELO host-" + std::string(80, 'h') +
                            ".example\r\n"
                            "MAIL FROM:<" +
                            local +
                            "@example.jp>\r\n"
                            "RCPT TO:<" +
                            local + "@example.net>\r\n");
}

}  // namespace
}  // namespace zef::testing
