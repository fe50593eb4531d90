// Secrets stay secret: a full session of each control, with the socket's own traces forwarded
// (TcpTraceOn), leaves no password, no base64 form of it and no CRAM-MD5 answer in any Trace,
// caption or Done message. What went on the wire is searched as well, to show that the forms
// searched for are the ones really sent.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "tests/reliability/ControlRigs.h"
#include "tests/reliability/Secrets.h"

namespace zef::reliability {
namespace {

constexpr const char* kChallenge = "<2817.1700000000@sim.example>";

// The log split into what the application saw (events) and what the wire carried.
struct Split {
    std::string seen;
    std::string sent;
};

Split SplitLog(const std::vector<std::string>& log) {
    Split split;
    for (const std::string& entry : log) {
        (entry.rfind("C: ", 0) == 0 ? split.sent : split.seen) += entry + "\n";
    }
    return split;
}

TEST(Secrets, SmtpSessionsTraceNoPasswordInAnyForm) {
    // The form of the secret each mechanism must put on the wire.
    const std::map<long, std::string> sentForms = {
        {1, "the CRAM-MD5 answer in base64"},
        {2, "the password in base64 (LOGIN)"},
        {3, "\\0user\\0password in base64 (PLAIN)"},
    };
    for (const auto& [auth, sentForm] : sentForms) {
        for (bool goodPassword : {true, false}) {
            SmtpServer server;
            const std::string password = server.pass;
            if (!goodPassword) {
                server.pass = "the server expects another";
            }
            SmtpRig rig(server, SmtpRig::Scenario{"secret", auth, true, 1});
            rig.control->Pass(Utf8ToText(password));
            rig.control->TcpTraceOn(true);
            rig.Start();
            rig.Run();
            const std::string label =
                "Auth " + std::to_string(auth) + (goodPassword ? "" : " (refused)");
            EXPECT_EQ(rig.Result().code, goodPassword ? 0 : -1) << label;

            std::vector<SecretForm> forms = PasswordForms(server.user, password);
            const std::vector<SecretForm> cram = CramMd5Forms(server.user, password, kChallenge);
            forms.insert(forms.end(), cram.begin(), cram.end());
            const Split split = SplitLog(rig.log);
            EXPECT_NE(split.seen.find("Trace connected to sim.example"), std::string::npos)
                << label;
            EXPECT_EQ(FormsFoundIn(split.seen, forms), std::vector<std::string>{}) << label;
            EXPECT_EQ(FormsFoundIn(split.sent, forms), std::vector<std::string>{sentForm}) << label;
        }
    }
}

TEST(Secrets, PopSessionsTraceNoPassword) {
    for (bool apop : {false, true}) {
        for (bool goodPassword : {true, false}) {
            Pop3Server server;
            server.mails = {{"Subject: a\r\n\r\nbody\r\n", "uid-1"}};
            const std::string password = "r3ad-Pa55w0rd!";
            server.pass = goodPassword ? password : "the server expects another";
            PopRig rig(server);
            rig.control->TcpTraceOn(true);
            rig.control->APOP(apop);
            rig.control->pop(u"sim.example", Utf8ToText(server.user), Utf8ToText(password), 0);
            rig.Run();
            const std::string label =
                std::string(apop ? "APOP" : "USER/PASS") + (goodPassword ? "" : " (refused)");
            EXPECT_EQ(rig.Result().code, goodPassword ? 0 : -1) << label;

            const std::vector<SecretForm> forms = PasswordForms(server.user, password);
            const Split split = SplitLog(rig.log);
            EXPECT_EQ(FormsFoundIn(split.seen, forms), std::vector<std::string>{}) << label;
            if (!apop) {
                EXPECT_NE(split.seen.find("Trace >>PASS ***"), std::string::npos) << label;
                EXPECT_EQ(FormsFoundIn(split.sent, forms), std::vector<std::string>{"the password"})
                    << label;
            }
        }
    }
}

}  // namespace
}  // namespace zef::reliability
