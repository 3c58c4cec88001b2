#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <type_traits>

#include "cf/CMVariant.h"

namespace {

using Type = CMVariant::ValueType;

static_assert(!std::is_constructible_v<CMVariant, bool>, "a bool must not become an Int");

TEST(VariantTest, ConstructorsGiveTheirKinds) {
    EXPECT_EQ(CMVariant().getValueType(), Type::Null);
    EXPECT_TRUE(CMVariant().isNull());
    EXPECT_EQ(CMVariant("literal").getValueType(), Type::String);
    EXPECT_EQ(CMVariant(std::string("s")).getValueType(), Type::String);
    EXPECT_EQ(CMVariant(std::string_view("s")).getValueType(), Type::String);
    EXPECT_EQ(CMVariant(7).getValueType(), Type::Int);
    EXPECT_EQ(CMVariant(0.5).getValueType(), Type::Double);
    EXPECT_EQ(CMVariant(CMVariantMap{}).getValueType(), Type::Map);
    EXPECT_EQ(CMVariant(CMVariantList{}).getValueType(), Type::List);
    EXPECT_TRUE(CMVariant(static_cast<const char*>(nullptr)).isNull());
    EXPECT_FALSE(CMVariant("").isNull());
}

TEST(VariantTest, IntValueConvertsEveryKind) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    const struct {
        CMVariant value;
        int32_t expected;
    } cases[] = {
        {CMVariant(42), 42},
        {CMVariant(-3.9), -3},
        {CMVariant(3.9), 3},
        {CMVariant(1e12), kMax},
        {CMVariant(-1e12), kMin},
        {CMVariant(std::nan("")), 0},
        {CMVariant(HUGE_VAL), kMax},
        {CMVariant("123"), 123},
        {CMVariant(" -17\n"), -17},
        {CMVariant("+8"), 8},
        {CMVariant("2.75"), 2},
        {CMVariant("1e3"), 1000},
        {CMVariant("99999999999"), kMax},
        {CMVariant("1e999"), kMax},
        {CMVariant("12abc"), 0},
        {CMVariant("abc"), 0},
        {CMVariant(""), 0},
        {CMVariant(), 0},
        {CMVariant(CMVariantMap{{"a", 1}}), 0},
        {CMVariant(CMVariantList{5}), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.intValue(), c.expected) << c.value.stringValue();
}

TEST(VariantTest, DoubleAndStringValues) {
    EXPECT_DOUBLE_EQ(CMVariant(3).doubleValue(), 3.0);
    EXPECT_DOUBLE_EQ(CMVariant("0.25").doubleValue(), 0.25);
    EXPECT_DOUBLE_EQ(CMVariant("-1e-3").doubleValue(), -0.001);
    EXPECT_DOUBLE_EQ(CMVariant("1e-999").doubleValue(), 0.0);
    EXPECT_DOUBLE_EQ(CMVariant("x").doubleValue(), 0.0);
    EXPECT_DOUBLE_EQ(CMVariant(CMVariantList{}).doubleValue(), 0.0);

    EXPECT_EQ(CMVariant(-12).stringValue(), "-12");
    EXPECT_EQ(CMVariant(0.1).stringValue(), "0.1");  // shortest form that reads back
    EXPECT_EQ(CMVariant(2.0).stringValue(), "2");
    EXPECT_EQ(std::stod(CMVariant(1.0 / 3.0).stringValue()), 1.0 / 3.0);
    EXPECT_EQ(CMVariant("text").stringValue(), "text");
    EXPECT_EQ(CMVariant().stringValue(), "");
    EXPECT_EQ(CMVariant(CMVariantMap{{"k", "v"}}).stringValue(), "");
    EXPECT_EQ(CMVariant(CMVariantList{"v"}).stringValue(), "");
}

TEST(VariantTest, MapAndListAccess) {
    const CMVariant map(CMVariantMap{{"b", 2}, {"a", "x"}});
    EXPECT_EQ(map.mapValue().size(), 2u);
    EXPECT_EQ(map.mapValue().at("a"), CMVariant("x"));
    EXPECT_TRUE(CMVariant(5).mapValue().empty());

    const CMVariant constInt(5);
    EXPECT_TRUE(constInt.listRef().empty());
    EXPECT_EQ(constInt.getValueType(), Type::Int);  // the const view never changes the value

    CMVariant value("text");
    value.listRef().push_back(1);
    value.listRef().push_back("two");
    EXPECT_EQ(value.getValueType(), Type::List);
    ASSERT_EQ(value.listRef().size(), 2u);
    EXPECT_EQ(value.listRef()[1].stringValue(), "two");
}

TEST(VariantTest, EqualityIsDeepAndKindSensitive) {
    const CMVariant nested(CMVariantMap{{"list", CMVariantList{1, "a", CMVariantMap{{"x", 0.5}}}}});
    CMVariant copy = nested;
    EXPECT_EQ(copy, nested);
    copy = CMVariant(CMVariantMap{{"list", CMVariantList{1, "a", CMVariantMap{{"x", 0.25}}}}});
    EXPECT_NE(copy, nested);
    EXPECT_NE(CMVariant(1), CMVariant(1.0));
    EXPECT_NE(CMVariant("1"), CMVariant(1));
    EXPECT_EQ(CMVariant(), CMVariant());

    CMVariant moved = std::move(copy);
    EXPECT_EQ(moved.getValueType(), Type::Map);
}

}  // namespace
