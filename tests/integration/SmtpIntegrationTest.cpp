// smtpZef against a real SMTP server (aiosmtpd) that checks AUTH and saves what it receives;
// Python's email package reads the saved message back.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <memory>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "smtp/smtpZef.h"
#include "tests/integration/support/IntegrationEnv.h"
#include "tests/integration/support/MimeScript.h"
#include "tests/integration/support/SmtpSession.h"

namespace zef::integration {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

Text T(std::string_view utf8) {
    return Utf8ToText(utf8);
}

class SmtpIntegration : public WithServers {
  protected:
    void SetUp() override {
        WithServers::SetUp();
        if (IsSkipped()) {
            return;
        }
        session_ = std::make_unique<SmtpSession>(io_, env_);
        smtp_ = session_->smtp.get();
        smtp_->ToAddr(
            StringArray::OneBased({u"first@zef-test.localhost", u"second@zef-test.localhost"}));
    }

    void Send(const std::string& header) { session_->Send(u"127.0.0.1", T(header)); }

    json LastReceived() const {
        return RunChecker(env_, {"describe", session_->LastStem() + ".eml"});
    }

    static std::string HeaderValue(const json& message, const std::string& name) {
        for (const auto& field : message["headers"]) {
            if (field["name"] == name) {
                return field["value"];
            }
        }
        return "(no " + name + " field)";
    }

    std::unique_ptr<SmtpSession> session_;
    smtpZef* smtp_ = nullptr;
};

// --- AUTH, checked by the server, with each mechanism -----------------------------------------

struct Mechanism {
    long auth;
    const char* name;
};

class SmtpAuth : public SmtpIntegration, public ::testing::WithParamInterface<Mechanism> {};

const std::string kSubject = "日本語の件名：プレーンなメッセージ test";
const std::vector<std::string> kPlainPieces = {
    "日本語の本文です。\r\n二行目には漢字とカタカナ。\r\n",
    "三行目：ASCII mixed text, 123.\r\n",
};

TEST_P(SmtpAuth, PlainMessageArrivesWithTextAndEnvelopeIntact) {
    smtp_->Auth(GetParam().auth);
    std::vector<long> moreDataIds;
    smtp_->MoreData = [&](long id, Bytes& data) {
        moreDataIds.push_back(id);
        if (static_cast<size_t>(id) <= kPlainPieces.size()) {
            data = TextToUtf16Le(T(kPlainPieces[id - 1]));
        }
    };
    Send(
        "From: Sender <sender@zef-test.localhost>\r\nTo: first@zef-test.localhost\r\n"
        "Subject: " +
        kSubject +
        "\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=ISO-2022-JP\r\nContent-Transfer-Encoding: 7bit\r\n\r\n");
    session_->ExpectSent();
    EXPECT_EQ(moreDataIds, (std::vector<long>{1, 2, 3}));

    json envelope = session_->LastEnvelope();
    EXPECT_EQ(envelope["auth_mechanism"], GetParam().name);
    EXPECT_EQ(envelope["auth_user"], env_.smtpUser);
    EXPECT_EQ(envelope["mail_from"], "sender@zef-test.localhost");
    EXPECT_EQ(envelope["rcpt_tos"],
              (json{"first@zef-test.localhost", "second@zef-test.localhost"}));

    json received = LastReceived();
    EXPECT_EQ(HeaderValue(received, "Subject"), kSubject);
    ASSERT_EQ(received["leaves"].size(), 1u);
    const json& body = received["leaves"][0];
    EXPECT_EQ(body["charset"], "iso-2022-jp");
    ASSERT_TRUE(body["text"].is_string()) << body.dump();
    EXPECT_TRUE(
        EqualUpToFinalLineEnd(body["text"].get<std::string>(), kPlainPieces[0] + kPlainPieces[1]))
        << body["text"].get<std::string>();
    EXPECT_EQ(session_->trace.find(env_.smtpPass), std::string::npos)
        << "the password reached Trace";
}

TEST_P(SmtpAuth, WrongPasswordEndsWithTheServersRefusal) {
    smtp_->Auth(GetParam().auth);
    smtp_->Pass(u"not-the-password");
    bool askedForData = false;
    smtp_->MoreData = [&](long, Bytes&) { askedForData = true; };
    Send(
        "From: sender@zef-test.localhost\r\nTo: first@zef-test.localhost\r\n"
        "Subject: refused\r\n\r\n");
    session_->ExpectRefused(-1, "535 5.7.8 Authentication credentials invalid");
    EXPECT_FALSE(askedForData);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, SmtpAuth,
                         ::testing::Values(Mechanism{1, "CRAM-MD5"}, Mechanism{2, "LOGIN"},
                                           Mechanism{3, "PLAIN"}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             return name == "CRAM-MD5" ? std::string("CramMd5") : name;
                         });

// --- addresses from the header -----------------------------------------------------------------

TEST_F(SmtpIntegration, RecipientsAndSenderComeFromTheHeaderWhenNotSet) {
    smtp_->Auth(0);
    smtp_->FromAddr(u"");
    smtp_->ToAddr(Variant());
    smtp_->MoreData = [](long id, Bytes& data) {
        if (id == 1) {
            data = TextToUtf16Le(u"Body.\r\n");
        }
    };
    Send(
        "From: \"Writer, Head\" <head@zef-test.localhost>\r\n"
        "To: One <one@zef-test.localhost>, two@zef-test.localhost\r\n"
        "Cc: Three <three@zef-test.localhost>\r\nBcc: four@zef-test.localhost\r\n"
        "Subject: addresses\r\n\r\n");
    session_->ExpectSent();
    json envelope = session_->LastEnvelope();
    EXPECT_EQ(envelope["mail_from"], "head@zef-test.localhost");
    EXPECT_EQ(envelope["rcpt_tos"], (json{"one@zef-test.localhost", "two@zef-test.localhost",
                                          "three@zef-test.localhost", "four@zef-test.localhost"}));
    EXPECT_TRUE(envelope["auth_mechanism"].is_null());
}

// --- a MIME message with nested parts, text, quoted-printable and a large binary -------------

class SmtpMime : public SmtpIntegration {
  protected:
    void SetUp() override {
        SmtpIntegration::SetUp();
        if (IsSkipped()) {
            return;
        }
        smtp_->Auth(1);
        smtp_->MimeMultipart(u"mixed");
        script_.Attach(*smtp_);
    }

