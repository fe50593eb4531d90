#include "common/Stack.h"

#include <gtest/gtest.h>

#include "common/Error.h"
#include "common/MultiPart.h"

namespace zef {
namespace {

TEST(Stack, PopsInReverseOrderAndKeepsObjectIdentity) {
    Stack stack;
    auto object = std::make_shared<MultiPart>();
    stack.Push(Variant(u"a"));
    stack.Push(Variant(7));
    stack.Push(Variant(std::static_pointer_cast<Object>(object)));
    EXPECT_EQ(stack.Count(), 3);

    Variant top = stack.pop();
    EXPECT_EQ(top.VarType(), Variant::kObject);
    EXPECT_EQ(top.AsObject().get(), object.get());
    EXPECT_EQ(*stack.pop().AsLong(), 7);
    EXPECT_EQ(*stack.pop().AsString(), u"a");
    EXPECT_EQ(stack.Count(), 0);
}

TEST(Stack, PopOnEmptyRaises380AndChangesNothing) {
    Stack stack;
    try {
        stack.pop();
        FAIL() << "pop on an empty stack must raise";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 380);
        EXPECT_EQ(e.source(), "TALVORN.STACK.POP");
        EXPECT_EQ(e.description(), u"NO STACK DATA");
    }
    EXPECT_EQ(stack.Count(), 0);
}

// Clear releases the objects it held, and the stack is usable afterwards.
TEST(Stack, ClearReleasesObjectsAndStackIsUsableAfterwards) {
    Stack stack;
    stack.Clear();  // on an empty stack: no error
    std::weak_ptr<MultiPart> watch;
    {
        auto object = std::make_shared<MultiPart>();
        watch = object;
        stack.Push(Variant(std::static_pointer_cast<Object>(object)));
        stack.Push(Variant(2));
    }
    EXPECT_FALSE(watch.expired());
    stack.Clear();
    EXPECT_TRUE(watch.expired());
    stack.Push(Variant(1));
    EXPECT_EQ(stack.Count(), 1);
    EXPECT_EQ(*stack.pop().AsLong(), 1);
}

TEST(Variant, ReportsHostTypeCodes) {
    EXPECT_EQ(Variant().VarType(), Variant::kEmpty);
    EXPECT_EQ(Variant(true).VarType(), Variant::kBoolean);
    EXPECT_EQ(Variant(3L).VarType(), Variant::kLong);
    EXPECT_EQ(Variant(u"x").VarType(), 8);
    EXPECT_EQ(Variant(StringArray::OneBased({u"a"})).VarType(), 8200);
}

TEST(Variant, StringArrayKeepsItsLowerBound) {
    StringArray oneBased = StringArray::OneBased({u"a", u"b"});
    EXPECT_EQ(oneBased.UpperBound(), 2);
    EXPECT_EQ(oneBased.At(1), u"a");
    EXPECT_FALSE(oneBased.Has(0));
    StringArray zeroBased{0, {u"a", u"b"}};
    EXPECT_EQ(zeroBased.UpperBound(), 1);
    EXPECT_EQ(zeroBased.At(1), u"b");
}

}  // namespace
}  // namespace zef
