// The progress drawing engine: range and positions, the snake's steps, the
// bar's geometry in every direction and mode, the gradient under it, and the
// texts with their placement and colours.

#include "glimra/fontmetrics.h"
#include "glimra/progress.h"
#include "glimra/syscolors.h"
#include "glimra_test_support.h"

#include <gtest/gtest.h>

namespace glimra {
namespace {

using test::pixel;

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

class ProgressTest : public test::WithApplication {
protected:
    // Draws into a fresh image with a recorder beside it.
    QImage draw(CProgress& p, int width, int height) {
        QImage image = test::blankImage(width, height, RGB(0, 255, 0));
        CDC dc(&image);
        recorder.clear();
        dc.setRecorder(&recorder);
        p.Draw(&dc, RECT{0, 0, width, height}, FALSE);
        return image;
    }

    DrawRecorder recorder;
    ScopedFontMetrics metrics{std::make_shared<FixedFontMetrics>(6, 10)};
};

TEST_F(ProgressTest, RangeIsOrderedAndThePositionClamped) {
    CProgress p;
    p.SetPos(70);
    EXPECT_EQ(p.SetRange(100, 0), MAKELONG(0, 100));
    int lower = -1;
    int upper = -1;
    p.GetRange(&lower, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 100);
    p.SetRange(0, 50);
    EXPECT_EQ(p.GetPos(), 50);
    EXPECT_EQ(p.SetPos(-5), 50);
    EXPECT_EQ(p.GetPos(), 0);
    p.SetStep(20);
    EXPECT_EQ(p.StepIt(), 0);
    EXPECT_EQ(p.OffsetPos(-100), 20);
    EXPECT_EQ(p.GetPos(), 0);
}

TEST_F(ProgressTest, TheSnakeRunsPastTheEndByItsLengthAndTurns) {
    CProgress p;
    p.SetSnake(true);
    EXPECT_TRUE(p.GetRubberBar());
    p.SetPos(90);
    EXPECT_EQ(p.GetSnakeTail(), 50);
    const int expected[][2] = {{100, 60}, {100, 70}, {100, 80}, {100, 90}, {100, 100}, {10, 0}};
    for (const auto& step : expected) {
        EXPECT_FALSE(p.GetReverse());
        p.StepIt();
        EXPECT_EQ(p.GetPos(), step[0]);
        EXPECT_EQ(p.GetSnakeTail(), step[1]);
    }
    EXPECT_TRUE(p.GetReverse());
}

TEST_F(ProgressTest, TheBarLiesWhereTheStyleSaysInEveryDirection) {
    struct Case {
        const char* name;
        DWORD style;
        QSize size;
        RECT borders;
        int pos;
        QRect bar;
    };
    const Case cases[] = {
        {"horizontal", 0, {100, 10}, {}, 50, {0, 0, 50, 10}},
        {"horizontal_reversed", PBS_REVERSE, {100, 10}, {}, 50, {50, 0, 50, 10}},
        {"vertical", PBS_VERTICAL, {10, 100}, {}, 50, {0, 50, 10, 50}},
        {"vertical_reversed", PBS_VERTICAL | PBS_REVERSE, {10, 100}, {}, 50, {0, 0, 10, 50}},
        {"bordered", 0, {100, 10}, {5, 2, 5, 2}, 50, {5, 2, 45, 6}},
        {"snake", PBS_SNAKE | PBS_RUBBER_BAR, {100, 10}, {}, 60, {20, 0, 40, 10}},
        {"empty", 0, {100, 10}, {}, 0, {}},
        {"full", PBS_VERTICAL, {10, 100}, {}, 100, {0, 0, 10, 100}},
    };
    for (const Case& c : cases) {
        CProgress p;
        p.SetColors(kRed, kRed);
        p.SetBkColor(kWhite);
        p.ModifyStyle(0, c.style);
        p.SetBorders(c.borders);
        p.SetPos(c.pos);
        const QImage image = draw(p, c.size.width(), c.size.height());
        test::savePicture(image, std::string("progress_bar_") + c.name);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                ASSERT_EQ(pixel(image, x, y), c.bar.contains(x, y) ? kRed : kWhite)
                    << c.name << " at " << x << "," << y;
            }
        }
    }
}

