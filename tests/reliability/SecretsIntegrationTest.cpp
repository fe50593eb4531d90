// Secrets against the real servers: full sessions of smtpZef (CRAM-MD5, LOGIN, PLAIN) with
// aiosmtpd and of popZef (USER/PASS, APOP) with Dovecot, with every trace collected (the
// socket's own included) and the Done message, accepted and refused; and zefmail's --trace and
// --events output. None may hold the password, its base64 forms or the CRAM-MD5 answer.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "common/Variant.h"
#include "pop/popZef.h"
#include "smtp/smtpZef.h"
#include "tests/integration/support/IntegrationEnv.h"
#include "tests/reliability/Secrets.h"

namespace zef::reliability {
namespace {

using integration::ReadFile;
using integration::RunUntil;
using integration::ServerEnv;
using namespace std::chrono_literals;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class SecretsAgainstServers : public integration::WithServers {
  protected:
    // Everything the application heard: traces, and the Done code and message.
    struct Heard {
        std::vector<std::string> traces;
        int dones = 0;
        long code = 0;
        std::string message;
        std::string All() const {
            std::string all;
            for (const std::string& trace : traces) {
                all += trace + "\n";
            }
            return all + message;
        }
    };

    // Traces (the socket's own too), Done, and the common settings of a session on loopback.
    template <class Control>
    static void Listen(Control& control, Heard& heard) {
        control.Trace = [&](const Text& line) { heard.traces.push_back(TextToUtf8(line)); };
        control.Done = [&](long code, const Text& message) {
            ++heard.dones;
            heard.code = code;
            heard.message = TextToUtf8(message);
        };
        control.TcpTraceOn(true);
        control.ConnectTimeout(10);
        control.TransTimeout(20);
    }

    Heard Send(long auth, const std::string& password) {
        asio::io_context io;
        smtpZef smtp(io);
        Heard heard;
        Listen(smtp, heard);
        smtp.MoreData = [](long id, Bytes& data) {
            if (id == 1) {
                data = TextToUtf16Le(u"secret test\r\n");
            }
        };
        smtp.Port(Utf8ToText(env_.smtpPort));
        smtp.Auth(auth);
        smtp.User(Utf8ToText(env_.smtpUser));
        smtp.Pass(Utf8ToText(password));
        smtp.FromAddr(u"sender@zef-test.localhost");
        smtp.ToAddr(Variant(u"nobody@zef-test.localhost"));
        smtp.Smtp(u"127.0.0.1", u"Subject: secrets\r\n");
        EXPECT_TRUE(RunUntil(
            io, [&] { return heard.dones > 0; }, 30s));
        return heard;
    }

    Heard Fetch(bool apop, const std::string& password) {
        asio::io_context io;
        popZef pop(io);
        Heard heard;
        Listen(pop, heard);
        pop.RetrDone = [](long, bool& cancelDelete) { cancelDelete = true; };
        pop.APOP(apop);
        pop.Port(Utf8ToText(env_.pop3Port));
        pop.pop(u"127.0.0.1", u"secret", Utf8ToText(password), 2);
        EXPECT_TRUE(RunUntil(
            io, [&] { return heard.dones > 0; }, 30s));
        return heard;
    }
};

TEST_F(SecretsAgainstServers, SmtpSessionsKeepThePassword) {
    for (long auth : {1L, 2L, 3L}) {
        for (const std::string& password : {env_.smtpPass, std::string("Wr0ng-Secret-99")}) {
            const Heard heard = Send(auth, password);
            const bool right = password == env_.smtpPass;
            const std::string label = "Auth " + std::to_string(auth) + (right ? "" : " refused");
            EXPECT_EQ(heard.code, right ? 0 : -1) << label << ": " << heard.message;
            std::vector<SecretForm> forms = PasswordForms(env_.smtpUser, password);
            if (auth == 1) {
                const Bytes challenge = CramChallengeFromTraces(heard.traces);
                ASSERT_FALSE(challenge.empty()) << label;
                const auto cram = CramMd5Forms(env_.smtpUser, password, challenge);
                forms.insert(forms.end(), cram.begin(), cram.end());
            }
            EXPECT_EQ(FormsFoundIn(heard.All(), forms), std::vector<std::string>{}) << label << "\n"
                                                                                    << heard.All();
        }
    }
}

TEST_F(SecretsAgainstServers, PopSessionsKeepThePassword) {
    for (bool apop : {false, true}) {
        for (const std::string& password : {env_.pop3Pass, std::string("Wr0ng-Secret-99")}) {
            const Heard heard = Fetch(apop, password);
            const bool right = password == env_.pop3Pass;
            const std::string label =
                std::string(apop ? "APOP" : "USER/PASS") + (right ? "" : " refused");
            EXPECT_EQ(heard.code, right ? 0 : -1) << label << ": " << heard.message;
            EXPECT_EQ(FormsFoundIn(heard.All(), PasswordForms("secret", password)),
                      std::vector<std::string>{})
                << label << "\n"
                << heard.All();
        }
    }
}

#ifdef ZEF_ZEFMAIL_PATH
// zefmail run as a user would, with the password in its environment; what it prints on both
// streams is searched.
std::string RunZefmail(const ServerEnv& env, const std::string& password,
                       const std::string& arguments, const std::string& name) {
    const std::string out = env.workdir + "/" + name + ".out";
    ::setenv("ZEF_TEST_SECRET", password.c_str(), 1);
    const std::string command = std::string(ZEF_ZEFMAIL_PATH) + " " + arguments +
                                " --password-env ZEF_TEST_SECRET > " + out + " 2>&1";
    const int status = std::system(command.c_str());
    ::unsetenv("ZEF_TEST_SECRET");
    EXPECT_NE(status, -1);
    return ReadFile(out);
}

TEST_F(SecretsAgainstServers, ZefmailTraceAndEventsKeepThePassword) {
    const std::string body = env_.workdir + "/secret-body.txt";
    std::ofstream(body) << "secret test\n";
    for (const std::string mechanism : {"cram-md5", "login", "plain"}) {
        std::string arguments = "send --server 127.0.0.1 --port " + env_.smtpPort;
        arguments += " --auth " + mechanism + " --user " + env_.smtpUser;
        arguments += " --from sender@zef-test.localhost --to nobody@zef-test.localhost";
        arguments += " --subject secrets --body-file " + body + " --trace --quiet";
        const std::string printed = RunZefmail(env_, env_.smtpPass, arguments, "send-" + mechanism);
        std::vector<SecretForm> forms = PasswordForms(env_.smtpUser, env_.smtpPass);
        if (mechanism == "cram-md5") {
            const Bytes challenge = CramChallengeFromTraces(Lines(printed));
            ASSERT_FALSE(challenge.empty()) << printed;
            const auto cram = CramMd5Forms(env_.smtpUser, env_.smtpPass, challenge);
            forms.insert(forms.end(), cram.begin(), cram.end());
        }
        EXPECT_NE(printed.find(">>"), std::string::npos) << "no trace: " << printed;
        EXPECT_EQ(FormsFoundIn(printed, forms), std::vector<std::string>{}) << mechanism << "\n"
                                                                            << printed;
    }
    for (const std::string login : {"", " --apop"}) {
        const std::string printed =
            RunZefmail(env_, env_.pop3Pass,
                       "fetch --server 127.0.0.1 --port " + env_.pop3Port +
                           " --user secret --keep --trace --events --quiet" + login,
                       "fetch" + login.substr(login.empty() ? 0 : 3));
        EXPECT_NE(printed.find(">>"), std::string::npos) << "no trace: " << printed;
        EXPECT_EQ(FormsFoundIn(printed, PasswordForms("secret", env_.pop3Pass)),
                  std::vector<std::string>{})
            << login << "\n"
            << printed;
    }
}
#endif

}  // namespace
}  // namespace zef::reliability
