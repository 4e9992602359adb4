// Gradient bands: their number, colours and widths, the segment weights, the
// rotation, and the bands laid into a rectangle in each direction.

#include "glimra/gradient.h"
#include "glimra_test_support.h"

#include <gtest/gtest.h>

#include <numeric>

namespace glimra {
namespace {

using test::pixel;

int total(const CGradArray& bands) {
    return std::accumulate(bands.begin(), bands.end(), 0,
                           [](int sum, const CGradElement& b) { return sum + b.width; });
}

// Two plain integers are two colours, never a count and one colour.
TEST(GradientTest, TwoIntegerLiteralsAreTheTwoColourForm) {
    CGradient g;
    g.SetColors(0x000000, 0x0000FF);
    ASSERT_EQ(g.GetColorArray().size(), 2u);
    COLORREF a = CLR_INVALID;
    COLORREF b = CLR_INVALID;
    g.GetEndColors(&a, &b);
    EXPECT_EQ(a, RGB(0, 0, 0));
    EXPECT_EQ(b, RGB(255, 0, 0));
    g.SetColors(3, 0x000000, 0x00FF00, 0xFF0000);
    EXPECT_EQ(g.GetColorArray().size(), 3u);
}

TEST(GradientTest, OneBandPerColourStepAtMostOnePerPixel) {
    CGradient g;
    g.SetColors(RGB(0, 0, 0), 0x0000FF);
    CGradArray bands;
    g.Fill(bands, 300, 0);
    ASSERT_EQ(bands.size(), 255u);
    EXPECT_EQ(total(bands), 300);
    EXPECT_EQ(bands[0], (CGradElement{RGB(0, 0, 0), 1}));
    EXPECT_EQ(bands[1], (CGradElement{RGB(1, 0, 0), 1}));
    EXPECT_EQ(bands[5],
              (CGradElement{RGB(5, 0, 0), 2})); // from (int)(5*300/255) to (int)(6*300/255)
    EXPECT_EQ(bands[254].color, RGB(254, 0, 0));
    bands.clear();
    g.Fill(bands, 100, 0);
    ASSERT_EQ(bands.size(), 100u);
    EXPECT_EQ(bands[99].color, RGB(252, 0, 0)); // (int)(99*255/100)
}

TEST(GradientTest, SegmentsFollowTheirWeightsAndTheWalkIsCut) {
    CGradient g;
    g.SetColors(3, RGB(0, 0, 0), RGB(0, 100, 0), RGB(0, 100, 100));
    g.SetStops(1.0, 3.0); // 25 % and 75 %
    EXPECT_DOUBLE_EQ(g.GetStops()[0], 25.0);
    CGradArray bands;
    g.Fill(bands, 200, 0);
    EXPECT_EQ(total(bands), 200);
    EXPECT_EQ(bands.size(), 150u); // 50 pixels of green steps, then 100 blue steps over 150
    EXPECT_EQ(bands[50].color, RGB(0, 100, 0));
    // Only 40..60: the end of the first segment and the start of the second.
    bands.clear();
    g.Fill(bands, 200, 40, 60);
    EXPECT_EQ(total(bands), 20);
    EXPECT_EQ(bands.front().color, RGB(0, 80, 0));
    EXPECT_EQ(bands.back().color, RGB(0, 100, 6));
}

TEST(GradientTest, SettersKeepTheirLimits) {
    CGradient g;
    g.SetGradientScale(0.5f);
    EXPECT_EQ(g.GetGradientScale(), 1.0f);
    COLORREF a = 0;
    COLORREF b = 0;
    g.GetEndColors(&a, &b);
    EXPECT_EQ(a, CLR_INVALID);
    EXPECT_EQ(b, CLR_INVALID);
    g.SetColorList(1, {RGB(1, 2, 3)});          // too few: nothing changes
    g.SetColors(3, RGB(1, 2, 3), RGB(4, 5, 6)); // count disagrees: nothing changes
    EXPECT_TRUE(g.GetColorArray().empty());
    EXPECT_EQ(g.AddColor(RGB(9, 9, 9)), 1);
    g.GetEndColors(&a, &b);
    EXPECT_EQ(b, RGB(9, 9, 9));
    EXPECT_EQ(g.AddColor(RGB(0, 0, 0)), 2);
    EXPECT_EQ(g.AddColor(RGB(1, 1, 1)), 3);
    EXPECT_DOUBLE_EQ(g.GetStops()[0] + g.GetStops()[1], 100.0);
}

TEST(GradientTest, RotationMovesTheLastPixelsToTheFront) {
    CGradient g;
    g.SetColors(RGB(0, 0, 0), RGB(10, 0, 0));
    CGradArray plain;
    g.Fill(plain, 20, 0);
    CGradArray same;
    g.FillShifted(same, 20, 20, 0, -1);
    EXPECT_EQ(same, plain);
    CGradArray shifted;
    g.FillShifted(shifted, 3, 20, 0, -1);
    // Ten bands of 2: the last band and half the one before come first.
    ASSERT_EQ(shifted.size(), 11u);
    EXPECT_EQ(shifted[0], (CGradElement{RGB(8, 0, 0), 1}));
    EXPECT_EQ(shifted[1], (CGradElement{RGB(9, 0, 0), 2}));
    EXPECT_EQ(shifted[2], (CGradElement{RGB(0, 0, 0), 2}));
    EXPECT_EQ(shifted[10], (CGradElement{RGB(8, 0, 0), 1}));
    CGradArray negative;
    g.FillShifted(negative, -17, 20, 0, -1);
    EXPECT_EQ(negative, shifted);
    CGradArray cut;
    g.FillShifted(cut, 3, 20, 2, 5);
    EXPECT_EQ(cut, (CGradArray{{RGB(9, 0, 0), 1}, {RGB(0, 0, 0), 2}}));
}

class GradientDrawTest : public test::WithApplication {};

TEST_F(GradientDrawTest, DrawLaysTheBandsAlongEachDirection) {
    CGradient g;
    g.SetColors(RGB(0, 0, 0), RGB(200, 0, 0));
    struct Case {
        int direction;
        QPoint first; // where the first colour lies
        QPoint last;
    };
    const Case cases[] = {
        {CGradient::LeftToRight, {0, 5}, {99, 5}},
        {CGradient::RightToLeft, {99, 5}, {0, 5}},
        {CGradient::TopToBottom, {5, 0}, {5, 99}},
        {CGradient::BottomToTop, {5, 99}, {5, 0}},
    };
    for (const Case& c : cases) {
        QImage image = test::blankImage(100, 100);
        CDC dc(&image);
        g.SetDirection(c.direction);
        g.Draw(&dc, RECT{0, 0, 100, 100}, 0);
        EXPECT_EQ(pixel(image, c.first.x(), c.first.y()), RGB(0, 0, 0)) << c.direction;
        EXPECT_EQ(pixel(image, c.last.x(), c.last.y()), RGB(198, 0, 0)) << c.direction;
        test::savePicture(image, "gradient_direction_" + std::to_string(c.direction));
    }
    // Scaled by 2, only the first half of the gradient shows.
    QImage image = test::blankImage(100, 10);
    CDC dc(&image);
    g.SetDirection(CGradient::LeftToRight);
    g.SetGradientScale(2.0f);
    g.Draw(&dc, RECT{0, 0, 100, 10}, 0);
    EXPECT_EQ(pixel(image, 99, 0), RGB(99, 0, 0));
}

TEST_F(GradientDrawTest, PoorDevicesGetTheFirstColourAndPaletteDevicesAPalette) {
    CGradient g;
    g.SetColors(RGB(0, 0, 0), RGB(255, 255, 255));
    DrawRecorder recorder;
    CDC mono(&recorder, QSize(300, 10));
    DeviceCaps caps;
    caps.bitsPixel = 1;
    mono.setDeviceCaps(caps);
    g.Draw(&mono, RECT{0, 0, 300, 10}, 10, 20);
    ASSERT_EQ(recorder.ops.size(), 1u);
    EXPECT_EQ(recorder.ops[0].rect, QRect(10, 0, 10, 10));
    EXPECT_EQ(recorder.ops[0].color, RGB(0, 0, 0));

    recorder.clear();
    CDC palette(&recorder, QSize(300, 10));
    caps.bitsPixel = 8;
    caps.rasterCaps |= RC_PALETTE;
    palette.setDeviceCaps(caps);
    g.SetUsePalette(1);
    g.Draw(&palette, RECT{0, 0, 300, 10}, 0);
    EXPECT_EQ(recorder.ops.size(), 236u);
    EXPECT_EQ(g.GetPalette()->GetEntryCount(), 236u);
    EXPECT_EQ(palette.currentPalette(), nullptr); // put back
}

} // namespace
} // namespace glimra
