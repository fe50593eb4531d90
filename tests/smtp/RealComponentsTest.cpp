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
    h.Open();
    h.Replies({"220 ready", "250 hello", "250 ok"});
    EXPECT_EQ(h.Sent(), "HELO host-" + std::string(80, 'h') +
                            ".example\r\n"
                            "MAIL FROM:<" +
                            local +
                            "@example.jp>\r\n"
                            "RCPT TO:<" +
                            local + "@example.net>\r\n");
}

void ToAuthChallenge(SmtpHarness& h, long mechanism) {
    h.Address();
    h.control->Auth(mechanism);
    h.control->User(u"tim");
    h.control->Pass(u"tanstaaftanstaaf");
    h.Open();
    h.Replies({"220 ready", "250 AUTH CRAM-MD5 LOGIN PLAIN"});
    h.Sent();
}

TEST(SmtpRealComponents, CramMd5AnswersTheRfc2195Example) {
    SmtpHarness h(kReal);
    ToAuthChallenge(h, 1);
    h.Reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    EXPECT_EQ(h.Sent(), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n");
    EXPECT_TRUE(h.Traced(">>Send AuthData User=tim"));
}

TEST(SmtpRealComponents, PlainAndLoginAnswers) {
    SmtpHarness plain(kReal);
    ToAuthChallenge(plain, 3);
    plain.Reply("334 ");
    EXPECT_EQ(plain.Sent(), "AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n");

    SmtpHarness login(kReal);
    ToAuthChallenge(login, 2);
    login.Reply("334 VXNlcm5hbWU6");
    EXPECT_EQ(login.Sent(), "dGlt\r\n");
    login.Reply("334 UGFzc3dvcmQ6");
    EXPECT_EQ(login.Sent(), "dGFuc3RhYWZ0YW5zdGFhZg==\r\n");

    for (const SmtpHarness* h : {&plain, &login}) {
        for (const std::string& trace : h->traces) {
            EXPECT_EQ(trace.find("tanstaaf"), std::string::npos) << trace;
            EXPECT_EQ(trace.find("dGFuc3RhYWZ0YW5zdGFhZg"), std::string::npos) << trace;
            EXPECT_EQ(trace.find("AHRpbQB0YW5zdGFhZnRhbnN0YWFm"), std::string::npos) << trace;
        }
    }
}

// The application's side of a multipart message with one leaf part.
void OnePart(SmtpHarness& h, const std::string& format, const std::string& type,
             const std::string& encoding, std::vector<Bytes> pieces) {
    h.Address();
    h.control->MimeMultipart(u"mixed");
    auto parts = std::make_shared<int>(0);
    h.control->MimeHead = [=](long, long, Text& f, Text& t, Text&, Text&, Text& e, Text&) {
        if ((*parts)++ == 0) {
            f = T(format);
            t = T(type);
            e = T(encoding);
        }
    };
    auto queue = std::make_shared<std::vector<Bytes>>(std::move(pieces));
    h.control->MimeBody = [queue](long, long, Bytes& data) {
        if (!queue->empty()) {
            data = queue->front();
            queue->erase(queue->begin());
        }
    };
}

// The part's data: from the empty line after its header to the next delimiter.
std::string PartData(const std::string& body) {
    const size_t start = body.find("\r\n\r\n") + 4;
    return body.substr(start, body.find("\r\n--", start) - start);
}

TEST(SmtpRealComponents, Base64PieceOf58BytesGivesLinesOf76And4) {
    SmtpHarness h(kReal);
    Bytes piece;
    for (int i = 0; i < 58; ++i) {
        piece += static_cast<char>(i);
    }
    OnePart(h, "Binary", "application/octet-stream", "base64", {piece});
    h.RunToData("Subject: x\r\n");
    EXPECT_EQ(PartData(h.RunBody()),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n"
              "OQ==\r\n");
}

TEST(SmtpRealComponents, TextPartBecomesIso2022JpWithTheChosenEscapes) {
    SmtpHarness h(kReal);
    OnePart(h, "Unicode", "text/plain", "7bit",
            {TextToUtf16Le(T("日本語")), TextToUtf16Le(T("です"))});
    h.RunToData("Subject: x\r\n");
    EXPECT_EQ(PartData(h.RunBody()), "\x1b$BF|K\\8l\x1b(J\x1b$B$G$9\x1b(J");

    SmtpHarness other(kReal);
    other.control->KanjiIn(u"$@");
    other.control->KanjiOut(u"(B");
    OnePart(other, "Unicode", "text/plain", "7bit", {TextToUtf16Le(T("日本"))});
    other.RunToData("Subject: x\r\n");
    EXPECT_EQ(PartData(other.RunBody()), "\x1b$@F|K\\\x1b(B");
}

TEST(SmtpRealComponents, JapaneseSubjectGoesOutAsEncodedWords) {
    SmtpHarness h(kReal);
    h.Address();
    const std::string sent = h.RunToData("Subject: 日本語の件名\r\nTo: b@example.jp\r\n\r\n");
    const size_t subject = sent.find("Subject: ");
    ASSERT_NE(subject, std::string::npos) << sent;
    const size_t end = sent.find("\r\nTo: ", subject);
    Bytes field = sent.substr(subject, end - subject);
    for (unsigned char c : field) {
        EXPECT_LT(c, 0x80) << field;  // nothing but ASCII on the wire
    }
    EXPECT_NE(field.find("=?ISO-2022-JP?B?"), std::string::npos) << field;
    const std::unique_ptr<Codec> codec = MakeCodec();
    EXPECT_EQ(codec->DecodeHeader(field), "Subject: 日本語の件名");
}

TEST(SmtpRealComponents, QuotedPrintablePieceAsTheCodecWritesIt) {
    SmtpHarness h(kReal);
    OnePart(h, "Binary", "text/plain", "quoted-printable", {"caf\xC3\xA9 = ok"});
    h.RunToData("Subject: x\r\n");
    // The codec ends a piece without a line break with a soft break, so pieces join up.
    EXPECT_EQ(PartData(h.RunBody()), "caf=C3=A9 =3D ok=\r\n");
}

}  // namespace
}  // namespace zef::testing
