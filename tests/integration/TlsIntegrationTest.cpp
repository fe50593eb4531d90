// smtpZef and popZef over TLS against aiosmtpd and Dovecot, with the CA and the server
// certificates of make_test_certs.sh: implicit TLS and STARTTLS/STLS with a good certificate
// carry a whole send or mailbox; an expired one, one for another host and one from an unknown CA
// are refused with a clear Done, and let through when VerifyCert is False. A relay between
// control and server keeps what travels, to show that no password is ever in the clear.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "components/Codec.h"
#include "pop/popZef.h"
#include "smtp/smtpZef.h"
#include "tests/integration/support/IntegrationEnv.h"
#include "tests/integration/support/MailboxReader.h"
#include "tests/integration/support/Relay.h"
#include "tests/integration/support/SmtpSession.h"

namespace zef::integration {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr long kSecurityImplicit = 1;
constexpr long kSecurityStartTls = 2;

// The TLS servers of run_with_servers.py --tls, as ZEF_IT_TLS describes them in JSON.
struct TlsServers {
    std::string description;

    std::string Ca() const { return json::parse(description).at("ca"); }
    // protocol "smtp" or "pop3"; mode "starttls"/"stls" or "implicit"; certificate "good",
    // "expired", "wronghost" or "unknownca".
    std::string Port(const std::string& protocol, const std::string& mode,
                     const std::string& certificate) const {
        const json servers = json::parse(description);
        return std::to_string(servers.at(protocol).at(mode).at(certificate).get<int>());
    }
    std::string DovecotLog(const std::string& certificate) const {
        return json::parse(description).at("pop3_log").at(certificate);
    }
};

// How each bad certificate is refused: the OpenSSL verification result as the Wire reports it.
// The SMTP tests connect to "localhost" (a host name), the POP3 tests to 127.0.0.1 (an
// address), so both checks of the name meet the certificate made for wrong.example.
struct BadCertificate {
    const char* name;
    long code;
    const char* messageForName;
    const char* messageForAddress;
    long codeForAddress;
};

const BadCertificate kBadCertificates[] = {
    {"expired", 10, "certificate verify failed: certificate has expired",
     "certificate verify failed: certificate has expired", 10},
    {"wronghost", 62, "certificate verify failed: hostname mismatch",
     "certificate verify failed: IP address mismatch", 64},
    {"unknownca", 20, "certificate verify failed: unable to get local issuer certificate",
     "certificate verify failed: unable to get local issuer certificate", 20},
};

std::string Base64(const std::string& bytes) {
    Bytes copy = bytes;
    return MakeCodec()->EncodeBase64(copy);
}

// The secrets must not appear in what the client sent, in any form a mechanism sends them.
void ExpectNoSecretIn(const std::string& wire, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        EXPECT_EQ(wire.find(secret), std::string::npos) << "in the clear: " << secret;
    }
}

// What the client sent before its first TLS record (a handshake record starts 0x16 0x03).
std::string ClearPrefix(const std::string& wire) {
    const size_t record = wire.find("\x16\x03");
    return record == std::string::npos ? wire : wire.substr(0, record);
}

// --- SMTP ---------------------------------------------------------------------------------------

// Skipped unless the harness started its TLS servers.
class OverTls : public WithServers {
  protected:
    void SetUp() override {
        WithServers::SetUp();
        const char* tls = std::getenv("ZEF_IT_TLS");
        if (!IsSkipped() && tls == nullptr) {
            GTEST_SKIP() << "needs the servers of run_with_servers.py --tls (run it through ctest)";
        }
        if (tls != nullptr) {
            tls_.description = tls;
        }
    }
    TlsServers tls_;
};