    MimeScript script_;
};

TEST_F(SmtpMime, NestedJapaneseQuotedPrintableAndFiveMegabyteAttachmentArriveIntact) {
    const std::vector<std::string> mainText = {"これはマルチパートの本文です。\r\n",
                                               "二つ目の断片：日本語と ASCII.\r\n"};
    const std::string altText = "代替パートのテキスト版です。\r\n";
    const std::string altHtml = "<html><body><p>代替パートの HTML 版です。</p></body></html>\r\n";
    const std::vector<std::string> qpLines = {"Quoted-printable: a=b, 100% sure, äöü, 日本語\r\n",
                                              "A long line " + std::string(30, 'x') +
                                                  std::string(60, 'y') + std::string(60, 'z') +
                                                  " end\r\n",
                                              "tab\there and a trailing space \r\n"};
    const Bytes attachment = RandomBytes(size_t{5} * 1024 * 1024, 20240611);

    script_.plan[{1, 1}] = {"Unicode", "text/plain",        "", "iso-2022-jp", "7bit",
                            "",        TextPieces(mainText)};
    script_.plan[{1, 2}] = {"", "multipart/alternative", "", "", "", "", {}};
    script_.plan[{2, 1}] = {"Unicode", "text/plain",         "", "iso-2022-jp", "7bit",
                            "",        TextPieces({altText})};
    script_.plan[{2, 2}] = {"Unicode", "text/html",          "", "iso-2022-jp", "7bit",
                            "",        TextPieces({altHtml})};
    std::vector<Bytes> qpPieces(qpLines.begin(), qpLines.end());  // UTF-8 bytes, binary format
    script_.plan[{1, 3}] = {"BINARY", "text/plain", "", "utf-8", "quoted-printable", "", qpPieces};
    script_.plan[{1, 4}] = {"BINARY",
                            "application/octet-stream",
                            "random.bin",
                            "",
                            "base64",
                            "Content-Disposition: attachment; filename=\"random.bin\"",
                            Slices(attachment, kBase64Piece)};

    const std::string subject = "日本語の件名：入れ子のマルチパートと添付ファイル";
    Send(
        "From: Sender <sender@zef-test.localhost>\r\nTo: first@zef-test.localhost\r\n"
        "Subject: " +
        subject + "\r\n");
    session_->ExpectSent();
    EXPECT_EQ(script_.heads, (std::vector<std::pair<long, long>>{
                                 {1, 1}, {1, 2}, {2, 1}, {2, 2}, {2, 3}, {1, 3}, {1, 4}, {1, 5}}));

    json received = LastReceived();
    EXPECT_EQ(HeaderValue(received, "Subject"), subject);
    EXPECT_EQ(received["multiparts"], 2);
    const json& leaves = received["leaves"];
    ASSERT_EQ(leaves.size(), 5u) << received.dump(1);

    auto expectText = [&](const json& leaf, const std::string& type, const std::string& charset,
                          const std::string& text) {
        EXPECT_EQ(leaf["content_type"], type);
        EXPECT_EQ(leaf["charset"], charset);
        ASSERT_TRUE(leaf["text"].is_string()) << leaf.dump();
        EXPECT_TRUE(EqualUpToFinalLineEnd(leaf["text"].get<std::string>(), text))
            << "received: " << leaf["text"].get<std::string>() << "\nsent: " << text;
    };
    expectText(leaves[0], "text/plain", "iso-2022-jp", mainText[0] + mainText[1]);
    expectText(leaves[1], "text/plain", "iso-2022-jp", altText);
    expectText(leaves[2], "text/html", "iso-2022-jp", altHtml);
    expectText(leaves[3], "text/plain", "utf-8", qpLines[0] + qpLines[1] + qpLines[2]);
    EXPECT_EQ(leaves[3]["transfer_encoding"], "quoted-printable");

    const json& binary = leaves[4];
    EXPECT_EQ(binary["content_type"], "application/octet-stream");
    EXPECT_EQ(binary["filename"], "random.bin");
    EXPECT_EQ(binary["length"], attachment.size());
    EXPECT_EQ(binary["sha256"], Sha256Hex(attachment)) << "the attachment changed on its way";
}

}  // namespace
}  // namespace zef::integration
