// The SMTP dialogue: reply lines, the positive-reply table, refusals and AUTH.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

void Address(SmtpHarness& h, int recipients = 1) {
    h.control->FromAddr(u"a@example.jp");
    std::vector<Text> to;
    to.reserve(static_cast<size_t>(recipients));
    for (int i = 0; i < recipients; ++i) {
        to.push_back(T("r" + std::to_string(i + 1) + "@example.jp"));
    }
    h.control->ToAddr(StringArray::OneBased(to));
}

bool AnyTraceContains(const SmtpHarness& h, const std::string& text) {
    for (const std::string& trace : h.traces) {
        if (trace.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(SmtpDialogue, EveryRowOfTheTableWithoutAuth) {
    SmtpHarness h;
    Address(h, 3);
    h.Send("Subject: x\r\n\r\n");
    h.wire->RaiseConnected();
    EXPECT_EQ(h.Sent(), "");
    h.Reply("220 mx.example ESMTP");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
    h.Reply("250 hello");
    EXPECT_EQ(h.Sent(), "MAIL FROM:<a@example.jp>\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.Sent(), "RCPT TO:<r1@example.jp>\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.Sent(), "RCPT TO:<r2@example.jp>\r\n");
    h.Reply("251 will forward");
    EXPECT_EQ(h.Sent(), "RCPT TO:<r3@example.jp>\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.Sent(), "DATA\r\n");
    h.Reply("354 go ahead");
    EXPECT_EQ(h.Sent(), "X-TALVORN: zef smtpZef 0.1\r\nSubject: x\r\n\r\n");
    EXPECT_EQ(h.RunBody(), "\r\n.\r\n");
    h.Reply("250 queued");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.Reply("221 bye");
    EXPECT_EQ(h.wire->closeCalls, 1);
    h.wire->RaiseClosed();
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0], std::make_pair(0L, std::string()));
    EXPECT_EQ(h.control->Caption(), u"DONE(COMPLETE)");

    const std::vector<std::string> expected = {"220 mx.example ESMTP",
                                               ">>HELO client.example",
                                               "250 hello",
                                               ">>MAIL FROM:<a@example.jp>",
                                               "250 ok",
                                               ">>RCPT TO:<r1@example.jp>",
                                               "250 ok",
                                               ">>RCPT TO:<r2@example.jp>",
                                               "251 will forward",
                                               ">>RCPT TO:<r3@example.jp>",
                                               "250 ok",
                                               ">>DATA ",
                                               "354 go ahead",
                                               ">>Sending Data ...",
                                               ">>Sending Dot(EOF) ...",
                                               "250 queued",
                                               ">>QUIT ",
                                               "221 bye"};
    EXPECT_EQ(h.traces, expected);
    // The captions a send shows, in order.
    EXPECT_EQ(h.captions, (std::vector<std::string>{"CONNECTING TO mx.example", "PROCESSING",
                                                    "DONE(COMPLETE)"}));
}

TEST(SmtpDialogue, MultiLineReplyTriggersOneCommandAfterItsLastLine) {
    SmtpHarness h;
    Address(h);
    h.control->Auth(2);
    h.Send("");
    h.wire->RaiseConnected();
    h.Reply("220-mx.example");
    EXPECT_EQ(h.Sent(), "");
    h.Reply("220 ready");
    EXPECT_EQ(h.Sent(), "EHLO client.example\r\n");
    h.wire->Deliver("250-mx.example\r\n250-AUTH LOGIN PLAIN\r\n250-SIZE 1000\r\n250 8BITMIME\r\n");
    EXPECT_EQ(h.Sent(), "AUTH LOGIN\r\n");
    for (const char* line :
         {"250-mx.example", "250-AUTH LOGIN PLAIN", "250-SIZE 1000", "250 8BITMIME"}) {
        EXPECT_TRUE(h.Traced(line)) << line;
    }
}

TEST(SmtpDialogue, SplitReplyIsHandledWhenItsLineFeedArrives) {
    SmtpHarness h;
    Address(h);
    h.Send("");
    h.wire->RaiseConnected();
    h.wire->Deliver("22");
    h.wire->Deliver("0 rea");
    h.wire->Deliver("dy\r");
    EXPECT_EQ(h.Sent(), "");
    EXPECT_TRUE(h.traces.empty());
    h.wire->Deliver("\n");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
    EXPECT_EQ(h.traces.front(), "220 ready");
}

TEST(SmtpDialogue, TwoRepliesInOneArrivalAreBothHandledInOrder) {
    SmtpHarness h;
    Address(h, 2);
    h.Send("");
    h.wire->RaiseConnected();
    h.wire->Deliver("220 ready\r\n250 hello\r\n");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\nMAIL FROM:<a@example.jp>\r\n");
    h.wire->Deliver("250 ok\r\n250 ok\r\n250 ok\r\n");
    EXPECT_EQ(h.Sent(), "RCPT TO:<r1@example.jp>\r\nRCPT TO:<r2@example.jp>\r\nDATA\r\n");
}

TEST(SmtpDialogue, PreliminaryReplyIsIgnored) {
    SmtpHarness h;
    Address(h);
    h.Send("");
    h.wire->RaiseConnected();
    h.Reply("199 wait");
    EXPECT_EQ(h.Sent(), "");
    h.Reply("220 ready");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
}

TEST(SmtpDialogue, RefusedReplySendsRsetThenClosesOnTheNextReply) {
    SmtpHarness h;
    Address(h, 2);
    h.Send("");
    h.wire->RaiseConnected();
    h.Reply("220 ready");
    h.Reply("250 hello");
    h.Reply("250 ok");
    h.Sent();
    h.Reply("550 5.1.1 no such user");
    EXPECT_EQ(h.Sent(), "RSET\r\n");  // no recipient is skipped
    EXPECT_TRUE(h.Traced(">>RSET "));
    EXPECT_EQ(h.wire->closeCalls, 0);
    // The reply to RSET closes whatever it says; lines after it stay unread.
    h.wire->Deliver("100 hm\r\n250 trailing\r\n");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_FALSE(h.Traced("250 trailing"));
    h.wire->RaiseClosed();
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0], std::make_pair(-1L, std::string("550 5.1.1 no such user")));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

TEST(SmtpDialogue, RefusedEhloHasNoFallbackToHelo) {
    SmtpHarness h;
    Address(h);
    h.control->Auth(3);
    h.Send("");
    h.wire->RaiseConnected();
    h.Reply("220 ready");
    h.Sent();
    h.Reply("502 command not implemented");
    EXPECT_EQ(h.Sent(), "RSET\r\n");
    h.Reply("250 ok");
    h.wire->RaiseClosed();
    EXPECT_EQ(h.LastDoneMessage(), "502 command not implemented");
}

TEST(SmtpDialogue, NegativeReplyToQuitKeepsSuccess) {
    SmtpHarness h;
    Address(h);
    h.RunToData("");
    h.RunBody();
    h.Reply("250 queued");
    h.Reply("500 what");
    h.wire->RaiseClosed();
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0].first, 0);
}

