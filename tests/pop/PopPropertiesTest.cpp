// popZef's properties, their persistence, and the caption.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Error.h"
#include "components/PropertyBag.h"
#include "tests/pop/PopTestDoubles.h"

namespace zef::testing {
namespace {

TEST(PopProperties, DefaultsAndTheFixedCopyright) {
    PopHarness h;
    popZef& c = *h.control;
    EXPECT_FALSE(c.TcpTraceOn());
    EXPECT_EQ(c.ConnectTimeout(), 0);
    EXPECT_EQ(c.TransTimeout(), 0);
    EXPECT_FALSE(c.APOP());
    EXPECT_EQ(c.Port(), u"110");
    EXPECT_FALSE(c.DeleteOnError());
    EXPECT_EQ(c.Security(), 0);
    EXPECT_TRUE(c.VerifyCert());
    EXPECT_EQ(c.CAFile(), u"");
    EXPECT_EQ(c.Caption(), c.Copyright());
    EXPECT_FALSE(h.timer->Enabled());
    EXPECT_EQ(h.timer->Interval(), 1000);
    const Text banner = c.Copyright();
    EXPECT_FALSE(banner.empty());
    c.Copyright(u"mine");
    EXPECT_EQ(c.Copyright(), banner);
}

TEST(PopProperties, SecurityAcceptsZeroToTwoAndRefusesOthers) {
    PopHarness h;
    h.control->Security(1);
    for (long bad : {3L, -1L}) {
        try {
            h.control->Security(bad);
            FAIL() << "Security " << bad << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380);
            EXPECT_EQ(e.source(), "zef.popZef.Security");
            EXPECT_EQ(e.description(), u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STLS])");
        }
        EXPECT_EQ(h.control->Security(), 1);
    }
}

TEST(PopProperties, PortGoesToTheConnect) {
    PopHarness h;
    h.control->Port(u"1110");
    h.Start();
    EXPECT_EQ(h.wire->connects.at(0).port, "1110");
}

TEST(PopPersistence, DefaultsAreNotWrittenAndLoadBack) {
    PopHarness h;
    FilePropertyBag bag;
    h.control->WriteProperties(bag);
    EXPECT_TRUE(bag.Values().empty());

    PopHarness loaded;
    loaded.control->Port(u"999");
    loaded.control->APOP(true);
    loaded.control->Security(2);
    loaded.control->VerifyCert(false);
    loaded.control->CAFile(u"ca.pem");
    loaded.control->ReadProperties(bag);
    EXPECT_EQ(loaded.control->Port(), u"110");
    EXPECT_FALSE(loaded.control->APOP());
    EXPECT_FALSE(loaded.control->DeleteOnError());
    EXPECT_EQ(loaded.control->ConnectTimeout(), 0);
    EXPECT_EQ(loaded.control->TransTimeout(), 0);
    EXPECT_EQ(loaded.control->Security(), 0);
    EXPECT_TRUE(loaded.control->VerifyCert());
    EXPECT_EQ(loaded.control->CAFile(), u"");
}

TEST(PopPersistence, PropertiesRoundTripUnderTheirKeys) {
    PopHarness h;
    popZef& c = *h.control;
    c.Port(u"995");
    c.APOP(true);
    c.DeleteOnError(true);
    c.ConnectTimeout(-7);  // stored without checks
    c.TransTimeout(30);
    c.Security(1);
    c.VerifyCert(false);
    c.CAFile(u"/etc/zef/ca.pem");
    c.TcpTraceOn(true);     // not persisted
    c.MaxLineLength(1000);  // not persisted
    FilePropertyBag bag;
    c.WriteProperties(bag);
    EXPECT_EQ(bag.Values().size(), 8u);
    EXPECT_EQ(bag.ReadProperty("Port", Variant()), Variant(u"995"));
    EXPECT_EQ(bag.ReadProperty("APOP", Variant()), Variant(true));
    EXPECT_EQ(bag.ReadProperty("DeleteOnError", Variant()), Variant(true));
    EXPECT_EQ(bag.ReadProperty("ConnectTimeout", Variant()), Variant(-7L));
    EXPECT_EQ(bag.ReadProperty("TransTimeout", Variant()), Variant(30L));
    EXPECT_EQ(bag.ReadProperty("Security", Variant()), Variant(1L));
    EXPECT_EQ(bag.ReadProperty("VerifyCert", Variant()), Variant(false));
    EXPECT_EQ(bag.ReadProperty("CAFile", Variant()), Variant(u"/etc/zef/ca.pem"));

    PopHarness other;
    other.control->ReadProperties(bag);
    EXPECT_EQ(other.control->Port(), u"995");
    EXPECT_TRUE(other.control->APOP());
    EXPECT_TRUE(other.control->DeleteOnError());
    EXPECT_EQ(other.control->ConnectTimeout(), -7);
    EXPECT_EQ(other.control->TransTimeout(), 30);
    EXPECT_EQ(other.control->Security(), 1);
    EXPECT_FALSE(other.control->VerifyCert());
    EXPECT_EQ(other.control->CAFile(), u"/etc/zef/ca.pem");
    EXPECT_FALSE(other.control->TcpTraceOn());
    EXPECT_EQ(other.control->MaxLineLength(), 64LL * 1024 * 1024);
}

TEST(PopPersistence, WrongTypeIsAClearError) {
    FilePropertyBag bag;
    bag.WriteProperty("TransTimeout", Variant(u"soon"), Variant(0L));
    PopHarness h;
    EXPECT_THROW(h.control->ReadProperties(bag), Error);
}

// A stored Security outside 0 to 2 is refused like an assignment, and nothing of the bag is
// taken.
TEST(PopPersistence, InvalidSecurityChangesNothing) {
    FilePropertyBag bag;
    bag.WriteProperty("Port", Variant(u"995"), Variant(u"110"));
    bag.WriteProperty("Security", Variant(7L), Variant(0L));
    PopHarness h;
    try {
        h.control->ReadProperties(bag);
        FAIL() << "Security 7 was loaded";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 380);
        EXPECT_EQ(e.source(), "zef.popZef.Security");
    }
    EXPECT_EQ(h.control->Port(), u"110");
    EXPECT_EQ(h.control->Security(), 0);
}

TEST(PopCaption, ChangesAreAnnouncedOnce) {
    PopHarness h;
    std::vector<std::string> captions;
    h.control->CaptionChanged = [&captions](const Text& caption) {
        captions.push_back(U8(caption));
    };
    h.Start();
    h.Receive("+OK\r\n");
    h.Receive("+OK\r\n");
    h.wire->RaiseClosed();
    EXPECT_EQ(captions,
              (std::vector<std::string>{"PROCESSING", "DONE(FAIL UNEXPECTED DISCONNECT)"}));
}

}  // namespace
}  // namespace zef::testing
