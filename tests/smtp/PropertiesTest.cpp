// Defaults, validation and persistence of the smtpZef properties.
#include <gtest/gtest.h>

#include "common/Error.h"
#include "tests/smtp/SmtpHarness.h"

namespace zef::testing {
namespace {

TEST(SmtpProperties, DefaultsAfterCreation) {
    SmtpHarness h;
    smtpZef& c = *h.control;
    EXPECT_FALSE(c.TcpTraceOn());
    EXPECT_TRUE(c.ToAddr().IsEmpty());
    EXPECT_EQ(c.FromAddr(), u"");
    EXPECT_EQ(c.ConnectTimeout(), 0);
    EXPECT_EQ(c.TransTimeout(), 0);
    EXPECT_EQ(c.Auth(), 0);
    EXPECT_EQ(c.KanjiIn(), u"$B");
    EXPECT_EQ(c.KanjiOut(), u"(J");
    EXPECT_EQ(c.User(), u"");
    EXPECT_EQ(c.Pass(), u"");
    EXPECT_EQ(c.MimeMultipart(), u"");
    EXPECT_EQ(c.AngleBracketType(), 0);
    EXPECT_EQ(c.Hostname(), u"client.example");  // the socket's local host name
    EXPECT_EQ(c.Port(), u"25");
    EXPECT_EQ(c.CharSet(), u"iso-2022-jp");
    EXPECT_EQ(c.Fold78(), 1);
    EXPECT_EQ(c.Security(), 0);
    EXPECT_TRUE(c.VerifyCert());
    EXPECT_EQ(c.CAFile(), u"");
    EXPECT_EQ(c.Caption(), u"zef smtpZef 0.1");
    EXPECT_EQ(c.Copyright(), u"zef smtpZef 0.1");
    EXPECT_FALSE(h.timer->Enabled());
    EXPECT_EQ(h.timer->Interval(), 1000);
}

TEST(SmtpProperties, AuthAcceptsZeroToThreeAndRefusesOthers) {
    SmtpHarness h;
    h.control->Auth(3);
    EXPECT_EQ(h.control->Auth(), 3);
    for (long bad : {4L, -1L}) {
        try {
            h.control->Auth(bad);
            FAIL() << "Auth " << bad << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380);
            EXPECT_EQ(e.source(), "TALVORN.smtp.Auth");
            EXPECT_EQ(e.description(),
                      u"Invalid Auth Mechanism(0[NO AUTH],1[CRAM-MD5],2[LOGIN],3[PLAIN])");
        }
        EXPECT_EQ(h.control->Auth(), 3);
    }
}

TEST(SmtpProperties, SecurityAcceptsZeroToTwoAndRefusesOthers) {
    SmtpHarness h;
    h.control->Security(2);
    EXPECT_EQ(h.control->Security(), 2);
    for (long bad : {3L, -1L}) {
        try {
            h.control->Security(bad);
            FAIL() << "Security " << bad << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380);
            EXPECT_EQ(e.source(), "zef.smtpZef.Security");
            EXPECT_EQ(e.description(),
                      u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STARTTLS])");
        }
        EXPECT_EQ(h.control->Security(), 2);
    }
}

TEST(SmtpProperties, MimeMultipartChecksCaseInsensitivelyAndKeepsCase) {
    SmtpHarness h;
    h.control->MimeMultipart(u"MIXED");
    EXPECT_EQ(h.control->MimeMultipart(), u"MIXED");
    h.control->MimeMultipart(u"Alternative");
    h.control->MimeMultipart(u"parallel");
    h.control->MimeMultipart(u"");
    EXPECT_EQ(h.control->MimeMultipart(), u"");
    h.control->MimeMultipart(u"mixed");
    try {
        h.control->MimeMultipart(u"related");
        FAIL() << "related was accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 380);
        EXPECT_EQ(e.source(), "TALVORN.smtp.MimeMultiPart");
        EXPECT_EQ(e.description(), u"Invalid MimeSubType");
    }
    EXPECT_EQ(h.control->MimeMultipart(), u"mixed");
}

TEST(SmtpProperties, CopyrightIgnoresWrites) {
    SmtpHarness h;
    h.control->Copyright(u"mine");
    EXPECT_EQ(h.control->Copyright(), u"zef smtpZef 0.1");
}

TEST(SmtpPersistence, WritesEveryKeyInOrderWithItsDefault) {
    SmtpHarness h;
    RecordingBag bag;
    h.control->WriteProperties(bag);
    std::vector<std::string> names;
    for (const auto& write : bag.writes) {
        names.push_back(write.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Port", "Hostname", "Auth", "User", "Pass",
                                               "AngleBracketType", "KanjiIn", "KanjiOut", "Fold78",
                                               "Charset", "ConnectTimeout", "TransTimeout",
                                               "Security", "VerifyCert", "CAFile"}));
    EXPECT_EQ(bag.writes[0].defaultValue, Variant(u"25"));
    EXPECT_EQ(bag.writes[1].defaultValue, Variant(u""));
    EXPECT_EQ(bag.writes[2].defaultValue, Variant(0L));
    EXPECT_EQ(bag.writes[5].defaultValue, Variant(0L));
    EXPECT_EQ(bag.writes[6].defaultValue, Variant(u"$B"));
    EXPECT_EQ(bag.writes[7].defaultValue, Variant(u"(J"));
    EXPECT_EQ(bag.writes[8].defaultValue, Variant(1L));
    EXPECT_EQ(bag.writes[9].defaultValue, Variant(u"iso-2022-jp"));
    EXPECT_EQ(bag.writes[12].defaultValue, Variant(0L));
    EXPECT_EQ(bag.writes[13].defaultValue, Variant(true));
    EXPECT_EQ(bag.writes[14].defaultValue, Variant(u""));
    // Only the local host name differs from its default after creation.
    ASSERT_EQ(bag.stored.size(), 1U);
    EXPECT_EQ(bag.stored.at("Hostname"), Variant(u"client.example"));
}