// A positive line while the body is still going out cannot be the reply to the dot: taking
// it as one sent QUIT and reported success for a message whose body never left (found by
// fuzzing the replies).
TEST(SmtpDialogue, PositiveReplyBeforeTheDotIsNotTakenAsItsReply) {
    SmtpHarness h;
    Address(h);
    h.plainPieces = {"body"};
    h.RunToData("");
    h.Reply("250 too early");
    EXPECT_EQ(h.Sent(), "");
    EXPECT_TRUE(h.Traced("250 too early"));
    EXPECT_EQ(h.RunBody(), "body\r\n.\r\n");
    h.Reply("250 queued");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.Reply("221 bye");
    h.wire->RaiseClosed();
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0].first, 0);

    SmtpHarness early;
    Address(early);
    early.RunToData("");
    early.Reply("250 too early");
    early.wire->RaiseClosed();
    ASSERT_EQ(early.dones.size(), 1U);
    EXPECT_EQ(early.dones[0], std::make_pair(-2L, std::string("UNEXPECTED DISCONNECT")));
}

TEST(SmtpDialogue, AngleBracketTypes) {
    struct Case {
        int type;
        const char* mail;
    };
    for (Case c : {Case{1, "MAIL FROM:a@example.jp\r\nRCPT TO:r1@example.jp\r\n"},
                   Case{2, "MAIL FROM: a@example.jp\r\nRCPT TO: r1@example.jp\r\n"},
                   Case{0, "MAIL FROM:<a@example.jp>\r\nRCPT TO:<r1@example.jp>\r\n"},
                   Case{7, "MAIL FROM:<a@example.jp>\r\nRCPT TO:<r1@example.jp>\r\n"}}) {
        SmtpHarness h;
        Address(h);
        h.control->AngleBracketType(c.type);
        h.Send("");
        h.wire->RaiseConnected();
        h.Reply("220 ready");
        h.Sent();
        h.Reply("250 hello");
        h.Reply("250 ok");
        EXPECT_EQ(h.Sent(), c.mail) << c.type;
    }
}

