#include "pa/sysutils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

class CommaSeparator : public ::testing::Test {
protected:
    void SetUp() override { pa::setDecimalSeparator(','); }
    void TearDown() override { pa::setDecimalSeparator('.'); }
};

TEST_F(CommaSeparator, GeneralFormatWithFifteenDigits) {
    EXPECT_EQ(pa::floatToStr(0), "0");
    EXPECT_EQ(pa::floatToStr(-2.5L), "-2,5");
    EXPECT_EQ(pa::floatToStr(177.0639954L), "177,0639954");
    EXPECT_EQ(pa::floatToStr(0.7947480083L), "0,7947480083");
    EXPECT_EQ(pa::floatToStr(3.410619911E-6L), "3,410619911E-6");
    EXPECT_EQ(pa::floatToStr(1.0L / 3.0L), "0,333333333333333");
    EXPECT_EQ(pa::floatToStr(2.0L / 3.0L), "0,666666666666667");
    EXPECT_EQ(pa::floatToStr(0.00001L), "0,00001");
    EXPECT_EQ(pa::floatToStr(0.000001L), "1E-6");
    EXPECT_EQ(pa::floatToStr(123456789012345.0L), "123456789012345");
    EXPECT_EQ(pa::floatToStr(1234567890123456.0L), "1,23456789012346E15");
    EXPECT_EQ(pa::floatToStr(1e20L), "1E20");
    EXPECT_EQ(pa::floatToStr(100), "100");
    EXPECT_EQ(pa::floatToStr(std::numeric_limits<long double>::infinity()), "INF");
}

TEST_F(CommaSeparator, FloatConversionTakesOnlyTheSeparator) {
    long double v = 99;
    EXPECT_TRUE(pa::tryStrToFloat(" 2,5 ", v));
    EXPECT_EQ(v, 2.5L);
    EXPECT_TRUE(pa::tryStrToFloat("-2,5e3", v));
    EXPECT_EQ(v, -2500.0L);
    EXPECT_TRUE(pa::tryStrToFloat("+1E-2", v));
    EXPECT_NEAR(static_cast<double>(v), 0.01, 1e-15);
    EXPECT_TRUE(pa::tryStrToFloat(",5", v));
    EXPECT_EQ(v, 0.5L);
    v = 99;
    for (const char* bad : {"2.5", "", "-", "e5", "1e", "1e+", "1,2,3", "abc", "1 2", "0x10"}) {
        EXPECT_FALSE(pa::tryStrToFloat(bad, v)) << bad;
    }
    EXPECT_EQ(v, 99); // untouched on failure
}

TEST(Conversions, PointSeparatorByDefault) {
    EXPECT_EQ(pa::decimalSeparator(), '.');
    long double v = 0;
    EXPECT_TRUE(pa::tryStrToFloat("2.5", v));
    EXPECT_EQ(v, 2.5L);
    EXPECT_FALSE(pa::tryStrToFloat("2,5", v));
    EXPECT_EQ(pa::floatToStr(2.5L), "2.5");
}

TEST(Conversions, IntegersInTheSigned32BitRange) {
    std::int32_t v = 5;
    EXPECT_TRUE(pa::tryStrToInt("2147483647", v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_TRUE(pa::tryStrToInt("-2147483648", v));
    EXPECT_EQ(v, std::numeric_limits<std::int32_t>::min());
    EXPECT_TRUE(pa::tryStrToInt(" +7 ", v));
    EXPECT_EQ(v, 7);
    for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999", "", "+", "1,5",
                            "1.5", "12a", "--1"}) {
        EXPECT_FALSE(pa::tryStrToInt(bad, v)) << bad;
    }
    EXPECT_EQ(v, 7);
    EXPECT_EQ(pa::intToStr(-42), "-42");
}

} // namespace
