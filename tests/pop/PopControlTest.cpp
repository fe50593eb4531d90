// What the scripts do not show: starting while a transfer runs or from inside Done, text
// conversion for the application, properties and their persistence.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "common/Error.h"
#include "components/PropertyBag.h"
#include "pop/PopControl.h"
#include "tests/support/ControlDriver.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

TEST(PopStart, SecondPopRaises59AndLeavesTheTransferRunning) {
    PopDriver d;
    d.Start();
    try {
        d.control->pop(u"other", u"x", u"y", 1);
        ADD_FAILURE() << "second pop accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 59);
        EXPECT_EQ(e.source(), "TALVORN:Smtp");
        EXPECT_EQ(e.description(), u"処理中です。");
    }
    EXPECT_EQ(d.wire->connects.size(), 1U);
    d.wire->Deliver("+OK\r\n");
    EXPECT_EQ(d.wire->TakeSent(), "USER bob\r\n");
}

TEST(PopStart, NextPopFromInsideDone) {
    PopDriver d;
    int dones = 0;
    d.control->Done = [&](long, const Text&) {
        if (++dones == 1) {
            d.control->pop(u"pop.example", u"again", u"pw", 0);
            throw std::runtime_error("done handler broke");  // nothing escapes into the loop
        }
    };
    d.Start();
    d.wire->RaiseClosed();
    ASSERT_EQ(d.wire->connects.size(), 2U);
    d.wire->RaiseConnected();
    d.wire->Deliver("+OK\r\n");
    EXPECT_EQ(d.wire->TakeSent(), "USER again\r\n");
    d.wire->RaiseClosed();
    EXPECT_EQ(dones, 2);
}

TEST(PopText, Any2UnicodeReadsEveryJapaneseEncoding) {
    PopDriver d({true, true});
    for (const char* bytes :
         {"\x82\xb1\x82\xf1", "\x1b$B$3$s\x1b(B", "\xe3\x81\x93\xe3\x82\x93", "\xa4\xb3\xa4\xf3"}) {
        EXPECT_EQ(d.control->Any2Unicode(bytes), u"こん") << Escaped(bytes);
    }
    EXPECT_EQ(d.control->Any2Unicode("plain"), u"plain");
    // Each call stands alone: no shift state and no encoding guess carries over to the next.
    EXPECT_EQ(d.control->Any2Unicode("\x1b$B$3$s"), u"こん");
    EXPECT_EQ(d.control->Any2Unicode("abc"), u"abc");
    EXPECT_EQ(d.control->Any2Unicode("\x82\xb1\x82\xf1\xb1\xb2"), u"こんｱｲ");
    EXPECT_EQ(d.control->Any2Unicode("\xb1\xb2"), u"渦");
}

TEST(PopProperties, RefusedValuesRaise380AndKeepTheOldValue) {
    PopDriver d;
    popZef& c = *d.control;
    EXPECT_EQ(c.MaxLineLength(), 64LL << 20);
    c.Security(1);
    c.MaxLineLength(100);
    for (long bad : {3L, -1L}) {
        try {
            c.Security(bad);
            ADD_FAILURE() << "Security " << bad << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380);
            EXPECT_EQ(e.source(), "zef.popZef.Security");
            EXPECT_EQ(e.description(), u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STLS])");
        }
    }
    EXPECT_THROW(c.MaxLineLength(0), Error);
    EXPECT_EQ(c.Security(), 1);
    EXPECT_EQ(c.MaxLineLength(), 100);
    const Text banner = c.Copyright();
    EXPECT_EQ(c.Caption(), banner);
    c.Copyright(u"mine");
    EXPECT_EQ(c.Copyright(), banner);
}