TEST(SmtpPersistence, RoundTripsChangedValuesAndPassAsPlainText) {
    SmtpHarness h;
    smtpZef& c = *h.control;
    c.Port(u"587");
    c.Hostname(u"");
    c.Auth(2);
    c.User(u"tim");
    c.Pass(u"secret");
    c.AngleBracketType(2);
    c.KanjiIn(u"$@");
    c.KanjiOut(u"(B");
    c.Fold78(0);
    c.CharSet(u"");
    c.ConnectTimeout(5);
    c.TransTimeout(30);
    c.Security(1);
    c.VerifyCert(false);
    c.CAFile(u"/etc/zef/ca.pem");
    RecordingBag bag;
    c.WriteProperties(bag);
    EXPECT_EQ(bag.stored.count("Hostname"), 0U);
    EXPECT_EQ(bag.stored.at("Pass"), Variant(u"secret"));

    SmtpHarness other;
    other.control->ReadProperties(bag);
    smtpZef& o = *other.control;
    EXPECT_EQ(bag.reads, (std::vector<std::string>{
                             "Port", "Hostname", "Auth", "User", "Pass", "AngleBracketType",
                             "KanjiIn", "KanjiOut", "Fold78", "Charset", "ConnectTimeout",
                             "TransTimeout", "Security", "VerifyCert", "CAFile"}));
    EXPECT_EQ(o.Port(), u"587");
    EXPECT_EQ(o.Hostname(), u"");  // a saved empty name replaces the local one
    EXPECT_EQ(o.Auth(), 2);
    EXPECT_EQ(o.User(), u"tim");
    EXPECT_EQ(o.Pass(), u"secret");
    EXPECT_EQ(o.AngleBracketType(), 2);
    EXPECT_EQ(o.KanjiIn(), u"$@");
    EXPECT_EQ(o.KanjiOut(), u"(B");
    EXPECT_EQ(o.Fold78(), 0);
    EXPECT_EQ(o.CharSet(), u"");
    EXPECT_EQ(o.ConnectTimeout(), 5);
    EXPECT_EQ(o.TransTimeout(), 30);
    EXPECT_EQ(o.Security(), 1);
    EXPECT_FALSE(o.VerifyCert());
    EXPECT_EQ(o.CAFile(), u"/etc/zef/ca.pem");
}

TEST(SmtpPersistence, EmptyBagGivesDefaultsAndEmptyHostname) {
    SmtpHarness h;
    h.control->Port(u"2525");
    RecordingBag empty;
    h.control->ReadProperties(empty);
    EXPECT_EQ(h.control->Port(), u"25");
    EXPECT_EQ(h.control->Hostname(), u"");
}

TEST(SmtpPersistence, ConvertsNumbersStoredAsTextAndTextStoredAsNumbers) {
    SmtpHarness h;
    RecordingBag bag;
    bag.stored["Auth"] = Variant(u"1");
    bag.stored["Port"] = Variant(2525L);
    bag.stored["TransTimeout"] = Variant(7.4);
    h.control->ReadProperties(bag);
    EXPECT_EQ(h.control->Auth(), 1);
    EXPECT_EQ(h.control->Port(), u"2525");
    EXPECT_EQ(h.control->TransTimeout(), 7);
}

TEST(SmtpPersistence, RefusedBagChangesNothing) {
    struct Case {
        const char* key = nullptr;
        Variant value;
        const char* source = nullptr;
    };
    const Case cases[] = {
        {"Auth", Variant(9L), "TALVORN.smtp.Auth"},
        {"ConnectTimeout", Variant(u"soon"), "TALVORN.smtp.ReadProperties"},
        {"Port", Variant(true), "TALVORN.smtp.ReadProperties"},
        {"Security", Variant(3L), "zef.smtpZef.Security"},
        {"VerifyCert", Variant(u"no"), "TALVORN.smtp.ReadProperties"},
    };
    for (const Case& c : cases) {
        SmtpHarness h;
        h.control->Port(u"2525");
        h.control->User(u"kept");
        h.control->Security(2);
        RecordingBag bag;
        bag.stored["User"] = Variant(u"new");
        bag.stored[c.key] = c.value;
        try {
            h.control->ReadProperties(bag);
            FAIL() << c.key << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380) << c.key;
            EXPECT_EQ(e.source(), c.source) << c.key;
        }
        EXPECT_EQ(h.control->Port(), u"2525") << c.key;
        EXPECT_EQ(h.control->User(), u"kept") << c.key;
        EXPECT_EQ(h.control->Auth(), 0) << c.key;
        EXPECT_EQ(h.control->Security(), 2) << c.key;
    }
}

}  // namespace
}  // namespace zef::testing
