// The SMTP dialogue: reply lines, the positive-reply table, refusals and AUTH.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>

#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

bool AnyTraceContains(const SmtpHarness& h, const std::string& text) {
    return std::any_of(h.traces.begin(), h.traces.end(), [&](const std::string& trace) {
        return trace.find(text) != std::string::npos;
    });
}

TEST(SmtpDialogue, EveryRowOfTheTableWithoutAuth) {
    SmtpHarness h;
    h.Address(3);
    h.Open("Subject: x\r\n\r\n");
    EXPECT_EQ(h.Sent(), "");
    const std::pair<const char*, const char*> turns[] = {
        {"220 mx.example ESMTP", "HELO client.example\r\n"},
        {"250 hello", "MAIL FROM:<a@example.jp>\r\n"},
        {"250 ok", "RCPT TO:<r1@example.jp>\r\n"},
        {"250 ok", "RCPT TO:<r2@example.jp>\r\n"},
        {"251 will forward", "RCPT TO:<r3@example.jp>\r\n"},
        {"250 ok", "DATA\r\n"},
        {"354 go ahead", "X-TALVORN: zef smtpZef 0.1\r\nSubject: x\r\n\r\n"}};
    for (const auto& [reply, command] : turns) {
        h.Reply(reply);
        EXPECT_EQ(h.Sent(), command) << reply;
    }
    EXPECT_EQ(h.RunBody(), "\r\n.\r\n");
    h.Reply("250 queued");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    EXPECT_EQ(h.wire->closeCalls, 0);
    h.Reply("221 bye");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_EQ(h.CloseAndDone(), Outcome(0, ""));
    EXPECT_EQ(h.control->Caption(), u"DONE(COMPLETE)");
    EXPECT_EQ(h.traces,
              (std::vector<std::string>{
                  "220 mx.example ESMTP", ">>HELO client.example", "250 hello",
                  ">>MAIL FROM:<a@example.jp>", "250 ok", ">>RCPT TO:<r1@example.jp>", "250 ok",
                  ">>RCPT TO:<r2@example.jp>", "251 will forward", ">>RCPT TO:<r3@example.jp>",
                  "250 ok", ">>DATA ", "354 go ahead", ">>Sending Data ...",
                  ">>Sending Dot(EOF) ...", "250 queued", ">>QUIT ", "221 bye"}));
    EXPECT_EQ(h.captions, (std::vector<std::string>{"CONNECTING TO mx.example", "PROCESSING",
                                                    "DONE(COMPLETE)"}));
}

// How the received bytes are cut into reply lines, each case from the greeting on.
TEST(SmtpDialogue, ReplyLinesAreTakenWhenTheirLineFeedArrives) {
    SmtpHarness multi;
    multi.Address();
    multi.control->Auth(2);
    multi.Open();
    multi.Reply("220-mx.example");
    EXPECT_EQ(multi.Sent(), "");
    multi.Reply("220 ready");
    EXPECT_EQ(multi.Sent(), "EHLO client.example\r\n");
    // One command after the last line of a multi-line reply, and every line traced.
    multi.wire->Deliver(
        "250-mx.example\r\n250-AUTH LOGIN PLAIN\r\n250-SIZE 1000\r\n250 8BITMIME\r\n");
    EXPECT_EQ(multi.Sent(), "AUTH LOGIN\r\n");
    for (const char* line :
         {"250-mx.example", "250-AUTH LOGIN PLAIN", "250-SIZE 1000", "250 8BITMIME"}) {
        EXPECT_TRUE(multi.Traced(line)) << line;
    }

    SmtpHarness split;
    split.Address();
    split.Open();
    for (const char* piece : {"22", "0 rea", "dy\r"}) {
        split.wire->Deliver(piece);
    }
    EXPECT_EQ(split.Sent(), "");
    EXPECT_TRUE(split.traces.empty());
    split.wire->Deliver("\n");
    EXPECT_EQ(split.Sent(), "HELO client.example\r\n");
    EXPECT_EQ(split.traces.front(), "220 ready");

    SmtpHarness two;
    two.Address(2);
    two.Open();
    two.wire->Deliver("220 ready\r\n250 hello\r\n");
    EXPECT_EQ(two.Sent(), "HELO client.example\r\nMAIL FROM:<a@example.jp>\r\n");
    two.wire->Deliver("250 ok\r\n250 ok\r\n250 ok\r\n");
    EXPECT_EQ(two.Sent(), "RCPT TO:<r1@example.jp>\r\nRCPT TO:<r2@example.jp>\r\nDATA\r\n");

    SmtpHarness preliminary;
    preliminary.Address();
    preliminary.Open();
    preliminary.Reply("199 wait");
    EXPECT_EQ(preliminary.Sent(), "");
    preliminary.Reply("220 ready");
    EXPECT_EQ(preliminary.Sent(), "HELO client.example\r\n");
}

