#include "dorvel/linearization_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace dorvel {
namespace {

using namespace std::string_literals;

std::string file(const std::string& header, const std::string& data) {
    return "TLC 1\n" + header + "data\n" + data + "end\n";
}

TEST(CoefficientFile, ParsesAFileWithOneRowForAllPixels) {
    CoefficientSet set;
    ASSERT_EQ(ParseCoefficientFile("# sensor 7\n"
                                   "TLC 1\n"
                                   "pixels 1044\n"
                                   "degree 2\n"
                                   "scope all\n"
                                   "data\n"
                                   "0 1.02 -1.5e-6\n"
                                   "end\n",
                                   set),
              kLinOk);
    EXPECT_EQ(set.pixelCount, 1044);
    EXPECT_EQ(set.degree, 2);
    EXPECT_FALSE(set.perPixel);
    EXPECT_EQ(set.coefficients, (std::vector<double>{0, 1.02, -1.5e-6}));
}

TEST(CoefficientFile, AcceptsCommentsBlankLinesCrLfTabsSignsAndAnyHeaderOrder) {
    CoefficientSet set;
    ASSERT_EQ(ParseCoefficientFile("\r\n# leading comment\r\n"
                                   "  TLC\t1   # signature\r\n"
                                   "scope pixel\r\n"
                                   "\r\n"
                                   "degree 1\r\n"
                                   "pixels 2\r\n"
                                   "data\r\n"
                                   "+1.5\t-2E2\r\n"
                                   "# between rows\r\n"
                                   ".25 +0\r\n"
                                   "end\r\n"
                                   "# trailing comment",
                                   set),
              kLinOk);
    EXPECT_TRUE(set.perPixel);
    EXPECT_EQ(set.coefficients, (std::vector<double>{1.5, -200, 0.25, 0}));
}

TEST(CoefficientFile, CorrectsKnownValuesWithOneRow) {
    CoefficientSet set;
    ASSERT_EQ(ParseCoefficientFile(file("pixels 3\ndegree 2\nscope all\n", "1 0.5 0.01\n"), set),
              kLinOk);
    std::vector<double> v{0, 10, -20};
    ASSERT_EQ(ApplyCoefficients(set, v.data(), 3), kLinOk);
    // 1 + 0.5 x + 0.01 x^2
    EXPECT_DOUBLE_EQ(v[0], 1.0);
    EXPECT_DOUBLE_EQ(v[1], 7.0);
    EXPECT_DOUBLE_EQ(v[2], 1.0 - 10.0 + 4.0);
}

TEST(CoefficientFile, CorrectsEachPixelWithItsOwnRow) {
    CoefficientSet set;
    ASSERT_EQ(ParseCoefficientFile(file("pixels 3\ndegree 1\nscope pixel\n", "0 1\n"
                                                                             "5 2\n"
                                                                             "-1 0.5\n"),
                                   set),
              kLinOk);
    std::vector<double> v{100, 100, 100};
    ASSERT_EQ(ApplyCoefficients(set, v.data(), 3), kLinOk);
    EXPECT_EQ(v, (std::vector<double>{100, 205, 49}));
}

TEST(CoefficientFile, DegreeZeroAndSevenAreTheBounds) {
    CoefficientSet set;
    ASSERT_EQ(ParseCoefficientFile(file("pixels 1\ndegree 0\nscope all\n", "42\n"), set), kLinOk);
    double v = 1000;
    ASSERT_EQ(ApplyCoefficients(set, &v, 1), kLinOk);
    EXPECT_EQ(v, 42);
    ASSERT_EQ(
        ParseCoefficientFile(file("pixels 1\ndegree 7\nscope all\n", "0 0 0 0 0 0 0 1\n"), set),
        kLinOk);
    v = 2;
    ASSERT_EQ(ApplyCoefficients(set, &v, 1), kLinOk);
    EXPECT_EQ(v, 128);
}

TEST(CoefficientFile, NumbersAreReadInTheCLocaleForm) {
    CoefficientSet set;
    // A decimal comma is not a number; a point always is.
    EXPECT_EQ(ParseCoefficientFile(file("pixels 1\ndegree 0\nscope all\n", "1,5\n"), set),
              kLinBadData);
    ASSERT_EQ(ParseCoefficientFile(file("pixels 1\ndegree 0\nscope all\n", "1.5\n"), set), kLinOk);
    EXPECT_EQ(set.coefficients.at(0), 1.5);
}

struct Malformed {
    const char* what;
    std::string text;
    int32_t result;
};

class MalformedFile : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedFile, IsRefusedWithItsResultAndLeavesTheSetAlone) {
    CoefficientSet set;
    set.pixelCount = 77;
    set.degree = 1;
    set.coefficients = {3, 4};
    EXPECT_EQ(ParseCoefficientFile(GetParam().text, set), GetParam().result) << GetParam().what;
    EXPECT_EQ(set.pixelCount, 77);
    EXPECT_EQ(set.coefficients, (std::vector<double>{3, 4}));
}

