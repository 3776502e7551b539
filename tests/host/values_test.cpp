// Property-list values: number types, ordered dictionaries, NSNumber-style readers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "host/CoreFoundation.h"

using namespace cf;

namespace {

struct IntegerCase {
    const char* name;
    CFNumberType type;
    std::int64_t given;
    std::int64_t stored;
    std::uint32_t asUInt32;
};

class IntegerNumbers : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerNumbers, KeepTheirTypeAndWidth) {
    const IntegerCase& c = GetParam();
    const Number n = Number::integer(c.type, c.given);
    EXPECT_EQ(n.type(), c.type);
    EXPECT_FALSE(n.isReal());
    EXPECT_EQ(n.int64Value(), c.stored);
    EXPECT_EQ(n.uint32Value(), c.asUInt32);
    EXPECT_EQ(n.doubleValue(), static_cast<double>(c.stored));
}

INSTANTIATE_TEST_SUITE_P(
    Widths, IntegerNumbers,
    ::testing::Values(
        // An 8-bit char wraps around.
        IntegerCase{"charInRange", kCFNumberCharType, 100, 100, 100u},
        IntegerCase{"charWrapsAbove255", kCFNumberCharType, 300, 44, 44u},
        IntegerCase{"charWrapsToNegative", kCFNumberCharType, 200, -56, 0xFFFFFFC8u},
        IntegerCase{"charWrapsBelowMinus128", kCFNumberCharType, -129, 127, 127u},
        // A 32-bit int keeps its low 32 bits as a signed value; the unsigned
        // view gets bit 31 back.
        IntegerCase{"intBit31", kCFNumberIntType, 0x80000000LL, -2147483648LL, 0x80000000u},
        IntegerCase{"intAllOnes", kCFNumberIntType, 0xFFFFFFFFLL, -1, 0xFFFFFFFFu},
        IntegerCase{"intDropsHighWord", kCFNumberIntType, 0x1'2345'6789LL, 0x2345'6789LL,
                    0x23456789u},
        IntegerCase{"intNegative", kCFNumberIntType, -7, -7, 0xFFFFFFF9u},
        // 64-bit keeps everything; the unsigned 32-bit view is the low word.
        IntegerCase{"sint64Bit31", kCFNumberSInt64Type, 0x80000000LL, 0x80000000LL, 0x80000000u},
        IntegerCase{"sint64HighWord", kCFNumberSInt64Type, 0x1'0000'0005LL, 0x1'0000'0005LL, 5u},
        IntegerCase{"sint64Minimum", kCFNumberSInt64Type, std::numeric_limits<std::int64_t>::min(),
                    std::numeric_limits<std::int64_t>::min(), 0u}),
    [](const ::testing::TestParamInfo<IntegerCase>& info) { return std::string(info.param.name); });

TEST(RealNumbers, FloatIsRoundedToSinglePrecisionDoubleIsNot) {
    const Number f = Number::real(kCFNumberFloatType, 1.1);
    const Number d = Number::real(kCFNumberDoubleType, 1.1);
    EXPECT_TRUE(f.isReal());
    EXPECT_EQ(f.type(), kCFNumberFloatType);
    EXPECT_EQ(f.doubleValue(), static_cast<double>(1.1f));
    EXPECT_EQ(f.floatValue(), 1.1f);
    EXPECT_EQ(d.doubleValue(), 1.1);
    EXPECT_NE(f.doubleValue(), d.doubleValue());
}

TEST(RealNumbers, IntegerViewsTruncateTowardZeroAndSaturate) {
    struct Case {
        double real;
        std::int64_t expected;
    };
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max(), kMin = -kMax - 1;
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {{2.9, 2},      {-2.9, -2},     {4294967295.0, 4294967295LL},
                          {1e300, kMax}, {-1e300, kMin}, {std::nan(""), 0},
                          {inf, kMax}};
    for (const Case& c : cases) {
        const Number n = Number::real(kCFNumberDoubleType, c.real);
        EXPECT_EQ(n.int64Value(), c.expected) << c.real;
    }
    EXPECT_EQ(Number::real(kCFNumberDoubleType, 4294967295.0).uint32Value(), 0xFFFFFFFFu);
}

TEST(Numbers, MadeWithTheOtherKindOfTypeFollowTheirType) {
    // A real given to an integer type is truncated; an integer given to a real type becomes real.
    const Number i = Number::real(kCFNumberIntType, -3.7);
    EXPECT_FALSE(i.isReal());
    EXPECT_EQ(i.int64Value(), -3);
    const Number r = Number::integer(kCFNumberFloatType, 16777217);  // not representable as float
    EXPECT_TRUE(r.isReal());
    EXPECT_EQ(r.doubleValue(), 16777216.0);
}

