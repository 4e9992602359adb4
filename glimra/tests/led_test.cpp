// The signal lamp: where it lands, its colours and transparency, its states,
// ping and blink.

#include "glimra/led.h"
#include "glimra/library.h"
#include "glimra/syscolors.h"
#include "glimra_test_support.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace glimra {
namespace {

using test::pixel;

constexpr COLORREF Under = RGB(12, 34, 56);

class LedTest : public test::WithLibrary {
protected:
    QImage draw(int w, int h, int colour, int state, int shape) {
        led.resize(w, h);
        QImage image = test::blankImage(w, h, Under);
        CDC dc(&image);
        led.DrawLed(&dc, colour, state, shape);
        return image;
    }

    std::shared_ptr<ManualTimerBackend> timers = std::make_shared<ManualTimerBackend>();
    ScopedTimerBackend installTimers{timers};
    CLed led;
};

TEST_F(LedTest, TheLampIsCentredInALargerControl) {
    const struct {
        int w, h;
        QPoint corner;
    } cases[] = {{16, 16, {0, 0}},
                 {40, 20, {12, 2}},
                 {41, 41, {12, 12}},
                 {40, 15, {0, 0}},
                 {10, 30, {0, 0}}};
    for (const auto& c : cases) {
        const QImage image = draw(c.w, c.h, CLed::Red, CLed::On, CLed::Square);
        // The square lamp's outline starts one pixel in from its cell.
        const QPoint outline = c.corner + QPoint(1, 1);
        EXPECT_NE(pixel(image, outline.x(), outline.y()), Under) << c.w << "x" << c.h;
        EXPECT_EQ(pixel(image, c.corner.x(), c.corner.y()), Under) << "magenta is transparent";
        if (c.w > 16) {
            EXPECT_EQ(pixel(image, c.w - 1, c.h - 1), Under);
        }
    }
}

TEST_F(LedTest, CellsShowTheColourLitHalfBrightOrGrey) {
    const struct {
        int colour;
        COLORREF lit, dark;
    } colours[] = {{CLed::Red, RGB(255, 0, 0), RGB(127, 0, 0)},
                   {CLed::Green, RGB(0, 255, 0), RGB(0, 127, 0)},
                   {CLed::Yellow, RGB(255, 255, 0), RGB(127, 127, 0)},
                   {CLed::Blue, RGB(0, 0, 255), RGB(0, 0, 127)}};
    for (const auto& c : colours) {
        for (const int shape : {CLed::Round, CLed::Square}) {
            EXPECT_EQ(pixel(draw(16, 16, c.colour, CLed::On, shape), 8, 8), c.lit);
            EXPECT_EQ(pixel(draw(16, 16, c.colour, CLed::Off, shape), 8, 8), c.dark);
            EXPECT_EQ(pixel(draw(16, 16, c.colour, CLed::Disabled, shape), 8, 8),
                      RGB(160, 160, 160));
        }
        EXPECT_EQ(pixel(draw(16, 16, c.colour, CLed::On, CLed::Round), 1, 1), Under);
        EXPECT_NE(pixel(draw(16, 16, c.colour, CLed::On, CLed::Square), 1, 1), Under);
    }
}

TEST_F(LedTest, ValuesOutsideTheStripAreNotTaken) {
    EXPECT_TRUE(led.SetLed(CLed::Blue, CLed::On, CLed::Square));
    EXPECT_FALSE(led.SetLed(5, 3, 7));
    EXPECT_EQ(led.GetColour(), CLed::Blue);
    EXPECT_EQ(led.GetLedState(), CLed::On);
    EXPECT_EQ(led.GetShape(), CLed::Square);
    EXPECT_FALSE(led.SetLed(-1, -7, 128));
    EXPECT_EQ(led.GetLedState(), CLed::On);
    EXPECT_TRUE(led.SetLed(-1, -1, -1));
    const QImage image = draw(16, 16, 80, CLed::On, CLed::Round);
    EXPECT_EQ(pixel(image, 8, 8), Under) << "a cell outside the strip draws nothing";
}

TEST_F(LedTest, OnOffAndEnableRespectTheDisabledState) {
    EXPECT_EQ(led.GetLedState(), CLed::Off);
    led.SetOn(TRUE);
    EXPECT_EQ(led.GetLedState(), CLed::On);
    led.Enable(FALSE, TRUE);
    EXPECT_EQ(led.GetLedState(), CLed::Disabled);
    led.SetOn(TRUE);
    EXPECT_EQ(led.GetLedState(), CLed::Disabled);
    led.Enable(TRUE, TRUE);
    EXPECT_EQ(led.GetLedState(), CLed::On);
    led.Enable(TRUE, FALSE);
    EXPECT_EQ(led.GetLedState(), CLed::On) << "enabling an enabled lamp changes nothing";
}

TEST_F(LedTest, APingLightsTheLampForOneFullPeriodAfterTheLastCall) {
    led.Ping(200);
    EXPECT_EQ(led.shownState(), CLed::On);
    led.Ping(300);
    EXPECT_EQ(timers->period(CLed::PingTimer), 300u);
    EXPECT_EQ(timers->running().size(), 1u);
    EXPECT_EQ(led.GetLedState(), CLed::Off) << "a ping stores no state";
    timers->fire(CLed::PingTimer);
    EXPECT_EQ(led.shownState(), CLed::Off);
    EXPECT_FALSE(led.IsPinging());
    EXPECT_FALSE(timers->isRunning(CLed::PingTimer));
}

TEST_F(LedTest, BlinkingAlternatesAndADisabledLampStartsDark) {
    led.Enable(FALSE, FALSE);
    EXPECT_TRUE(led.Blink(TRUE, 250));
    EXPECT_EQ(timers->period(CLed::BlinkTimer), 250u);
    const int expected[] = {CLed::Off, CLed::On, CLed::Off, CLed::On};
    for (const int state : expected) {
        timers->fire(CLed::BlinkTimer);
        EXPECT_EQ(led.GetLedState(), state);
    }
    EXPECT_FALSE(led.Blink(FALSE, 0));
    EXPECT_FALSE(timers->isRunning(CLed::BlinkTimer));
}

TEST_F(LedTest, EveryLampOfTheStrip) {
    QWidget panel;
    panel.resize(3 * 24 + 8, 8 * 24 + 8);
    test::fillButtonFace(&panel);
    for (int row = 0; row < 8; ++row) {
        for (int state = 0; state < 3; ++state) {
            auto* lamp = new CLed(&panel);
            lamp->setGeometry(4 + state * 24, 4 + row * 24, 24, 24);
            lamp->SetLed((row % 4) * 16, state, row >= 4 ? CLed::Square : CLed::Round);
        }
    }
    const QImage image = test::grabWidget(&panel, "leds");
    EXPECT_EQ(pixel(image, 4 + 12, 4 + 12), RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 4 + 4, 4 + 4), GetSysColor(COLOR_BTNFACE));
}

} // namespace
} // namespace glimra