TEST(SmtpDialogue, RefusedReplySendsRsetThenClosesOnTheNextReply) {
    SmtpHarness h;
    h.Address(2);
    h.Open();
    h.Replies({"220 ready", "250 hello", "250 ok"});
    h.Sent();
    h.Reply("550 5.1.1 no such user");
    EXPECT_EQ(h.Sent(), "RSET\r\n");  // no recipient is skipped
    EXPECT_TRUE(h.Traced(">>RSET "));
    EXPECT_EQ(h.wire->closeCalls, 0);
    // The reply to RSET closes whatever it says; lines after it stay unread.
    h.wire->Deliver("100 hm\r\n250 trailing\r\n");
    EXPECT_EQ(h.wire->closeCalls, 1);
    EXPECT_FALSE(h.Traced("250 trailing"));
    EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "550 5.1.1 no such user"));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");

    SmtpHarness ehlo;  // a refused EHLO has no fallback to HELO
    ehlo.Address();
    ehlo.control->Auth(3);
    ehlo.Open();
    ehlo.Reply("220 ready");
    ehlo.Sent();
    ehlo.Reply("502 command not implemented");
    EXPECT_EQ(ehlo.Sent(), "RSET\r\n");
    ehlo.Reply("250 ok");
    EXPECT_EQ(ehlo.CloseAndDone(), Outcome(-1, "502 command not implemented"));
}

TEST(SmtpDialogue, NegativeReplyToQuitKeepsSuccess) {
    SmtpHarness h;
    h.Address();
    h.RunToData("");
    h.RunBody();
    h.Replies({"250 queued", "500 what"});
    EXPECT_EQ(h.CloseAndDone().first, 0);
}

// A positive line while the body is still going out cannot be the reply to the dot: taking
// it as one sent QUIT and reported success for a message whose body never left.
TEST(SmtpDialogue, PositiveReplyBeforeTheDotIsNotTakenAsItsReply) {
    SmtpHarness h;
    h.Address();
    h.plainPieces = {"body"};
    h.RunToData("");
    h.Reply("250 too early");
    EXPECT_EQ(h.Sent(), "");
    EXPECT_TRUE(h.Traced("250 too early"));
    EXPECT_EQ(h.RunBody(), "body\r\n.\r\n");
    h.Reply("250 queued");
    EXPECT_EQ(h.Sent(), "QUIT\r\n");
    h.Reply("221 bye");
    EXPECT_EQ(h.CloseAndDone().first, 0);

    SmtpHarness early;
    early.Address();
    early.RunToData("");
    early.Reply("250 too early");
    EXPECT_EQ(early.CloseAndDone(), Outcome(-2, "UNEXPECTED DISCONNECT"));
}

TEST(SmtpDialogue, AngleBracketTypes) {
    for (const auto& [type, mail] :
         {std::pair{1, "MAIL FROM:a@example.jp\r\nRCPT TO:r1@example.jp\r\n"},
          std::pair{2, "MAIL FROM: a@example.jp\r\nRCPT TO: r1@example.jp\r\n"},
          std::pair{0, "MAIL FROM:<a@example.jp>\r\nRCPT TO:<r1@example.jp>\r\n"},
          std::pair{7, "MAIL FROM:<a@example.jp>\r\nRCPT TO:<r1@example.jp>\r\n"}}) {
        SmtpHarness h;
        h.Address();
        h.control->AngleBracketType(type);
        h.Open();
        h.Reply("220 ready");
        h.Sent();
        h.Replies({"250 hello", "250 ok"});
        EXPECT_EQ(h.Sent(), mail) << type;
    }
}

TEST(SmtpDialogue, BareLineFeedCostsTheLastCharacterAndEmptyLinesCount) {
    SmtpHarness h;
    h.Address();
    h.Open();
    h.wire->Deliver("220 ready\n");
    EXPECT_EQ(h.traces.front(), "220 read");
    EXPECT_EQ(h.Sent(), "HELO client.example\r\n");
    h.wire->Deliver("\n");  // an empty line: its first character is not 1, 4 or 5
    EXPECT_EQ(h.traces.back(), ">>MAIL FROM:<a@example.jp>");
}

TEST(SmtpDialogue, ReceivedBytesAreReadAsHostText) {
    SmtpHarness h;
    h.Address();
    h.Open();
    h.wire->Deliver("220 \xE3\x81\x93");  // a UTF-8 character split between two arrivals
    h.wire->Deliver("\xE3\x82\x93 ready\r\n");
    EXPECT_EQ(h.traces.front(), "220 \xE3\x81\x93\xE3\x82\x93 ready");
}