TEST(SmtpDialogue, BareLineFeedCostsTheLastCharacterAndEmptyLinesCount) {
    SmtpHarness h;
    Address(h);
    h.Send("");
    h.wire->RaiseConnected();
    h.wire->Deliver("220 ready\n");
    EXPECT_EQ(h.traces.front(), "220 read");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
    h.wire->Deliver("\n");  // an empty line: its first character is not 1, 4 or 5
    EXPECT_EQ(h.traces.back(), ">>MAIL FROM:<a@example.jp>");
}

TEST(SmtpDialogue, ReceivedBytesAreReadAsHostText) {
    SmtpHarness h;
    Address(h);
    h.Send("");
    h.wire->RaiseConnected();
    h.wire->Deliver("220 \xE3\x81\x93");  // a UTF-8 character split between two arrivals
    h.wire->Deliver("\xE3\x82\x93 ready\r\n");
    EXPECT_EQ(h.traces.front(), "220 \xE3\x81\x93\xE3\x82\x93 ready");
}

TEST(SmtpDialogue, OverlongReplyLineEndsTheSend) {
    SmtpHarness h;
    Address(h);
    h.Send("");
    h.wire->RaiseConnected();
    h.Reply("220 ready");
    const std::string chunk(size_t{64} * 1024, 'x');
    for (int i = 0; i < 16; ++i) {
        h.wire->Deliver(chunk);
    }
    EXPECT_EQ(h.wire->closeCalls, 0);  // exactly 1 MiB is still allowed
    h.wire->Deliver("y");
    EXPECT_EQ(h.wire->closeCalls, 1);
    h.wire->Deliver(chunk + "\r\n250 late\r\n");  // ignored from now on
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_FALSE(h.Traced("250 late"));
    h.wire->RaiseClosed();
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0], std::make_pair(-1L, std::string("REPLY LINE TOO LONG")));
}

TEST(SmtpDialogue, OverlongLineInsideOneArrivalEndsTheSend) {
    SmtpHarness h;
    Address(h);
    h.Send("");
    h.wire->RaiseConnected();
    h.wire->Deliver("220 " + std::string(1 << 20, 'x') + "\r\n");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.Sent(), "");
    h.wire->RaiseClosed();
    EXPECT_EQ(h.LastDoneMessage(), "REPLY LINE TOO LONG");
}