// Ranges wider than an int: the engine measures them in 64 bits.
TEST_F(ProgressTest, ARangeWiderThanAnIntDrawsItsBarAndPercent) {
    CProgress p;
    p.SetColors(kRed, kRed);
    p.SetBkColor(kWhite);
    p.ShowPercent(true);
    p.SetRange(-2000000000, 2000000000);
    p.SetPos(1000000000);
    EXPECT_FLOAT_EQ(p.GetTextValue(PBS_PERCENT, -2000000000, 2000000000, 1000000000), 75.0f);
    const QImage image = draw(p, 100, 10);
    test::savePicture(image, "progress_wide_range");
    EXPECT_EQ(pixel(image, 74, 0), kRed);
    EXPECT_EQ(pixel(image, 75, 0), kWhite);
    // Once over the bar, once over the background.
    ASSERT_FALSE(recorder.texts().empty());
    for (const DrawOp& text : recorder.texts()) {
        EXPECT_EQ(text.text, "75%");
    }
    // Scrolling goes round the whole range, not a wrapped one.
    p.ShiftGradient(2000000000);
    p.ShiftGradient(2000000000);
    EXPECT_EQ(p.GetGradientOffset(), 0);
}

TEST_F(ProgressTest, TheGradientSpansTheWholeLengthOrTheBarAndScrolls) {
    CProgress p;
    p.SetColors(RGB(0, 0, 0), RGB(100, 0, 0));
    p.SetPos(50);
    QImage image = draw(p, 100, 10);
    EXPECT_EQ(pixel(image, 49, 5), RGB(49, 0, 0));
    p.SetRubberBar(true);
    image = draw(p, 100, 10);
    EXPECT_EQ(pixel(image, 49, 5), RGB(98, 0, 0));
    test::savePicture(image, "progress_rubber_bar");
    p.SetRubberBar(false);
    p.ShiftGradient(125);
    EXPECT_EQ(p.GetGradientOffset(), 25);
    image = draw(p, 100, 10);
    EXPECT_EQ(pixel(image, 0, 5), RGB(75, 0, 0));
    EXPECT_EQ(pixel(image, 25, 5), RGB(0, 0, 0));
}

TEST_F(ProgressTest, TextsShowTheValueInTheClientsFormat) {
    CProgress p;
    p.SetPos(50);
    EXPECT_EQ(p.FormatText("", PBS_PERCENT, p.GetTextValue(PBS_PERCENT, 0, 100, 50)), "50%");
    p.SetText("Step %d of 10", PBS_POSITION);
    p.SetPos(7);
    EXPECT_EQ(p.FormatText(p.GetText(), PBS_POSITION, 7.0f), "Step 7 of 10");
    // Other conversions in a client's text are shown, not obeyed.
    p.SetTextFormat("%s %n %d %d");
    draw(p, 100, 20);
    ASSERT_FALSE(recorder.texts().empty());
    EXPECT_EQ(recorder.texts()[0].text, "%s %n 7 %d");
    // Without text or mode nothing is written.
    p.HideText();
    EXPECT_EQ(p.GetStyle() & PBS_TEXT_MODE, 0u);
    draw(p, 100, 20);
    EXPECT_TRUE(recorder.texts().empty());
}

TEST_F(ProgressTest, TextOverTheBarChangesColourWhereTheBarEnds) {
    CProgress p;
    p.ShowPercent(true);
    p.SetPos(50);
    draw(p, 100, 20);
    const std::vector<DrawOp> texts = recorder.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, "50%");
    EXPECT_EQ(texts[0].rect, QRect(41, 5, 18, 10)); // centred
    EXPECT_EQ(texts[0].color, GetSysColor(COLOR_BTNTEXT));
    EXPECT_EQ(texts[0].clip.boundingRect(), QRect(0, 0, 100, 20));
    EXPECT_EQ(texts[1].color, GetSysColor(COLOR_CAPTIONTEXT));
    EXPECT_EQ(texts[1].clip.boundingRect(), QRect(0, 0, 50, 20));
    EXPECT_EQ(texts[1].bkMode, TRANSPARENT);

    // Aligned to the left and top of the bar area.
    p.SetTextAlign(PBS_TEXT_LEFT | PBS_TEXT_TOP);
    draw(p, 100, 20);
    EXPECT_EQ(recorder.texts()[0].rect, QRect(0, 0, 18, 10));

    // One colour: drawn once.
    p.SetTextColor(RGB(1, 2, 3));
    draw(p, 100, 20);
    EXPECT_EQ(recorder.texts().size(), 1u);
}