TEST(Numbers, CompareByValueAcrossTypes) {
    EXPECT_EQ(Number::integer(kCFNumberCharType, 5), Number::integer(kCFNumberSInt64Type, 5));
    EXPECT_EQ(Number::integer(kCFNumberIntType, 3), Number::real(kCFNumberDoubleType, 3.0));
    EXPECT_EQ(Number::real(kCFNumberFloatType, 1.5), Number::real(kCFNumberDoubleType, 1.5));
    EXPECT_NE(Number::integer(kCFNumberIntType, 3), Number::real(kCFNumberDoubleType, 3.5));
    EXPECT_NE(Number::real(kCFNumberFloatType, 1.1), Number::real(kCFNumberDoubleType, 1.1));
    EXPECT_NE(Number::integer(kCFNumberIntType, 0x80000000LL),
              Number::integer(kCFNumberSInt64Type, 0x80000000LL));
}

TEST(Dictionaries, KeepInsertionOrderAndReplaceInPlace) {
    Dictionary d;
    d.set("zeta", Value(1 == 1));
    d.set("alpha", Value("a"));
    d.set("mid", CFNumberCreate(kCFNumberIntType, 7));
    d.set("alpha", Value("b"));  // replaces, stays second

    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d.items()[0].first, "zeta");
    EXPECT_EQ(d.items()[1].first, "alpha");
    EXPECT_EQ(*d.items()[1].second.string(), "b");
    EXPECT_EQ(d.items()[2].first, "mid");

    EXPECT_TRUE(d.remove("zeta"));
    EXPECT_FALSE(d.remove("zeta"));
    EXPECT_EQ(d.get("zeta"), nullptr);
    EXPECT_EQ(d.items()[0].first, "alpha");

    Dictionary same;
    same.set("alpha", Value("b"));
    same.set("mid", CFNumberCreate(kCFNumberSInt64Type, 7));
    EXPECT_EQ(d, same);
    Dictionary reordered;
    reordered.set("mid", CFNumberCreate(kCFNumberIntType, 7));
    reordered.set("alpha", Value("b"));
    EXPECT_FALSE(d == reordered);
}

TEST(Dictionaries, GetGivesAMutableValueInside) {
    Dictionary d;
    d.set("Cards", Value(Array{}));
    ASSERT_NE(d.get("Cards"), nullptr);
    ASSERT_NE(d.get("Cards")->array(), nullptr);
    d.get("Cards")->array()->push_back(Value("x"));
    EXPECT_EQ(d.get("Cards")->array()->size(), 1u);
}

TEST(ValueReaders, BoolValueAndFloatValueReadLikeNSNumber) {
    const Value yes(true), no(false);
    const Value zero = CFNumberCreate(kCFNumberIntType, 0);
    const Value two = CFNumberCreate(kCFNumberCharType, 2);
    const Value half = CFNumberCreateReal(kCFNumberDoubleType, 0.5);
    const Value text("YES");
    const Value data(Data{1});

    EXPECT_TRUE(boolValue(&yes));
    EXPECT_FALSE(boolValue(&no));
    EXPECT_FALSE(boolValue(&zero));
    EXPECT_TRUE(boolValue(&two));
    EXPECT_TRUE(boolValue(&half));
    // Strings as NSString's boolValue reads them (a defaults tool writes "YES").
    const std::pair<const char*, bool> strings[] = {{"YES", true},   {"yes", true}, {"true", true},
                                                    {" +007", true}, {"1", true},   {"NO", false},
                                                    {"0", false},    {"", false},   {"off", false}};
    for (const auto& [string, expected] : strings) {
        const Value text(string);
        EXPECT_EQ(boolValue(&text), expected) << string;
    }
    EXPECT_FALSE(boolValue(&data));
    EXPECT_FALSE(boolValue(nullptr));

    EXPECT_EQ(floatValue(&two), 2.0f);
    EXPECT_EQ(floatValue(&half), 0.5f);
    EXPECT_EQ(floatValue(&yes), 1.0f);
    EXPECT_EQ(floatValue(&no), 0.0f);
    EXPECT_EQ(floatValue(&text), 0.0f);
    EXPECT_EQ(floatValue(nullptr), 0.0f);
    const Value precise = CFNumberCreateReal(kCFNumberDoubleType, 378.00000001);
    EXPECT_EQ(floatValue(&precise), 378.0f);
}

}  // namespace
