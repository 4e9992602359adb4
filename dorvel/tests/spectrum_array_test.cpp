#include "dorvel/spectrum_array.h"

#include <gtest/gtest.h>

namespace dorvel {
namespace {

void fill(SpectrumArray& a, double base) {
    for (int32_t i = 0; i < a.GetSize(); ++i) {
        *a.GetElementPtr(i) = base + i;
    }
}

TEST(SpectrumArray, NewArrayIsEmptyAndHasNoElements) {
    const SpectrumArray a;
    EXPECT_EQ(a.GetSize(), 0);
    EXPECT_EQ(a.GetElementPtr(0), nullptr);
}

TEST(SpectrumArray, GrowingKeepsValuesAndZeroesNewOnes) {
    SpectrumArray a;
    ASSERT_TRUE(a.SetSize(4, 0));
    for (int32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(*a.GetElementPtr(i), 0.0);
    }
    fill(a, 100);
    ASSERT_TRUE(a.SetSize(1000, 0));
    EXPECT_EQ(a.GetSize(), 1000);
    for (int32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(*a.GetElementPtr(i), 100.0 + i);
    }
    EXPECT_EQ(*a.GetElementPtr(4), 0.0);
    EXPECT_EQ(*a.GetElementPtr(999), 0.0);
}

TEST(SpectrumArray, ShrinkingKeepsThePrefixAndRegrowingGivesNoStaleValues) {
    SpectrumArray a;
    ASSERT_TRUE(a.SetSize(10, 0));
    fill(a, 1);
    ASSERT_TRUE(a.SetSize(3, 0));
    EXPECT_EQ(a.GetSize(), 3);
    EXPECT_EQ(*a.GetElementPtr(2), 3.0);
    EXPECT_EQ(a.GetElementPtr(3), nullptr);
    ASSERT_TRUE(a.SetSize(10, 0));
    EXPECT_EQ(*a.GetElementPtr(2), 3.0);
    EXPECT_EQ(*a.GetElementPtr(3), 0.0);
    EXPECT_EQ(*a.GetElementPtr(9), 0.0);
}

TEST(SpectrumArray, ElementAccessIsBounded) {
    SpectrumArray a;
    ASSERT_TRUE(a.SetSize(5, 0));
    EXPECT_EQ(a.GetElementPtr(-1), nullptr);
    EXPECT_EQ(a.GetElementPtr(5), nullptr);
    EXPECT_EQ(a.GetElementPtr(INT32_MIN), nullptr);
    EXPECT_EQ(a.GetElementPtr(INT32_MAX), nullptr);
    ASSERT_NE(a.GetElementPtr(4), nullptr);
    EXPECT_EQ(a.GetElementPtr(4), a.GetElementPtr(0) + 4);
    const SpectrumArray& c = a;
    EXPECT_EQ(c.GetElementPtr(4), a.GetElementPtr(4));
    EXPECT_EQ(c.GetElementPtr(5), nullptr);
}

TEST(SpectrumArray, RefusedSizesChangeNothing) {
    SpectrumArray a;
    ASSERT_TRUE(a.SetSize(3, 0));
    fill(a, 7);
    EXPECT_FALSE(a.SetSize(-1, 0));
    EXPECT_FALSE(a.SetSize(INT32_MIN, 0));
    EXPECT_FALSE(a.SetSize(SpectrumArray::kMaxSize + 1, 0));
    EXPECT_FALSE(a.SetSize(INT32_MAX, 0));
    EXPECT_FALSE(a.SetSize(5, -1));
    EXPECT_EQ(a.GetSize(), 3);
    EXPECT_EQ(*a.GetElementPtr(0), 7.0);
    EXPECT_EQ(*a.GetElementPtr(2), 9.0);
}

TEST(SpectrumArray, GrowByReservesAheadSoLaterGrowthDoesNotMove) {
    SpectrumArray a;
    ASSERT_TRUE(a.SetSize(10, 100));
    const double* before = a.GetElementPtr(0);
    ASSERT_TRUE(a.SetSize(100, 0));
    EXPECT_EQ(a.GetElementPtr(0), before);
}

TEST(SpectrumArray, RemoveAllEmptiesAndTheArrayStaysUsable) {
    SpectrumArray a;
    ASSERT_TRUE(a.SetSize(8, 0));
    fill(a, 1);
    a.RemoveAll();
    EXPECT_EQ(a.GetSize(), 0);
    EXPECT_EQ(a.GetElementPtr(0), nullptr);
    ASSERT_TRUE(a.SetSize(2, 0));
    EXPECT_EQ(*a.GetElementPtr(1), 0.0);
    ASSERT_TRUE(a.SetSize(0, 0));
    EXPECT_EQ(a.GetSize(), 0);
}

} // namespace
} // namespace dorvel