TEST_F(ProgressTest, TextOnTheBarNeedsABarAsLongAsTheText) {
    CProgress p;
    p.ShowPercent(true);
    p.SetTextOnBar(true);
    p.SetPos(10); // a bar of 10 pixels, a text of 18
    draw(p, 100, 20);
    EXPECT_TRUE(recorder.texts().empty());
    p.SetPos(50);
    const QImage image = draw(p, 100, 20);
    test::savePicture(image, "progress_text_on_bar");
    ASSERT_EQ(recorder.texts().size(), 1u);
    EXPECT_EQ(recorder.texts()[0].rect, QRect(16, 5, 18, 10));
    EXPECT_EQ(recorder.texts()[0].color, GetSysColor(COLOR_CAPTIONTEXT));
}

TEST_F(ProgressTest, AnEmptyRangeDrawsNoBarAndShowsNoPercent) {
    CProgress p;
    p.SetRange(5, 5);
    p.ShowPercent(true);
    p.ShiftGradient(3);
    EXPECT_EQ(p.GetGradientOffset(), 0);
    p.SetColors(kRed, kRed);
    const QImage image = draw(p, 100, 20);
    EXPECT_EQ(pixel(image, 0, 0), GetSysColor(COLOR_BTNFACE));
    ASSERT_FALSE(recorder.texts().empty());
    EXPECT_EQ(recorder.texts()[0].text, "0%");
}

TEST_F(ProgressTest, ClipRegionAndBrushesLimitAndFillTheDrawing) {
    CProgress p;
    CBrush blue(RGB(0, 0, 255));
    CBrush grey(RGB(128, 128, 128));
    p.SetBarBrush(&blue);
    p.SetBkBrush(&grey);
    p.SetPos(50);
    CRgn region;
    region.CreateRectRgn(0, 0, 30, 10); // in the drawn rectangle's coordinates
    p.SetClipRgn(&region);
    QImage image = test::blankImage(100, 10, RGB(0, 255, 0));
    CDC dc(&image);
    p.Draw(&dc, RECT{10, 0, 90, 10}, FALSE);
    test::savePicture(image, "progress_clipped");
    EXPECT_EQ(pixel(image, 9, 5), RGB(0, 255, 0));
    EXPECT_EQ(pixel(image, 10, 5), RGB(0, 0, 255));
    EXPECT_EQ(pixel(image, 39, 5), RGB(0, 0, 255)); // bar runs to 50, the clip to 40
    EXPECT_EQ(pixel(image, 40, 5), RGB(0, 255, 0));
    p.SetClipRgn(nullptr);
    dc.SelectClipRgn(nullptr);
    p.Draw(&dc, RECT{10, 0, 90, 10}, FALSE);
    EXPECT_EQ(pixel(image, 49, 5), RGB(0, 0, 255));
    EXPECT_EQ(pixel(image, 50, 5), RGB(128, 128, 128));
    EXPECT_EQ(pixel(image, 90, 5), RGB(0, 255, 0));
}

TEST_F(ProgressTest, TurnedTextIsCentredAcrossTheBar) {
    CProgress p;
    CFont upwards;
    upwards.CreateFont(-12, 0, 900, 900, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    p.SetFont(&upwards);
    p.ModifyStyle(0, PBS_VERTICAL);
    p.ShowPercent(true);
    p.SetPos(50);
    draw(p, 20, 100);
    ASSERT_FALSE(recorder.texts().empty());
    // "50%" is 18 x 10; turned, it stands 10 wide and 18 high.
    EXPECT_EQ(recorder.texts()[0].from, QPoint(15, 50));
    EXPECT_EQ(recorder.texts()[0].font.lfEscapement, 900);
    EXPECT_EQ(recorder.texts()[0].align, TA_CENTER | TA_BOTTOM);
}

TEST_F(ProgressTest, DirectDrawingSkipsTheOffScreenFrame) {
    CProgress p;
    p.SetPos(30);
    QImage image = test::blankImage(100, 10);
    CDC dc(&image);
    dc.setRecorder(&recorder);
    p.Draw(&dc, RECT{0, 0, 100, 10}, TRUE);
    EXPECT_TRUE(recorder.ofKind(DrawOp::Blt).empty());
    EXPECT_FALSE(recorder.ofKind(DrawOp::Fill).empty());
    EXPECT_FALSE(dc.IsPrinting());
    EXPECT_EQ(pixel(image, 0, 5), GetSysColor(COLOR_ACTIVECAPTION));
}

} // namespace
} // namespace glimra
