// No command injection: every value that reaches a command line or the header of the message
// is refused, before anything is sent, when it holds a line break that could end the line (or
// the message) early and let the rest pass for commands. Values that only ever travel
// base64-encoded (the SMTP password) are accepted and must reach the server intact.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "common/Variant.h"
#include "tests/reliability/ControlRigs.h"
#include "tests/support/ScriptedWire.h"

namespace zef::reliability {
namespace {

using testing::ScriptedWire;

// What an attacker would append to a value: a line break, then a command of its own.
const std::vector<Text> kBreaks = {u"\r", u"\n", u"\r\n", u"\r\nRSET", u"\nQUIT", u"\rDATA"};
// In the header text itself CR LF ends a header line as it should; only a bare CR or LF breaks.
const std::vector<Text> kBareBreaks = {u"\r", u"\n", u"\nQUIT", u"\rDATA", u"\n.\nRSET"};

int badInputsTried = 0;
int refusedBeforeSending = 0;
int endedBeforeTheDot = 0;
int sentSafely = 0;

// --- SMTP: refused at Smtp ---

struct SmtpControl {
    SmtpControl() {
        Components parts;
        auto scripted = std::make_unique<ScriptedWire>();
        wire = scripted.get();
        parts.wire = std::move(scripted);
        parts.glyph = MakeGlyph();
        parts.codec = MakeCodec();
        parts.hash = MakeMd5Hash();
        parts.timer = std::make_unique<ManualTimer>();
        control = std::make_unique<smtpZef>(std::move(parts));
        control->Done = [this](long code, const Text& message) {
            dones.emplace_back(code, TextToUtf8(message));
        };
        control->ToAddr(Variant(u"to@example.net"));
        control->FromAddr(u"from@example.org");
        control->User(u"user@example.org");
        control->Pass(u"secret");
    }
    ScriptedWire* wire = nullptr;
    std::unique_ptr<smtpZef> control;
    std::vector<std::pair<long, std::string>> dones;
};

struct SmtpField {
    std::string field;  // the name in the refusal
    long auth;
    bool headerText;  // the value lies in MailHeader, where CR LF is a line end
    // Puts the bad text into the value; returns the MailHeader to send with.
    std::function<Text(smtpZef&, const Text& bad)> apply;
};

const std::vector<SmtpField>& SmtpFields() {
    static const std::vector<SmtpField> fields = {
        {"FromAddr", 0, false,
         [](smtpZef& c, const Text& bad) {
             c.FromAddr(u"from@example.org" + bad);
             return Text(u"Subject: x\r\n");
         }},
        {"ToAddr", 0, false,
         [](smtpZef& c, const Text& bad) {
             c.ToAddr(Variant(u"to@example.net" + bad));
             return Text(u"Subject: x\r\n");
         }},
        {"ToAddr", 0, false,
         [](smtpZef& c, const Text& bad) {
             c.ToAddr(Variant(StringArray::OneBased({u"a@example.net", u"b@example.net" + bad})));
             return Text(u"Subject: x\r\n");
         }},
        {"MailHeader", 0, true,  // the sender taken from the header
         [](smtpZef& c, const Text& bad) {
             c.FromAddr(u"");
             c.ToAddr(Variant());
             return u"From: from@example.org" + bad + u"\r\nTo: to@example.net\r\n";
         }},
        {"MailHeader", 0, true,  // recipients taken from the header
         [](smtpZef& c, const Text& bad) {
             c.ToAddr(Variant());
             return u"To: a@example.net, b@example.net" + bad + u"\r\nSubject: x\r\n";
         }},
        {"MailHeader", 0, true,  // any other header line
         [](smtpZef&, const Text& bad) { return u"Subject: x" + bad + u"\r\n.\r\n"; }},
        {"Hostname", 0, false,
         [](smtpZef& c, const Text& bad) {
             c.Hostname(u"client.example" + bad);
             return Text(u"Subject: x\r\n");
         }},
        {"Hostname", 2, false,
         [](smtpZef& c, const Text& bad) {
             c.Hostname(bad + u"client.example");
             return Text(u"Subject: x\r\n");
         }},
        {"User", 1, false,
         [](smtpZef& c, const Text& bad) {
             c.User(u"user" + bad);
             return Text(u"Subject: x\r\n");
         }},
        {"User", 2, false,
         [](smtpZef& c, const Text& bad) {
             c.User(u"user" + bad);
             return Text(u"Subject: x\r\n");
         }},
        {"User", 3, false,
         [](smtpZef& c, const Text& bad) {
             c.User(u"user" + bad);
             return Text(u"Subject: x\r\n");
         }},
    };
    return fields;
}

TEST(Injection, SmtpRefusesEveryLineBreakBeforeConnecting) {
    for (const SmtpField& field : SmtpFields()) {
        for (const Text& bad : field.headerText ? kBareBreaks : kBreaks) {
            SmtpControl smtp;
            smtp.control->Auth(field.auth);
            const Text header = field.apply(*smtp.control, bad);
            smtp.control->Smtp(u"mx.example", header);
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

TEST(Injection, SmtpPlainRefusesNulInTheCredentials) {
    for (const char16_t* field : {u"User", u"Pass"}) {
        SmtpControl smtp;
        smtp.control->Auth(3);
        if (Text(field) == u"User") {
            smtp.control->User(Text(u"user\0admin", 10));
        } else {
            smtp.control->Pass(Text(u"pass\0word", 9));
        }
        smtp.control->Smtp(u"mx.example", u"Subject: x\r\n");
        ++badInputsTried;
        ASSERT_EQ(smtp.dones.size(), 1U);
        EXPECT_EQ(smtp.dones[0].second, "INVALID CHARACTER IN " + TextToUtf8(field));
        EXPECT_TRUE(smtp.wire->connects.empty());
        ++refusedBeforeSending;
    }
}

// A user name that AUTH does not use is not refused: it reaches no line.
TEST(Injection, SmtpUserWithoutAuthIsNotChecked) {
    SmtpControl smtp;
    smtp.control->User(u"user\r\nRSET");
    smtp.control->Smtp(u"mx.example", u"Subject: x\r\n");
    EXPECT_TRUE(smtp.dones.empty());
    EXPECT_EQ(smtp.wire->connects.size(), 1U);
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

struct PartField {
    std::string field;
    std::function<void(Text& type, Text& name, Text& charset, Text& encoding, Text& additional,
                       const Text& bad)>
        apply;
};

TEST(Injection, SmtpPartHeaderFieldsEndTheSendBeforeTheDot) {
    const std::vector<PartField> fields = {
        {"ContentType", [](Text& t, Text&, Text&, Text&, Text&, const Text& b) { t += b; }},
        {"ContentName", [](Text&, Text& n, Text&, Text&, Text&, const Text& b) { n = u"a" + b; }},
        {"ContentCharset",
         [](Text&, Text&, Text& c, Text&, Text&, const Text& b) { c = u"utf-8" + b; }},
        {"TramsferEncoding",
         [](Text&, Text&, Text&, Text& e, Text&, const Text& b) { e = u"7bit" + b; }},
    };
    std::vector<std::pair<PartField, Text>> cases;
    for (const PartField& field : fields) {
        for (const Text& bad : kBreaks) {
            cases.emplace_back(field, bad);
        }
    }
    // Several lines are allowed in AdditionalHeader, with CR LF; not a bare break, and not a
    // line of just ".".
    const PartField additional{"AdditionalHeader",
                               [](Text&, Text&, Text&, Text&, Text& a, const Text& b) { a = b; }};
    for (const Text& bad :
         {Text(u"X-A: 1\nRSET"), Text(u"X-A: 1\rX-B: 2"), Text(u"."), Text(u".\r\nRSET"),
          Text(u"X-A: 1\r\n."), Text(u"X-A: 1\r\n.\r\nQUIT")}) {
        cases.emplace_back(additional, bad);
    }
    for (const auto& [field, bad] : cases) {
        SmtpServer server;
        SmtpRig rig(server, SmtpRig::Scenario{"part", 0, true, 1});
        rig.control->MimeHead = [&, field = field, bad = bad](long depth, long part, Text& format,
                                                              Text& type, Text& name, Text& charset,
                                                              Text& encoding, Text& more) {
            if (depth == 1 && part == 1) {
                format = u"Binary";
                type = u"text/plain";
                field.apply(type, name, charset, encoding, more, bad);
            }
        };
        rig.control->MimeBody = [](long, long, Bytes& data) { data.clear(); };
        rig.Start();
        rig.Run();
        ++badInputsTried;
        const std::string label = field.field + " with " + Printable(TextToUtf8(bad));
        EXPECT_EQ(rig.Result().dones, 1) << label;
        EXPECT_EQ(rig.Result().code, -1) << label;
        EXPECT_EQ(rig.Result().message, "INVALID CHARACTER IN " + field.field) << label;
        EXPECT_TRUE(server.accepted.empty()) << label;
        endedBeforeTheDot += server.accepted.empty() ? 1 : 0;
    }
}

TEST(Injection, SmtpAdditionalHeaderOfSeveralCrLfLinesIsSent) {
    SmtpServer server;
    SmtpRig rig(server, SmtpRig::Scenario{"part", 0, true, 1});
    rig.control->MimeHead = [](long depth, long part, Text& format, Text& type, Text&, Text&, Text&,
                               Text& more) {
        if (depth == 1 && part == 1) {
            format = u"Binary";
            type = u"text/plain";
            more = u"X-A: 1\r\nX-B: .2\r\n\t.3";
        }
    };
    rig.control->MimeBody = [](long, long, Bytes& data) { data.clear(); };
    rig.Start();
    rig.Run();
    EXPECT_EQ(rig.Result().code, 0) << rig.Result().message;
    ASSERT_EQ(server.accepted.size(), 1U);
    EXPECT_NE(server.accepted[0].find("X-A: 1\r\nX-B: .2\r\n\t.3\r\n"), std::string::npos);
}

// --- POP3 ---

TEST(Injection, PopRefusesLineBreaksAndNulInUserAndPassword) {
    std::vector<Text> bads = kBreaks;
    bads.emplace_back(u"\0", 1);
    bads.emplace_back(u"\0QUIT", 5);
    for (bool apop : {false, true}) {
        for (const char* field : {"xuser", "xpass"}) {
            for (const Text& bad : bads) {
                Components parts;
                auto scripted = std::make_unique<ScriptedWire>();
                ScriptedWire* wire = scripted.get();
                parts.wire = std::move(scripted);
                parts.glyph = MakeGlyph();
                parts.codec = MakeCodec();
                parts.hash = MakeMd5Hash();
                parts.timer = std::make_unique<ManualTimer>();
                popZef control(std::move(parts));
                std::vector<std::pair<long, std::string>> dones;
                control.Done = [&](long code, const Text& message) {
                    dones.emplace_back(code, TextToUtf8(message));
                };
                control.APOP(apop);
                const bool user = std::string(field) == "xuser";
                control.pop(u"pop.example", user ? u"bob" + bad : u"bob",
                            user ? u"secret" : u"sec" + bad + u"ret", 0);
                ++badInputsTried;
                const std::string label = std::string(field) + " with " +
                                          Printable(TextToUtf8(bad)) + (apop ? " (APOP)" : "");
                ASSERT_EQ(dones.size(), 1U) << label;
                EXPECT_EQ(dones[0], std::make_pair(-1L, "INVALID " + std::string(field) +
                                                            ": CR, LF OR NUL NOT ALLOWED"))
                    << label;
                EXPECT_TRUE(wire->connects.empty()) << label;
                refusedBeforeSending += wire->connects.empty() ? 1 : 0;
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