class SmtpOverTls : public OverTls {
  protected:
    void SetUp() override {
        OverTls::SetUp();
        if (IsSkipped()) {
            return;
        }
        session_ = std::make_unique<SmtpSession>(io_, env_);
        smtp_ = session_->smtp.get();
        smtp_->CAFile(Utf8ToText(tls_.Ca()));
        smtp_->ToAddr(Variant(u"nobody-tls@zef-test.localhost"));
        smtp_->MoreData = [this](long /*id*/, Bytes& data) {
            if (!bodySent_) {
                data = TextToUtf16Le(u"Sent over TLS.\r\n");
                bodySent_ = true;
            }
        };
    }

    void Send(const std::string& port, const Text& host = u"localhost") {
        smtp_->Port(AsciiToText(port));
        session_->Send(host, u"Subject: TLS test\r\n\r\n", 30s);
    }

    // Refused before AUTH was tried.
    void ExpectRefused(long code, const std::string& message) {
        session_->ExpectRefused(code, message);
        EXPECT_EQ(session_->trace.find(">>AUTH"), std::string::npos) << session_->trace;
    }

    std::vector<std::string> Secrets() const {
        const std::string& user = env_.smtpUser;
        const std::string& pass = env_.smtpPass;
        return {pass, Base64(pass), Base64(user),
                Base64(std::string(1, '\0') + user + '\0' + pass)};
    }

    std::unique_ptr<SmtpSession> session_;
    smtpZef* smtp_ = nullptr;
    bool bodySent_ = false;
};

struct SmtpMode {
    long security;
    const char* mode;  // the harness's name of the listener
    long auth;         // 2 LOGIN, 3 PLAIN
};

class SmtpGoodCertificate : public SmtpOverTls, public ::testing::WithParamInterface<SmtpMode> {};

