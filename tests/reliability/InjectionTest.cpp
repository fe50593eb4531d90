// No command injection: every value that reaches a command line or the header of the message
// is refused, before anything is sent, when it holds a line break that could end the line (or
// the message) early and let the rest pass for commands. Values that only ever travel
// base64-encoded (the SMTP password) are accepted and must reach the server intact.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/Unicode.h"
#include "common/Variant.h"
#include "tests/reliability/ControlRigs.h"

namespace zef::reliability {
namespace {

// What an attacker would append to a value: a line break, then a command of its own.
const std::vector<Text> kBreaks = {u"\r", u"\n", u"\r\n", u"\r\nRSET", u"\nQUIT", u"\rDATA"};
// In the header text itself CR LF ends a header line as it should; only a bare CR or LF breaks.
const std::vector<Text> kBareBreaks = {u"\r", u"\n", u"\nQUIT", u"\rDATA", u"\n.\nRSET"};

int badInputsTried = 0;
int refusedBeforeSending = 0;
int endedBeforeTheDot = 0;
int sentSafely = 0;

// --- SMTP: refused at Smtp ---

using ScriptedSmtp = ScriptedControl<smtpZef>;

void Prepare(smtpZef& control, long auth) {
    control.ToAddr(Variant(u"to@example.net"));
    control.FromAddr(u"from@example.org");
    control.User(u"user@example.org");
    control.Pass(u"secret");
    control.Auth(auth);
}

struct SmtpField {
    std::string field;  // the name in the refusal
    long auth;
    bool headerText;  // the value lies in MailHeader, where CR LF is a line end
    // Puts the bad text into the value; returns the MailHeader to send with (empty: the usual).
    std::function<Text(smtpZef&, const Text& bad)> apply;
};

const std::vector<SmtpField>& SmtpFields() {
    const auto user = [](smtpZef& c, const Text& b) {
        c.User(u"user" + b);
        return Text();
    };
    static const std::vector<SmtpField> fields = {
        {"FromAddr", 0, false,
         [](smtpZef& c, const Text& b) {
             c.FromAddr(u"from@example.org" + b);
             return Text();
         }},
        {"ToAddr", 0, false,
         [](smtpZef& c, const Text& b) {
             c.ToAddr(Variant(u"to@example.net" + b));
             return Text();
         }},
        {"ToAddr", 0, false,
         [](smtpZef& c, const Text& b) {
             c.ToAddr(Variant(StringArray::OneBased({u"a@example.net", u"b@example.net" + b})));
             return Text();
         }},
        {"MailHeader", 0, true,  // the sender taken from the header
         [](smtpZef& c, const Text& b) {
             c.FromAddr(u"");
             c.ToAddr(Variant());
             return u"From: from@example.org" + b + u"\r\nTo: to@example.net\r\n";
         }},
        {"MailHeader", 0, true,  // recipients taken from the header
         [](smtpZef& c, const Text& b) {
             c.ToAddr(Variant());
             return u"To: a@example.net, b@example.net" + b + u"\r\nSubject: x\r\n";
         }},
        {"MailHeader", 0, true,  // any other header line
         [](smtpZef&, const Text& b) { return u"Subject: x" + b + u"\r\n.\r\n"; }},
        {"Hostname", 0, false,
         [](smtpZef& c, const Text& b) {
             c.Hostname(u"client.example" + b);
             return Text();
         }},
        {"Hostname", 2, false,
         [](smtpZef& c, const Text& b) {
             c.Hostname(b + u"client.example");
             return Text();
         }},
        {"User", 1, false, user},
        {"User", 2, false, user},
        {"User", 3, false, user},
    };
    return fields;
}

TEST(Injection, SmtpRefusesEveryLineBreakBeforeConnecting) {
    for (const SmtpField& field : SmtpFields()) {
        for (const Text& bad : field.headerText ? kBareBreaks : kBreaks) {
            ScriptedSmtp smtp;
            Prepare(*smtp.control, field.auth);
            const Text header = field.apply(*smtp.control, bad);
            smtp.control->Smtp(u"mx.example", header.empty() ? u"Subject: x\r\n" : header);
            ++badInputsTried;
            const std::string label = field.field + " with " + Printable(TextToUtf8(bad));
            ASSERT_EQ(smtp.dones.size(), 1U) << label;
            EXPECT_EQ(smtp.dones[0], std::make_pair(-1L, "INVALID CHARACTER IN " + field.field))
                << label;
            EXPECT_TRUE(smtp.wire->connects.empty()) << label;
            EXPECT_TRUE(smtp.wire->sent.empty()) << label;
            refusedBeforeSending += smtp.wire->connects.empty() ? 1 : 0;
        }
    }
}

// --- SMTP: values sent safely ---

// The password travels base64-encoded in every mechanism: line breaks in it are harmless and
// must reach the server exactly as given.
TEST(Injection, SmtpPasswordWithLineBreaksAuthenticatesIntact) {
    for (long auth : {1L, 2L, 3L}) {
        for (const Text& bad : kBreaks) {
            SmtpServer server;
            server.pass = "pa" + TextToUtf8(bad) + "ss";
            SmtpRig rig(server, SmtpRig::Scenario{"auth", auth, false, 1});
            rig.Start();
            rig.Run();
            ++badInputsTried;
            const std::string label =
                "Auth " + std::to_string(auth) + " with " + Printable(TextToUtf8(bad));
            EXPECT_EQ(rig.Result().code, 0) << label << ": " << rig.Result().message;
            EXPECT_EQ(server.authFailures, 0) << label;
            EXPECT_EQ(server.accepted.size(), 1U) << label;
            sentSafely += server.accepted.size() == 1 ? 1 : 0;
        }
    }
}

// A header line of just "." (after CR LF) is stuffed: the message does not end there.
TEST(Injection, SmtpHeaderDotLineIsStuffed) {
    SmtpServer server;
    SmtpRig rig(server, SmtpRig::Scenario{"dot", 0, false, 1});
    rig.control->Smtp(u"sim.example", u".\r\nSubject: a\r\n.\r\nRSET\r\nX-After: b\r\n");
    rig.Run();
    ++badInputsTried;
    ASSERT_EQ(rig.Result().code, 0) << rig.Result().message;
    ASSERT_EQ(server.accepted.size(), 1U);
    EXPECT_NE(server.accepted[0].find("\r\n..\r\nSubject: a\r\n..\r\nRSET\r\nX-After: b\r\n"),
              std::string::npos)
        << server.accepted[0];
    ++sentSafely;
}

// --- SMTP: part headers of a multipart message ---

// The answers MimeHead gives for the first part.
struct PartHead {
    Text type = u"text/plain", name, charset, encoding, additional;
};

// Sends a multipart message whose first part has the head given; returns the server.
Outcome SendPart(const PartHead& head, SmtpServer& server) {
    SmtpRig rig(server, SmtpRig::Scenario{"part", 0, true, 1});
    rig.control->MimeHead = [&head](long depth, long part, Text& format, Text& type, Text& name,
                                    Text& charset, Text& encoding, Text& additional) {
        if (depth == 1 && part == 1) {
            format = u"Binary";
            std::tie(type, name, charset, encoding, additional) =
                std::tie(head.type, head.name, head.charset, head.encoding, head.additional);
        }
    };
    rig.control->MimeBody = [](long, long, Bytes& data) { data.clear(); };
    rig.Start();
    rig.Run();
    return rig.Result();
}

TEST(Injection, SmtpPartHeaderFieldsEndTheSendBeforeTheDot) {
    struct Field {
        std::string name;
        Text PartHead::*value;
        Text prefix;
    };
    std::vector<std::pair<Field, Text>> cases;
    for (const Field& field : {Field{"ContentType", &PartHead::type, u"text/plain"},
                               Field{"ContentName", &PartHead::name, u"a"},
                               Field{"ContentCharset", &PartHead::charset, u"utf-8"},
                               Field{"TramsferEncoding", &PartHead::encoding, u"7bit"}}) {
        for (const Text& bad : kBreaks) {
            cases.emplace_back(field, bad);
        }
    }
    // Several lines are allowed in AdditionalHeader, with CR LF; not a bare break, and not a
    // line of just ".".
    for (const char16_t* bad : {u"X-A: 1\nRSET", u"X-A: 1\rX-B: 2", u".", u".\r\nRSET",
                                u"X-A: 1\r\n.", u"X-A: 1\r\n.\r\nQUIT"}) {
        cases.emplace_back(Field{"AdditionalHeader", &PartHead::additional, u""}, bad);
    }
    for (const auto& [field, bad] : cases) {
        PartHead head;
        head.*field.value = field.prefix + bad;
        SmtpServer server;
        const Outcome outcome = SendPart(head, server);
        ++badInputsTried;
        const std::string label = field.name + " with " + Printable(TextToUtf8(bad));
        EXPECT_EQ(outcome.dones, 1) << label;
        EXPECT_EQ(outcome.code, -1) << label;
        EXPECT_EQ(outcome.message, "INVALID CHARACTER IN " + field.name) << label;
        EXPECT_TRUE(server.accepted.empty()) << label;
        endedBeforeTheDot += server.accepted.empty() ? 1 : 0;
    }
}

TEST(Injection, SmtpAdditionalHeaderOfSeveralCrLfLinesIsSent) {
    PartHead head;
    head.additional = u"X-A: 1\r\nX-B: .2\r\n\t.3";
    SmtpServer server;
    const Outcome outcome = SendPart(head, server);
    EXPECT_EQ(outcome.code, 0) << outcome.message;
    ASSERT_EQ(server.accepted.size(), 1U);
    EXPECT_NE(server.accepted[0].find("X-A: 1\r\nX-B: .2\r\n\t.3\r\n"), std::string::npos);
}

// --- POP3 ---

TEST(Injection, PopRefusesLineBreaksAndNulInUserAndPassword) {
    std::vector<Text> bads = kBreaks;
    bads.emplace_back(u"\0", 1);
    bads.emplace_back(u"\0QUIT", 5);
    for (bool apop : {false, true}) {
        for (const std::string field : {"xuser", "xpass"}) {
            for (const Text& bad : bads) {
                ScriptedControl<popZef> pop;
                pop.control->APOP(apop);
                const bool user = field == "xuser";
                pop.control->pop(u"pop.example", user ? u"bob" + bad : u"bob",
                                 user ? u"secret" : u"sec" + bad + u"ret", 0);
                ++badInputsTried;
                const std::string label =
                    field + " with " + Printable(TextToUtf8(bad)) + (apop ? " (APOP)" : "");
                ASSERT_EQ(pop.dones.size(), 1U) << label;
                EXPECT_EQ(pop.dones[0],
                          std::make_pair(-1L, "INVALID " + field + ": CR, LF OR NUL NOT ALLOWED"))
                    << label;
                EXPECT_TRUE(pop.wire->connects.empty()) << label;
                refusedBeforeSending += pop.wire->connects.empty() ? 1 : 0;
            }
        }
    }
}

// The figures for the closing note, printed once the tests that ran have counted.
class InjectionSummary final : public ::testing::Environment {
  public:
    void TearDown() override {
        if (badInputsTried > 0) {
            std::printf(
                "reliability summary: injection: bad inputs tried %d, refused before "
                "anything was sent %d, send ended before the final dot %d, sent intact "
                "%d\n",
                badInputsTried, refusedBeforeSending, endedBeforeTheDot, sentSafely);
        }
    }
};

[[maybe_unused]] ::testing::Environment* const kInjectionSummary =
    ::testing::AddGlobalTestEnvironment(new InjectionSummary);

}  // namespace
}  // namespace zef::reliability
