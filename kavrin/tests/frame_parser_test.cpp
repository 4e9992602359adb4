// Frames into results: the value rules, the pairs of the differential mode,
// the saturation window, and frames that are not what the counts say.

#include "board_status.h"
#include "frame_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace kavrin;

// A frame of scans, each the values given, with the terminator (or another).
std::vector<uint8_t> frameOf(const std::vector<std::vector<uint16_t>>& scans,
                             uint8_t terminator1 = 0x00) {
    std::vector<uint8_t> bytes;
    for (const auto& scan : scans) {
        bytes.push_back(0xAA); // skipped
        bytes.push_back(0x55);
        for (uint16_t v : scan) {
            bytes.push_back(static_cast<uint8_t>(v));
            bytes.push_back(static_cast<uint8_t>(v >> 8));
        }
        bytes.push_back(0xFF);
        bytes.push_back(terminator1);
    }
    return bytes;
}

FrameLayout layoutOf(uint32_t pixels, uint32_t kept, uint32_t scans) {
    FrameLayout layout;
    layout.pixelCount = pixels;
    layout.keptPixelCount = kept;
    layout.numScans = scans;
    return layout;
}

int32_t value32(const std::vector<uint8_t>& bytes, std::size_t i) {
    int32_t v = 0;
    std::memcpy(&v, bytes.data() + 4 * i, 4);
    return v;
}

uint16_t value16(const std::vector<uint8_t>& bytes, std::size_t i) {
    return static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
}

TEST(FrameParser, AveragingSumsEveryScanAndDividesAfterScaling) {
    const auto frame = frameOf({{10, 7}, {11, 7}, {12, 7}, {13, 8}});
    std::vector<uint8_t> out(8, 0xEE);
    const ParseResult r = ParseFrame(out, frame, kParse32Bit | kParseAverage, layoutOf(2, 2, 4));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(value32(out, 0), 1150);
    EXPECT_EQ(value32(out, 1), 725); // 2900 / 4, integer division
}

TEST(FrameParser, ThirtyTwoBitResultsReadTheWordsAsSigned) {
    const auto frame = frameOf({{0xFFFF, 0x8000, 0x7FFF, 5}});
    std::vector<uint8_t> out(16);
    ASSERT_TRUE(ParseFrame(out, frame, kParse32Bit, layoutOf(4, 4, 1)).ok());
    EXPECT_EQ(value32(out, 0), -100);
    EXPECT_EQ(value32(out, 1), -3276800);
    EXPECT_EQ(value32(out, 2), 3276700);
    EXPECT_EQ(value32(out, 3), 500);
}

TEST(FrameParser, ADifferentialPairIsSecondMinusFirst) {
    FrameLayout layout = layoutOf(3, 3, 1);
    layout.differential = true;
    const auto frame = frameOf({{100, 50, 7}, {130, 40, 7}});
    std::vector<uint8_t> out(12);
    ASSERT_TRUE(ParseFrame(out, frame, kParse32Bit, layout).ok());
    EXPECT_EQ(value32(out, 0), 3000);
    EXPECT_EQ(value32(out, 1), -1000);
    EXPECT_EQ(value32(out, 2), 0);
    // One pair alone is not the frame of a pair count of two.
    layout.numScans = 2;
    EXPECT_EQ(ParseFrame(out, frame, kParse32Bit, layout).error, kBoardStatusOverflow);
}

TEST(FrameParser, BurstKeepsEachScanAndOnlyTheKeptPixels) {
    const auto frame = frameOf({{1, 2, 3}, {4, 5, 6}});
    std::vector<uint8_t> out(8, 0xEE);
    ASSERT_TRUE(ParseFrame(out, frame, kParseBurst, layoutOf(3, 2, 2)).ok());
    EXPECT_EQ(value16(out, 0), 1);
    EXPECT_EQ(value16(out, 1), 2);
    EXPECT_EQ(value16(out, 2), 4);
    EXPECT_EQ(value16(out, 3), 5);
}

TEST(FrameParser, SixteenBitSumsWrapAround) {
    const auto frame = frameOf({{0xFFFF}, {0x0002}});
    std::vector<uint8_t> out(2);
    ASSERT_TRUE(ParseFrame(out, frame, kParseAverage, layoutOf(1, 1, 2)).ok());
    EXPECT_EQ(value16(out, 0), 1);
}

TEST(FrameParser, TheSaturationWindowFollowsItsPeriod) {
    FrameLayout layout = layoutOf(200, 200, 1);
    layout.saturationCheck = true;
    layout.saturationPeriod = 100;
    layout.saturationStart = 10;
    layout.saturationEndMargin = 5;
    std::vector<uint8_t> out(800);
    for (const auto& [pixel, expected] : std::vector<std::pair<uint32_t, uint16_t>>{
             {3, 0}, {196, 0}, {112, 199}, {10, 199}, {95, 199}}) {
        std::vector<uint16_t> scan(200, 100);
        scan[pixel] = 0x7FFF;
        const ParseResult r = ParseFrame(out, frameOf({scan}), kParse32Bit, layout);
        EXPECT_TRUE(r.ok());
        EXPECT_EQ(r.saturation, expected) << "pixel " << pixel;
    }
    // The last saturated value found wins; without the check none counts.
    std::vector<uint16_t> scan(200, 100);
    scan[20] = 0x7FFF;
    scan[30] = 0x8000;
    EXPECT_EQ(ParseFrame(out, frameOf({scan}), kParse32Bit, layout).saturation, 198);
    layout.saturationCheck = false;
    EXPECT_EQ(ParseFrame(out, frameOf({scan}), kParse32Bit, layout).saturation, 0);
}