TEST(SmtpDialogue, HeaderOverflowAtDataEndsTheSendCleanly) {
    SmtpHarness h;
    Address(h);
    const std::string header = "X-Long: " + std::string(40000, 'x') + "\r\n.dot\r\n\r\n";
    h.RunToData(header);
    EXPECT_EQ(h.wire->closeCalls, 1);
    h.wire->RaiseSendComplete();  // no body turn after the failure
    EXPECT_EQ(h.Sent(), "");
    h.wire->RaiseClosed();
    ASSERT_EQ(h.dones.size(), 1U);
    EXPECT_EQ(h.dones[0], std::make_pair(6L, std::string("Overflow")));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

// --- AUTH, with the marking codec: [B64:...] shows what was encoded ---

void ToAuthReply(SmtpHarness& h, long mechanism, const Text& user, const Text& pass) {
    Address(h);
    h.control->Auth(mechanism);
    h.control->User(user);
    h.control->Pass(pass);
    h.Send("");
    h.wire->RaiseConnected();
    h.Reply("220 ready");
    EXPECT_EQ(h.Sent(), "EHLO client.example\r\n");
    h.Reply("250 AUTH CRAM-MD5 LOGIN PLAIN");
}

TEST(SmtpAuth, LoginExchange) {
    SmtpHarness h;
    ToAuthReply(h, 2, u"tim", u"s3cret-pw");
    EXPECT_EQ(h.Sent(), "AUTH LOGIN\r\n");
    h.Reply("334 VXNlcm5hbWU6");
    EXPECT_EQ(h.Sent(), "[B64:tim]\r\n");
    h.Reply("334 UGFzc3dvcmQ6");
    EXPECT_EQ(h.Sent(), "[B64:s3cret-pw]\r\n");
    h.Reply("235 ok");
    EXPECT_EQ(h.Sent(), "MAIL FROM:<a@example.jp>\r\n");
    EXPECT_TRUE(h.Traced(">>AUTH LOGIN"));
    EXPECT_TRUE(h.Traced(">>Send AuthData User=tim"));
    EXPECT_TRUE(h.Traced(">>Send AuthData Pass=***"));
    EXPECT_FALSE(AnyTraceContains(h, "s3cret"));
}

TEST(SmtpAuth, PlainSendsOneLineOfNulUserNulPassword) {
    SmtpHarness h;
    ToAuthReply(h, 3, u"tim", u"s3cret-pw");
    EXPECT_EQ(h.Sent(), "AUTH PLAIN\r\n");
    h.Reply("334 ");
    EXPECT_EQ(h.Sent(), std::string("[B64:\0tim\0s3cret-pw]\r\n", 22));
    h.Reply("235 ok");
    EXPECT_EQ(h.Sent(), "MAIL FROM:<a@example.jp>\r\n");
    EXPECT_TRUE(h.Traced(">>Send AuthData User=tim"));
    EXPECT_FALSE(AnyTraceContains(h, "s3cret"));
}

TEST(SmtpAuth, RefusedCredentialsEndWithTheReply) {
    SmtpHarness h;
    ToAuthReply(h, 3, u"tim", u"wrong");
    h.Reply("334 ");
    h.Sent();
    h.Reply("535 5.7.8 authentication failed");
    EXPECT_EQ(h.Sent(), "RSET\r\n");
    h.Reply("250 ok");
    h.wire->RaiseClosed();
    EXPECT_EQ(h.dones.at(0), std::make_pair(-1L, std::string("535 5.7.8 authentication failed")));
}

std::string HmacMd5Hex(const std::string& key, const std::string& message) {
    unsigned char digest[16];
    unsigned int length = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length);
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

TEST(SmtpAuth, CramMd5AnswersWithHmacOfTheDecodedChallenge) {
    // Keys of 64 bytes and below are used as they are, longer ones are hashed first: OpenSSL's
    // HMAC does the same, independently.
    for (const std::string& password : {std::string("tanstaaftanstaaf"), std::string(64, 'k'),
                                        std::string(65, 'k'), std::string(200, 'z')}) {
        SmtpHarness h;
        ToAuthReply(h, 1, u"tim", T(password));
        EXPECT_EQ(h.Sent(), "AUTH CRAM-MD5\r\n");
        h.Reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
        // The marking codec "decodes" to a visible text; the digest must be over those bytes.
        const std::string challenge =
            "[DECODED:PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+]";
        EXPECT_EQ(h.Sent(), "[B64:tim " + HmacMd5Hex(password, challenge) + "]\r\n")
            << password.size();
        EXPECT_TRUE(h.Traced(">>Send AuthData User=tim"));
        h.Reply("235 ok");
        EXPECT_EQ(h.Sent(), "MAIL FROM:<a@example.jp>\r\n");
    }
}

}  // namespace
}  // namespace zef::testing