const std::string kHeader = "pixels 2\ndegree 1\nscope pixel\n";

INSTANTIATE_TEST_SUITE_P(
    Signature, MalformedFile,
    ::testing::Values(Malformed{"empty", "", kLinBadSignature},
                      Malformed{"comments only", "# nothing\n\n", kLinBadSignature},
                      Malformed{"other version", "TLC 2\n", kLinBadSignature},
                      Malformed{"lower case", "tlc 1\n", kLinBadSignature},
                      Malformed{"extra word", "TLC 1 x\n", kLinBadSignature},
                      Malformed{"header first", "pixels 2\nTLC 1\n", kLinBadSignature},
                      Malformed{"control character", "TLC\x01 1\n", kLinBadSignature}));

INSTANTIATE_TEST_SUITE_P(
    Header, MalformedFile,
    ::testing::Values(
        Malformed{"no header", "TLC 1\n", kLinBadHeader},
        Malformed{"no data line", "TLC 1\n" + kHeader, kLinBadHeader},
        Malformed{"pixels missing", file("degree 1\nscope all\n", "0 1\n"), kLinBadHeader},
        Malformed{"degree missing", file("pixels 2\nscope all\n", "0 1\n"), kLinBadHeader},
        Malformed{"scope missing", file("pixels 2\ndegree 1\n", "0 1\n"), kLinBadHeader},
        Malformed{"pixels 0", file("pixels 0\ndegree 1\nscope all\n", "0 1\n"), kLinBadHeader},
        Malformed{"pixels above 65535", file("pixels 65536\ndegree 1\nscope all\n", "0 1\n"),
                  kLinBadHeader},
        Malformed{"negative degree", file("pixels 2\ndegree -1\nscope all\n", "0\n"),
                  kLinBadHeader},
        Malformed{"degree 8", file("pixels 2\ndegree 8\nscope all\n", "0 0 0 0 0 0 0 0 1\n"),
                  kLinBadHeader},
        Malformed{"pixels not a number", file("pixels 2x\ndegree 1\nscope all\n", "0 1\n"),
                  kLinBadHeader},
        Malformed{"pixels huge", file("pixels 99999999999\ndegree 1\nscope all\n", "0 1\n"),
                  kLinBadHeader},
        Malformed{"unknown scope", file("pixels 2\ndegree 1\nscope some\n", "0 1\n"),
                  kLinBadHeader},
        Malformed{"field twice", file("pixels 2\npixels 2\ndegree 1\nscope all\n", "0 1\n"),
                  kLinBadHeader},
        Malformed{"unknown field", file(kHeader + "gain 2\n", "0 1\n0 1\n"), kLinBadHeader},
        Malformed{"field without value", file("pixels\ndegree 1\nscope all\n", "0 1\n"),
                  kLinBadHeader},
        Malformed{"data with a word", "TLC 1\n" + kHeader + "data 2\n0 1\n0 1\nend\n",
                  kLinBadHeader},
        Malformed{"NUL in header", file("pixels 2\0\ndegree 1\nscope all\n"s, "0 1\n"),
                  kLinBadHeader}));