TEST(FrameParser, EachScanOfThirtyTwoBitsIsScaledAndTheLastSaturationWins) {
    FrameLayout layout = layoutOf(3, 3, 3);
    layout.saturationCheck = true;
    layout.saturationPeriod = 3;
    const auto frame = frameOf({{1, 0x8000, 0xFFFE}, {0x7FFF, 5, 0x8000}, {7, 8, 9}});
    std::vector<uint8_t> out(36, 0xEE);
    const ParseResult r = ParseFrame(out, frame, kParse32Bit, layout);
    ASSERT_TRUE(r.ok());
    const std::vector<int32_t> expected{100, -3276800, -200, 3276700, 500, -3276800, 700, 800, 900};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(value32(out, i), expected[i]) << "value " << i;
    }
    // The second scan's last saturated value; the third has none.
    EXPECT_EQ(r.saturation, kBoardWarningSaturationLow);
}

TEST(FrameParser, APeriodOfZeroChecksAtMostPixelZero) {
    EXPECT_TRUE(InSaturationWindow(0, 0, 0, 0));
    EXPECT_FALSE(InSaturationWindow(1, 0, 0, 0));
    EXPECT_FALSE(InSaturationWindow(0, 0, 0, 1));
    EXPECT_FALSE(InSaturationWindow(0, 0, 1, 0));
}

TEST(FrameParser, AWrongTerminatorEndsTheParse) {
    std::vector<uint8_t> out(4);
    const auto frame = frameOf({{5}}, 0x01);
    EXPECT_EQ(ParseFrame(out, frame, kParse32Bit, layoutOf(1, 1, 1)).error,
              kBoardStatusBadTerminator);
}

TEST(FrameParser, FramesShorterThanTheCountsAreOverflowsNotReadsPastTheEnd) {
    std::vector<uint8_t> out(16);
    auto frame = frameOf({{1, 2}, {3, 4}});
    frame.pop_back();
    EXPECT_EQ(ParseFrame(out, frame, kParse32Bit | kParseAverage, layoutOf(2, 2, 2)).error,
              kBoardStatusOverflow);
    EXPECT_EQ(ParseFrame(out, {}, kParse32Bit, layoutOf(2, 2, 1)).error, kBoardStatusOverflow);
}

TEST(FrameParser, ADestinationTooSmallIsAnOverflow) {
    const auto frame = frameOf({{1, 2}, {3, 4}});
    std::vector<uint8_t> tooSmall(7);
    EXPECT_EQ(ParseFrame(tooSmall, frame, kParse32Bit, layoutOf(2, 2, 1)).error,
              kBoardStatusOverflow);
    // Room for the first burst scan only.
    std::vector<uint8_t> oneScan(4);
    EXPECT_EQ(ParseFrame(oneScan, frame, kParseBurst, layoutOf(2, 2, 2)).error,
              kBoardStatusOverflow);
}

TEST(FrameParser, NoScanCountMeansOneScanAndNoDivisionByZero) {
    const auto frame = frameOf({{9}});
    std::vector<uint8_t> out(4);
    ASSERT_TRUE(ParseFrame(out, frame, kParse32Bit | kParseAverage, layoutOf(1, 1, 0)).ok());
    EXPECT_EQ(value32(out, 0), 900);
    EXPECT_EQ(layoutOf(1, 1, 0).frameSize(), 6u);
}

TEST(FrameParser, FrameSizesDoNotOverflow32Bits) {
    FrameLayout layout = layoutOf(0xFFFFFFFF, 1, 0xFFFF);
    layout.differential = true;
    EXPECT_EQ(layout.frameSize(), (0xFFFFFFFFull + 2) * 2 * 0xFFFF * 2);
}

TEST(FrameParser, TheReportClearsAnOldSaturationAndKeepsOtherWarnings) {
    uint16_t warning = 198;
    uint16_t status = 0;
    ReportParse({0, 199}, warning, status);
    EXPECT_EQ(warning, 199);
    EXPECT_EQ(status, 0);

    warning = 194;
    ReportParse({105, 199}, warning, status);
    EXPECT_EQ(warning, 194);
    EXPECT_EQ(status, 105);

    warning = 199;
    status = 102;
    ReportParse({0, 0}, warning, status);
    EXPECT_EQ(warning, 0);
    EXPECT_EQ(status, 102) << "a good parse does not wipe an error pending before it";
}

} // namespace
