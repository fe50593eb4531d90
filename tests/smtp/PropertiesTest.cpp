// Defaults, validation and persistence of the smtpZef properties.
#include <gtest/gtest.h>

#include <functional>

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

// A refused value raises 380 with the property's own source and text, and keeps the old one.
void ExpectRefused(const std::function<void()>& set, const char* source, const Text& text) {
    try {
        set();
        ADD_FAILURE() << source << ": the value was accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 380) << source;
        EXPECT_EQ(e.source(), source);
        EXPECT_EQ(e.description(), text) << source;
    }
}

TEST(SmtpProperties, RangesAreCheckedAndRefusalsKeepTheValue) {
    SmtpHarness h;
    smtpZef& c = *h.control;
    c.Auth(3);
    c.Security(2);
    for (long bad : {-1L, 4L}) {
        ExpectRefused([&] { c.Auth(bad); }, "TALVORN.smtp.Auth",
                      u"Invalid Auth Mechanism(0[NO AUTH],1[CRAM-MD5],2[LOGIN],3[PLAIN])");
    }
    for (long bad : {-1L, 3L}) {
        ExpectRefused([&] { c.Security(bad); }, "zef.smtpZef.Security",
                      u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STARTTLS])");
    }
    EXPECT_EQ(c.Auth(), 3);
    EXPECT_EQ(c.Security(), 2);
    // MimeMultipart is checked without regard to case and keeps the case given.
    for (const char16_t* subtype : {u"MIXED", u"Alternative", u"parallel", u""}) {
        c.MimeMultipart(subtype);
        EXPECT_EQ(c.MimeMultipart(), subtype);
    }
    c.MimeMultipart(u"mixed");
    ExpectRefused([&] { c.MimeMultipart(u"related"); }, "TALVORN.smtp.MimeMultiPart",
                  u"Invalid MimeSubType");
    EXPECT_EQ(c.MimeMultipart(), u"mixed");
    c.Copyright(u"mine");  // ignored
    EXPECT_EQ(c.Copyright(), u"zef smtpZef 0.1");
}

TEST(SmtpPersistence, WritesEveryKeyInOrderWithItsDefault) {
    SmtpHarness h;
    RecordingBag bag;
    h.control->WriteProperties(bag);
    const std::vector<std::pair<std::string, Variant>> expected = {
        {"Port", Variant(u"25")},        {"Hostname", Variant(u"")},
        {"Auth", Variant(0L)},           {"User", Variant(u"")},
        {"Pass", Variant(u"")},          {"AngleBracketType", Variant(0L)},
        {"KanjiIn", Variant(u"$B")},     {"KanjiOut", Variant(u"(J")},
        {"Fold78", Variant(1L)},         {"Charset", Variant(u"iso-2022-jp")},
        {"ConnectTimeout", Variant(0L)}, {"TransTimeout", Variant(0L)},
        {"Security", Variant(0L)},       {"VerifyCert", Variant(true)},
        {"CAFile", Variant(u"")}};
    std::vector<std::pair<std::string, Variant>> written;
    for (const auto& write : bag.writes) {
        written.emplace_back(write.name, write.defaultValue);
    }
    EXPECT_EQ(written, expected);
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