INSTANTIATE_TEST_SUITE_P(
    Data, MalformedFile,
    ::testing::Values(
        Malformed{"row too short", file(kHeader, "0\n0 1\n"), kLinBadData},
        Malformed{"row too long", file(kHeader, "0 1 2\n0 1\n"), kLinBadData},
        Malformed{"far too long row", file(kHeader, "0 1 2 3 4 5 6 7 8 9 10 11\n0 1\n"),
                  kLinBadData},
        Malformed{"too few rows", file(kHeader, "0 1\n"), kLinBadData},
        Malformed{"too many rows", file(kHeader, "0 1\n0 1\n0 1\n"), kLinBadData},
        Malformed{"no row", file(kHeader, ""), kLinBadData},
        Malformed{"no end", "TLC 1\n" + kHeader + "data\n0 1\n0 1\n", kLinBadData},
        Malformed{"text after end", file(kHeader, "0 1\n0 1\n") + "0 1\n", kLinBadData},
        Malformed{"nan", file(kHeader, "0 nan\n0 1\n"), kLinBadData},
        Malformed{"infinity", file(kHeader, "0 inf\n0 1\n"), kLinBadData},
        Malformed{"overflowing number", file(kHeader, "0 1e999\n0 1\n"), kLinBadData},
        Malformed{"hex number", file(kHeader, "0 0x10\n0 1\n"), kLinBadData},
        Malformed{"double sign", file(kHeader, "0 +-1\n0 1\n"), kLinBadData},
        Malformed{"word", file(kHeader, "0 one\n0 1\n"), kLinBadData},
        Malformed{"NUL in a row", file(kHeader, "0 1\0\n0 1\n"s), kLinBadData},
        Malformed{"line too long",
                  file(kHeader, "0 1" + std::string(kMaxCoefficientLineLength, ' ') + "\n0 1\n"),
                  kLinBadData},
        Malformed{"end with a word", "TLC 1\n" + kHeader + "data\n0 1\n0 1\nend now\n",
                  kLinBadData}));

TEST(CoefficientFile, AFileAboveTheSizeLimitIsRefusedUnread) {
    CoefficientSet set;
    const std::string big(kMaxCoefficientFileSize + 1, '#');
    EXPECT_EQ(ParseCoefficientFile(big, set), kLinFileTooLarge);
}

TEST(CoefficientFile, TheLargestFileIsAccepted) {
    std::string rows;
    for (int i = 0; i < kMaxCoefficientPixels; ++i) {
        rows += "-1.234567890123e-05 1.0000001 2e-9 0 0 0 0 -3.5e-30\n";
    }
    CoefficientSet set;
    ASSERT_EQ(ParseCoefficientFile(file("pixels 65535\ndegree 7\nscope pixel\n", rows), set),
              kLinOk);
    EXPECT_EQ(set.coefficients.size(), 65535u * 8u);
}

class Apply : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ParseCoefficientFile(file("pixels 3\ndegree 2\nscope all\n", "0 1 1\n"), set),
                  kLinOk);
    }
    CoefficientSet set;
    std::vector<double> values{1, 2, 3};
};

TEST_F(Apply, RefusesBadArgumentsWithoutTouchingValues) {
    EXPECT_EQ(ApplyCoefficients(set, nullptr, 3), kLinInvalidArgument);
    EXPECT_EQ(ApplyCoefficients(set, values.data(), 0), kLinInvalidArgument);
    EXPECT_EQ(ApplyCoefficients(set, values.data(), -3), kLinInvalidArgument);
    EXPECT_EQ(ApplyCoefficients(set, values.data(), 2), kLinPixelCountMismatch);
    EXPECT_EQ(values, (std::vector<double>{1, 2, 3}));
}

TEST_F(Apply, AValueThatCannotBeCorrectedChangesNoValue) {
    values[2] = 1e300; // its square overflows
    EXPECT_EQ(ApplyCoefficients(set, values.data(), 3), kLinValueOutOfRange);
    EXPECT_EQ(values, (std::vector<double>{1, 2, 1e300}));
    values[2] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(ApplyCoefficients(set, values.data(), 3), kLinValueOutOfRange);
    EXPECT_EQ(values[0], 1);
    EXPECT_TRUE(std::isnan(values[2]));
}

TEST_F(Apply, AnInputThatIsNoNumberIsRefusedEvenWhereTheRowIgnoresIt) {
    ASSERT_EQ(ParseCoefficientFile(file("pixels 2\ndegree 0\nscope all\n", "5\n"), set), kLinOk);
    values = {1, std::numeric_limits<double>::infinity()};
    EXPECT_EQ(ApplyCoefficients(set, values.data(), 2), kLinValueOutOfRange);
    EXPECT_EQ(values[0], 1);
}

TEST_F(Apply, RefusesAnInconsistentSet) {
    set.coefficients.pop_back();
    EXPECT_EQ(ApplyCoefficients(set, values.data(), 3), kLinInvalidArgument);
    set.coefficients.push_back(1);
    set.perPixel = true; // three rows expected, one given
    EXPECT_EQ(ApplyCoefficients(set, values.data(), 3), kLinInvalidArgument);
    const CoefficientSet empty;
    EXPECT_EQ(ApplyCoefficients(empty, values.data(), 3), kLinInvalidArgument);
    EXPECT_EQ(values, (std::vector<double>{1, 2, 3}));
}

} // namespace
} // namespace dorvel
