// popZef's properties, their persistence, and the caption.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Error.h"
#include "components/PropertyBag.h"
#include "tests/pop/PopTestDoubles.h"

namespace zef::testing {
namespace {

TEST(PopProperties, DefaultsAfterCreation) {
    PopHarness h;
    popZef& c = *h.control;
    EXPECT_FALSE(c.TcpTraceOn());
    EXPECT_EQ(c.ConnectTimeout(), 0);
    EXPECT_EQ(c.TransTimeout(), 0);
    EXPECT_FALSE(c.APOP());
    EXPECT_EQ(c.Port(), u"110");
    EXPECT_FALSE(c.DeleteOnError());
    EXPECT_EQ(c.Caption(), c.Copyright());
    EXPECT_FALSE(h.timer->Enabled());
    EXPECT_EQ(h.timer->Interval(), 1000);
}

TEST(PopProperties, CopyrightIgnoresWrites) {
    PopHarness h;
    const Text banner = h.control->Copyright();
    EXPECT_FALSE(banner.empty());
    h.control->Copyright(u"mine");
    EXPECT_EQ(h.control->Copyright(), banner);
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
    loaded.control->ReadProperties(bag);
    EXPECT_EQ(loaded.control->Port(), u"110");
    EXPECT_FALSE(loaded.control->APOP());
    EXPECT_FALSE(loaded.control->DeleteOnError());
    EXPECT_EQ(loaded.control->ConnectTimeout(), 0);
    EXPECT_EQ(loaded.control->TransTimeout(), 0);
}

TEST(PopPersistence, FivePropertiesRoundTripUnderTheirKeys) {
    PopHarness h;
    popZef& c = *h.control;
    c.Port(u"995");
    c.APOP(true);
    c.DeleteOnError(true);
    c.ConnectTimeout(-7);  // stored without checks
    c.TransTimeout(30);
    c.TcpTraceOn(true);     // not persisted
    c.MaxLineLength(1000);  // not persisted
    FilePropertyBag bag;
    c.WriteProperties(bag);
    EXPECT_EQ(bag.Values().size(), 5u);
    EXPECT_EQ(bag.ReadProperty("Port", Variant()), Variant(u"995"));
    EXPECT_EQ(bag.ReadProperty("APOP", Variant()), Variant(true));
    EXPECT_EQ(bag.ReadProperty("DeleteOnError", Variant()), Variant(true));
    EXPECT_EQ(bag.ReadProperty("ConnectTimeout", Variant()), Variant(-7L));
    EXPECT_EQ(bag.ReadProperty("TransTimeout", Variant()), Variant(30L));

    PopHarness other;
    other.control->ReadProperties(bag);
    EXPECT_EQ(other.control->Port(), u"995");
    EXPECT_TRUE(other.control->APOP());
    EXPECT_TRUE(other.control->DeleteOnError());
    EXPECT_EQ(other.control->ConnectTimeout(), -7);
    EXPECT_EQ(other.control->TransTimeout(), 30);
    EXPECT_FALSE(other.control->TcpTraceOn());
    EXPECT_EQ(other.control->MaxLineLength(), 64LL * 1024 * 1024);
}

TEST(PopPersistence, WrongTypeIsAClearError) {
    FilePropertyBag bag;
    bag.WriteProperty("TransTimeout", Variant(u"soon"), Variant(0L));
    PopHarness h;
    EXPECT_THROW(h.control->ReadProperties(bag), Error);
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
