#include "common/MultiPart.h"

#include <gtest/gtest.h>

#include <regex>

#include "common/Unicode.h"

namespace zef {
namespace {

TEST(MultiPart, CountsPartsFromOne) {
    MultiPart part;
    EXPECT_EQ(part.Part(), 0);
    EXPECT_TRUE(part.Boundary().empty());
    EXPECT_TRUE(part.Tag().empty());
    EXPECT_EQ(part.NextPart(), 1);
    EXPECT_EQ(part.NextPart(), 2);
    EXPECT_EQ(part.Part(), 2);
}

TEST(MultiPart, BoundaryHasPrefixTimeStampDepthAndParent) {
    MultiPart part;
    part.NewBoundary(1, 1);
    std::string boundary = TextToUtf8(part.Boundary());
    EXPECT_EQ(boundary.size(), 35u);
    EXPECT_TRUE(std::regex_match(boundary, std::regex(R"(-----_=_Boundary_\d{14}_1_1)")))
        << boundary;

    part.NewBoundary(10, 12);
    EXPECT_TRUE(TextToUtf8(part.Boundary()).ends_with("_10_12"));
    part.NewBoundary(-1, 0);
    EXPECT_TRUE(TextToUtf8(part.Boundary()).ends_with("_-1_0"));
}

TEST(MultiPart, BoundaryTimeStampIsTheLocalClock) {
    std::time_t before = std::time(nullptr);
    MultiPart part;
    part.NewBoundary(2, 3);
    std::time_t after = std::time(nullptr);
    auto stampOf = [](std::time_t t) {
        std::tm local{};
        localtime_r(&t, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
        return std::string(text);
    };
    std::string stamp = TextToUtf8(part.Boundary()).substr(17, 14);
    EXPECT_TRUE(stamp == stampOf(before) || stamp == stampOf(after)) << stamp;
}

TEST(MultiPart, NewBoundaryLeavesCounterAndNestedDiffers) {
    MultiPart outer;
    MultiPart inner;
    outer.NextPart();
    outer.NextPart();
    outer.NewBoundary(1, 1);
    inner.NewBoundary(2, 2);
    EXPECT_EQ(outer.Part(), 2);
    EXPECT_NE(outer.Boundary(), inner.Boundary());
}

}  // namespace
}  // namespace zef