// The whole send through the relay: AUTH and the message reach the server over TLS, and no
// form of the password or the user name went out in the clear.
TEST_P(SmtpGoodCertificate, CarriesTheWholeSendWithNothingSecretInTheClear) {
    const SmtpMode mode = GetParam();
    Relay tap(io_, tls_.Port("smtp", mode.mode, "good"));
    smtp_->Security(mode.security);
    smtp_->Auth(mode.auth);
    Send(tap.Port());
    session_->ExpectSent();
    const json envelope = session_->LastEnvelope();
    EXPECT_EQ(envelope["auth_user"], env_.smtpUser);
    EXPECT_EQ(envelope["auth_tls"], true);
    EXPECT_EQ(envelope["data_tls"], true);

    ExpectNoSecretIn(tap.FromClient(), Secrets());
    const std::string clear = ClearPrefix(tap.FromClient());
    if (mode.security == kSecurityStartTls) {
        EXPECT_EQ(clear, "EHLO zef-client.localhost\r\nSTARTTLS\r\n");
    } else {
        EXPECT_EQ(clear, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SmtpGoodCertificate,
                         ::testing::Values(SmtpMode{kSecurityStartTls, "starttls", 3},
                                           SmtpMode{kSecurityImplicit, "implicit", 2}),
                         [](const auto& info) { return std::string(info.param.mode); });

// Every bad certificate under each of the modes.
template <class Mode>
struct BadCase {
    Mode mode;
    BadCertificate certificate;
};

template <class Mode>
std::vector<BadCase<Mode>> WithEachBadCertificate(std::vector<Mode> modes) {
    std::vector<BadCase<Mode>> cases;
    for (const Mode& mode : modes) {
        for (const BadCertificate& certificate : kBadCertificates) {
            cases.push_back({mode, certificate});
        }
    }
    return cases;
}

using SmtpBadCase = BadCase<SmtpMode>;
class SmtpBadCertificate : public SmtpOverTls, public ::testing::WithParamInterface<SmtpBadCase> {};

TEST_P(SmtpBadCertificate, IsRefusedWithTheVerificationResult) {
    const SmtpBadCase& c = GetParam();
    smtp_->Security(c.mode.security);
    smtp_->Auth(c.mode.auth);
    Send(tls_.Port("smtp", c.mode.mode, c.certificate.name));
    ExpectRefused(c.certificate.code, c.certificate.messageForName);
}

TEST_P(SmtpBadCertificate, PassesWithoutVerification) {
    const SmtpBadCase& c = GetParam();
    smtp_->Security(c.mode.security);
    smtp_->Auth(c.mode.auth);
    smtp_->VerifyCert(false);
    Send(tls_.Port("smtp", c.mode.mode, c.certificate.name));
    session_->ExpectSent();
    EXPECT_EQ(session_->LastEnvelope()["auth_tls"], true);
}

INSTANTIATE_TEST_SUITE_P(
    Each, SmtpBadCertificate,
    ::testing::ValuesIn(WithEachBadCertificate<SmtpMode>({{kSecurityStartTls, "starttls", 3},
                                                          {kSecurityImplicit, "implicit", 3}})),
    [](const auto& info) {
        return std::string(info.param.mode.mode) + "_" + info.param.certificate.name;
    });

// A server without TLS refuses STARTTLS: the send ends like any refusal, no AUTH attempted.
TEST_F(SmtpOverTls, RefusedStartTlsEndsTheSend) {
    smtp_->Security(kSecurityStartTls);
    smtp_->Auth(3);
    Send(env_.smtpPort);
    ExpectRefused(-1, "454 TLS not available");
    EXPECT_NE(session_->trace.find(">>STARTTLS \n454 TLS not available\n>>RSET "),
              std::string::npos)
        << session_->trace;
}

// --- POP3 ---------------------------------------------------------------------------------------

class PopOverTls : public OverTls {
  protected:
    void SetUp() override {
        OverTls::SetUp();
        if (IsSkipped()) {
            return;
        }
        mailbox_ = env_.Mailbox("tls");
        ASSERT_FALSE(mailbox_.empty());
        reader_ = std::make_unique<MailboxReader>(io_, env_);
        reader_->keep = [](const std::string&) { return true; };  // every test reads it whole
        reader_->Control().CAFile(Utf8ToText(tls_.Ca()));
    }

    bool Read(const std::string& port, long security, bool apop = false) {
        reader_->Control().Port(AsciiToText(port));
        reader_->Control().Security(security);
        return reader_->Read("tls", env_.pop3Pass, apop, 0);
    }

    void ExpectWholeMailbox() {
        EXPECT_EQ(reader_->doneCode, 0) << reader_->doneMessage << "\ntrace:\n" << reader_->trace;
        EXPECT_EQ(reader_->doneCount, 1);
        ASSERT_EQ(reader_->messages.size(), mailbox_.size()) << reader_->trace;
        size_t index = 0;
        for (const auto& [id, message] : reader_->messages) {
            EXPECT_TRUE(message.retrDone) << id;
            EXPECT_EQ(message.corpusId, mailbox_[index++]);
        }
        EXPECT_TRUE(reader_->faults.empty()) << reader_->faults.front();
    }

    void ExpectRefused(long code, const std::string& message) {
        EXPECT_EQ(reader_->doneCode, code) << reader_->doneMessage << "\ntrace:\n"
                                           << reader_->trace;
        EXPECT_EQ(reader_->doneMessage, message);
        EXPECT_EQ(reader_->doneCount, 1);
        EXPECT_TRUE(reader_->messages.empty());
        EXPECT_EQ(reader_->trace.find(">>USER"), std::string::npos) << reader_->trace;
        EXPECT_EQ(reader_->trace.find(">>APOP"), std::string::npos) << reader_->trace;
    }

    // Dovecot's "Login:" lines of user tls; each ends in "TLS" when the login came protected
    // (a loopback login in the clear would read "secured").
    std::vector<std::string> Logins(const std::string& certificate) const {
        std::vector<std::string> logins;
        std::string log = ReadFile(tls_.DovecotLog(certificate));
        for (size_t start = 0, end; start < log.size(); start = end + 1) {
            end = log.find('\n', start);
            end = end == std::string::npos ? log.size() : end;
            const std::string line = log.substr(start, end - start);
            if (line.find("Login: user=<tls>") != std::string::npos) {
                logins.push_back(line);
            }
        }
        return logins;
    }

    std::vector<std::string> mailbox_;
    std::unique_ptr<MailboxReader> reader_;
};

struct PopMode {
    long security;
    const char* mode;
    bool apop;
};

class PopGoodCertificate : public PopOverTls, public ::testing::WithParamInterface<PopMode> {};

TEST_P(PopGoodCertificate, ReadsTheWholeMailboxWithTheLoginProtected) {
    const PopMode mode = GetParam();
    const size_t loginsBefore = Logins("good").size();
    Relay tap(io_, tls_.Port("pop3", mode.mode, "good"));
    ASSERT_TRUE(Read(tap.Port(), mode.security, mode.apop));
    ExpectWholeMailbox();

    const std::vector<std::string> logins = Logins("good");
    ASSERT_EQ(logins.size(), loginsBefore + 1);
    EXPECT_NE(logins.back().find(mode.apop ? "method=APOP" : "method=PLAIN"), std::string::npos)
        << logins.back();
    EXPECT_NE(logins.back().find(", TLS,"), std::string::npos) << logins.back();

    ExpectNoSecretIn(tap.FromClient(), {env_.pop3Pass, "USER", "APOP"});
    const std::string clear = ClearPrefix(tap.FromClient());
    EXPECT_EQ(clear, mode.security == kSecurityStartTls ? "STLS\r\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Modes, PopGoodCertificate,
                         ::testing::Values(PopMode{kSecurityStartTls, "stls", false},
                                           PopMode{kSecurityStartTls, "stls", true},
                                           PopMode{kSecurityImplicit, "implicit", false},
                                           PopMode{kSecurityImplicit, "implicit", true}),
                         [](const auto& info) {
                             return std::string(info.param.mode) +
                                    (info.param.apop ? "_apop" : "_userpass");
                         });

using PopBadCase = BadCase<PopMode>;

class PopBadCertificate : public PopOverTls, public ::testing::WithParamInterface<PopBadCase> {};

TEST_P(PopBadCertificate, IsRefusedWithTheVerificationResult) {
    const PopBadCase& c = GetParam();
    ASSERT_TRUE(Read(tls_.Port("pop3", c.mode.mode, c.certificate.name), c.mode.security));
    ExpectRefused(c.certificate.codeForAddress, c.certificate.messageForAddress);
    EXPECT_EQ(reader_->Control().Caption(), u"DONE(FAIL)");
}

TEST_P(PopBadCertificate, PassesWithoutVerification) {
    const PopBadCase& c = GetParam();
    reader_->Control().VerifyCert(false);
    ASSERT_TRUE(Read(tls_.Port("pop3", c.mode.mode, c.certificate.name), c.mode.security));
    ExpectWholeMailbox();
}

INSTANTIATE_TEST_SUITE_P(
    Each, PopBadCertificate,
    ::testing::ValuesIn(WithEachBadCertificate<PopMode>({{kSecurityStartTls, "stls", false},
                                                         {kSecurityImplicit, "implicit", false}})),
    [](const auto& info) {
        return std::string(info.param.mode.mode) + "_" + info.param.certificate.name;
    });

// Dovecot without TLS refuses STLS: the transfer ends at once, nothing else sent.
TEST_F(PopOverTls, RefusedStlsEndsTheTransfer) {
    Relay tap(io_, env_.pop3Port);
    ASSERT_TRUE(Read(tap.Port(), kSecurityStartTls));
    EXPECT_EQ(reader_->doneCode, -1) << reader_->trace;
    EXPECT_EQ(reader_->doneMessage.rfind("-ERR", 0), 0U) << reader_->doneMessage;
    EXPECT_EQ(tap.FromClient(), "STLS\r\n");
}

}  // namespace
}  // namespace zef::integration
