// A message sent with smtpZef through the SMTP server, delivered into a Dovecot maildir, and
// read back with popZef: what the receiving application gets is what the sending one gave.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <memory>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "smtp/smtpZef.h"
#include "tests/integration/support/IntegrationEnv.h"
#include "tests/integration/support/MailboxReader.h"
#include "tests/integration/support/MimeScript.h"
#include "tests/integration/support/SmtpSession.h"

namespace zef::integration {
namespace {

using namespace std::chrono_literals;

using RoundTrip = WithServers;

TEST_F(RoundTrip, MultipartSentBySmtpZefReadsBackThroughPopZef) {
    const std::string subject = "往復テスト：日本語の件名とＡＳＣＩＩ以外の文字";
    const std::string text =
        "送信した本文が、そのまま受信側に届くことを確かめます。\r\n"
        "二行目：ASCII text and 日本語.\r\n";
    const std::string html = "<html><body><p>HTML 版の本文です。</p></body></html>\r\n";
    const Bytes binary = RandomBytes(300 * 1024 + 7, 4711);
    const Bytes latin =
        "Gr\xfc\xdf"
        "e aus K\xf6ln, 100% = sure.\r\n";

    SmtpSession session(io_, env_);
    smtpZef& smtp = *session.smtp;
    smtp.Auth(3);
    smtp.MimeMultipart(u"mixed");
    MimeScript script;
    script.plan[{1, 1}] = {"", "multipart/alternative", "", "", "", "", {}};
    script.plan[{2, 1}] = {"Unicode", "text/plain",      "", "iso-2022-jp", "7bit",
                           "",        TextPieces({text})};
    script.plan[{2, 2}] = {"Unicode", "text/html",       "", "iso-2022-jp", "7bit",
                           "",        TextPieces({html})};
    script.plan[{1, 2}] = {"BINARY",           "text/plain", "",     "iso-8859-1",
                           "quoted-printable", "",           {latin}};
    script.plan[{1, 3}] = {"BINARY", "application/octet-stream",  "data.bin", "", "base64",
                           "",       Slices(binary, kBase64Piece)};
    script.Attach(smtp);
    session.Send(
        u"127.0.0.1",
        Utf8ToText("From: sender@zef-test.localhost\r\nTo: roundtrip@zef-test.localhost\r\n"
                   "Subject: " +
                   subject + "\r\n"));
    ASSERT_EQ(session.doneCode, 0) << session.trace;

    MailboxReader reader(io_, env_);
    reader.wantText = [](const PartSeen& part) {
        return part.contentType.starts_with("text/h") || Lower(part.charset) == "iso-2022-jp";
    };
    ASSERT_TRUE(reader.Read("roundtrip", env_.pop3Pass, false, 0)) << reader.trace;
    EXPECT_EQ(reader.doneCode, 0) << reader.doneMessage;
    ASSERT_EQ(reader.messages.size(), 1u);
    const MessageSeen& message = reader.messages.begin()->second;
    EXPECT_TRUE(reader.faults.empty()) << ::testing::PrintToString(reader.faults);

    std::string subjectSeen = "(none)";
    for (const auto& [name, value] : message.headers) {
        if (Lower(name) == "subject") {
            subjectSeen = value;
        }
    }
    EXPECT_EQ(subjectSeen, subject);
    EXPECT_EQ(message.opens, 2);
    ASSERT_EQ(message.parts.size(), 4u);
    EXPECT_TRUE(EqualUpToFinalLineEnd(Utf8(Utf16LeToText(message.parts[0].data)), text));
    EXPECT_TRUE(EqualUpToFinalLineEnd(Utf8(Utf16LeToText(message.parts[1].data)), html));
    EXPECT_FALSE(message.parts[2].isText);
    EXPECT_TRUE(message.parts[2].data == latin || message.parts[2].data == latin + "\r\n")
        << message.parts[2].data;
    EXPECT_EQ(message.parts[3].data.size(), binary.size());
    EXPECT_TRUE(message.parts[3].data == binary) << "the attachment changed on its way";
    EXPECT_EQ(message.parts[3].contentType, "application/octet-stream");
    EXPECT_TRUE(
        RunChecker(env_, {"mailbox", env_.pop3Port, "roundtrip", env_.pop3Pass})["ids"].empty())
        << "the message read was not deleted";
}

}  // namespace
}  // namespace zef::integration