TEST(SmtpDialogue, OverlongReplyLineEndsTheSend) {
    SmtpHarness h;
    h.Address();
    h.Open();
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
    EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "REPLY LINE TOO LONG"));

    SmtpHarness one;  // the whole line inside one arrival
    one.Address();
    one.Open();
    one.wire->Deliver("220 " + std::string(1 << 20, 'x') + "\r\n");
    EXPECT_EQ(one.wire->closeCalls, 1);
    EXPECT_EQ(one.Sent(), "");
    EXPECT_EQ(one.CloseAndDone(), Outcome(-1, "REPLY LINE TOO LONG"));
}

TEST(SmtpDialogue, HeaderOverflowAtDataEndsTheSendCleanly) {
    SmtpHarness h;
    h.Address();
    h.RunToData("X-Long: " + std::string(40000, 'x') + "\r\n.dot\r\n\r\n");
    EXPECT_EQ(h.wire->closeCalls, 1);
    h.wire->RaiseSendComplete();  // no body turn after the failure
    EXPECT_EQ(h.Sent(), "");
    EXPECT_EQ(h.CloseAndDone(), Outcome(6, "Overflow"));
    EXPECT_EQ(h.control->Caption(), u"DONE(FAIL)");
}

// --- AUTH, with the marking codec: [B64:...] shows what was encoded ---

void ToAuthReply(SmtpHarness& h, long mechanism, const Text& user, const Text& pass) {
    h.Address();
    h.control->Auth(mechanism);
    h.control->User(user);
    h.control->Pass(pass);
    h.Open();
    h.Reply("220 ready");
    EXPECT_EQ(h.Sent(), "EHLO client.example\r\n");
    h.Reply("250 AUTH CRAM-MD5 LOGIN PLAIN");
}

TEST(SmtpAuth, LoginAndPlainExchangesHideThePassword) {
    SmtpHarness login;
    ToAuthReply(login, 2, u"tim", u"s3cret-pw");
    EXPECT_EQ(login.Sent(), "AUTH LOGIN\r\n");
    login.Reply("334 VXNlcm5hbWU6");
    EXPECT_EQ(login.Sent(), "[B64:tim]\r\n");
    login.Reply("334 UGFzc3dvcmQ6");
    EXPECT_EQ(login.Sent(), "[B64:s3cret-pw]\r\n");
    EXPECT_TRUE(login.Traced(">>AUTH LOGIN"));
    EXPECT_TRUE(login.Traced(">>Send AuthData Pass=***"));

    SmtpHarness plain;  // one line of NUL user NUL password
    ToAuthReply(plain, 3, u"tim", u"s3cret-pw");
    EXPECT_EQ(plain.Sent(), "AUTH PLAIN\r\n");
    plain.Reply("334 ");
    EXPECT_EQ(plain.Sent(), std::string("[B64:\0tim\0s3cret-pw]\r\n", 22));

    for (SmtpHarness* h : {&login, &plain}) {
        h->Reply("235 ok");
        EXPECT_EQ(h->Sent(), "MAIL FROM:<a@example.jp>\r\n");
        EXPECT_TRUE(h->Traced(">>Send AuthData User=tim"));
        EXPECT_FALSE(AnyTraceContains(*h, "s3cret"));
    }
}

TEST(SmtpAuth, RefusedCredentialsEndWithTheReply) {
    SmtpHarness h;
    ToAuthReply(h, 3, u"tim", u"wrong");
    h.Reply("334 ");
    h.Sent();
    h.Reply("535 5.7.8 authentication failed");
    EXPECT_EQ(h.Sent(), "RSET\r\n");
    h.Reply("250 ok");
    EXPECT_EQ(h.CloseAndDone(), Outcome(-1, "535 5.7.8 authentication failed"));
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
    // Keys over 64 bytes are hashed first: OpenSSL's HMAC does the same, independently.
    for (const std::string& password : {std::string("tanstaaftanstaaf"), std::string(64, 'k'),
                                        std::string(65, 'k'), std::string(200, 'z')}) {
        SmtpHarness h;
        ToAuthReply(h, 1, u"tim", T(password));
        EXPECT_EQ(h.Sent(), "AUTH CRAM-MD5\r\n");
        const std::string challenge = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
        h.Reply("334 " + challenge);
        // The marking codec "decodes" to a visible text; the digest must be over those bytes.
        EXPECT_EQ(h.Sent(),
                  "[B64:tim " + HmacMd5Hex(password, "[DECODED:" + challenge + "]") + "]\r\n")
            << password.size();
        EXPECT_TRUE(h.Traced(">>Send AuthData User=tim"));
        h.Reply("235 ok");
        EXPECT_EQ(h.Sent(), "MAIL FROM:<a@example.jp>\r\n");
    }
}

}  // namespace
}  // namespace zef::testing