// Every persisted property under its key: a bag of values other than the defaults is read into
// a control, which shows them and writes the same bag back; TcpTraceOn and MaxLineLength are not
// persisted.
TEST(PopPersistence, ChangedValuesRoundTripAndDefaultsAreNotWritten) {
    PopDriver d;
    popZef& c = *d.control;
    FilePropertyBag defaults;
    c.WriteProperties(defaults);
    EXPECT_TRUE(defaults.Values().empty());

    FilePropertyBag bag;
    const std::pair<const char*, Variant> stored[] = {
        {"Port", Variant(u"995")},           {"APOP", Variant(true)},
        {"DeleteOnError", Variant(true)},    {"ConnectTimeout", Variant(-7L)},
        {"TransTimeout", Variant(30L)},      {"Security", Variant(1L)},
        {"VerifyCert", Variant(false)},      {"CAFile", Variant(u"/etc/zef/ca.pem")},
        {"NestedDelimiters", Variant(true)}, {"ParseMessages", Variant(false)},
        {"AskCapabilities", Variant(true)},  {"SaslMechanism", Variant(u"SCRAM-SHA-256")},
        {"AutoAuth", Variant(true)},         {"XOAuth2OneStep", Variant(true)},
        {"DesyncGuard", Variant(true)},      {"Pipelining", Variant(true)}};
    std::set<std::string> keys;
    for (const auto& [key, value] : stored) {
        bag.WriteProperty(key, value, Variant());
        keys.emplace(key);
    }
    std::set<std::string> tableKeys;  // no key is persisted without a row above
    for (const auto& property : pop::PersistedProperties()) {
        tableKeys.insert(property.key);
    }
    EXPECT_EQ(keys, tableKeys);
    c.TcpTraceOn(true);
    c.MaxLineLength(1000);
    c.ReadProperties(bag);
    const std::vector<Variant> shown = {Variant(c.Port()),
                                        Variant(c.APOP()),
                                        Variant(c.DeleteOnError()),
                                        Variant(c.ConnectTimeout()),
                                        Variant(c.TransTimeout()),
                                        Variant(c.Security()),
                                        Variant(c.VerifyCert()),
                                        Variant(c.CAFile()),
                                        Variant(c.NestedDelimiters()),
                                        Variant(c.ParseMessages()),
                                        Variant(c.AskCapabilities()),
                                        Variant(c.SaslMechanism()),
                                        Variant(c.AutoAuth()),
                                        Variant(c.XOAuth2OneStep()),
                                        Variant(c.DesyncGuard()),
                                        Variant(c.Pipelining())};
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i], stored[i].second) << stored[i].first;
    }
    FilePropertyBag written;
    c.WriteProperties(written);
    EXPECT_EQ(written.Values(), bag.Values());
    c.ReadProperties(FilePropertyBag());
    EXPECT_EQ(c.Port(), u"110");
    EXPECT_TRUE(c.TcpTraceOn());
    EXPECT_EQ(c.MaxLineLength(), 1000);
}

TEST(PopPersistence, ABadBagIsAClearErrorAndChangesNothing) {
    FilePropertyBag converted;  // numbers stored for text and for a Boolean are read as such
    converted.WriteProperty("Port", Variant(995L), Variant());
    converted.WriteProperty("APOP", Variant(1L), Variant());
    PopDriver read;
    read.control->ReadProperties(converted);
    EXPECT_EQ(std::pair(read.control->Port(), read.control->APOP()), std::pair(Text(u"995"), true));

    struct Case {
        const char* key = nullptr;
        Variant value;
        long number = 0;  // 13: a value of the wrong type; 380: a value out of range
    };
    for (const auto& [key, value, number] :
         {Case{"TransTimeout", Variant(u"30"), 13}, Case{"Security", Variant(7L), 380},
          Case{"SaslMechanism", Variant(u"LOGIN"), 380}}) {
        FilePropertyBag bag;
        bag.WriteProperty("Port", Variant(u"995"), Variant());
        bag.WriteProperty(key, value, Variant());
        PopDriver d;
        try {
            d.control->ReadProperties(bag);
            ADD_FAILURE() << key << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), number) << key;
        }
        EXPECT_EQ(d.control->Port(), u"110") << key;
        EXPECT_EQ(d.control->Security(), 0) << key;
    }
}

}  // namespace
}  // namespace zef::test
