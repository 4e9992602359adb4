// The progress-bar window: its message answers, its timers, its tool tip and
// how it looks.

#include "glimra/fontmetrics.h"
#include "glimra/progressctrl.h"
#include "glimra_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace glimra {
namespace {

using test::pixel;

// Sees what reaches the default processing.
class Control : public CProgressCtrlX {
public:
    std::vector<std::pair<UINT, WPARAM>> defaults;

protected:
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        defaults.emplace_back(message, wParam);
        return CProgressCtrlX::DefWindowProc(message, wParam, lParam);
    }
};

class ProgressCtrlTest : public test::WithApplication {
protected:
    std::shared_ptr<ManualTimerBackend> manual = std::make_shared<ManualTimerBackend>();
    ScopedTimerBackend timers{manual};
    Control control;
};

TEST_F(ProgressCtrlTest, RangeMessagesPackTheBoundsInWords) {
    control.sendMessage(PBM_SETRANGE32, 10, 20);
    EXPECT_EQ(control.sendMessage(PBM_SETRANGE, 0, MAKELONG(0, 100)), MAKELONG(10, 20));
    EXPECT_EQ(control.sendMessage(PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(control.sendMessage(PBM_GETRANGE, FALSE, 0), 100);
    PBRANGE range;
    control.sendMessage(PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
}

TEST_F(ProgressCtrlTest, PositionMessagesAnswerTheOldValue) {
    EXPECT_EQ(control.sendMessage(PBM_SETPOS, 30), 0);
    EXPECT_EQ(control.sendMessage(PBM_DELTAPOS, static_cast<WPARAM>(-5)), 30);
    EXPECT_EQ(control.sendMessage(PBM_GETPOS), 25);
    EXPECT_EQ(control.sendMessage(PBM_SETSTEP, 7), 10);
    EXPECT_EQ(control.sendMessage(PBM_STEPIT), 25);
    EXPECT_EQ(control.GetPos(), 32);
    EXPECT_EQ(control.sendMessage(WM_ERASEBKGND), TRUE);
}

TEST_F(ProgressCtrlTest, ColourMessagesSetTheBarAndBackground) {
    EXPECT_EQ(static_cast<COLORREF>(control.sendMessage(PBM_SETBARCOLOR, 0, RGB(0, 0, 255))),
              CLR_DEFAULT);
    EXPECT_EQ(control.GetColorArray(), (std::vector<COLORREF>{RGB(0, 0, 255), RGB(0, 0, 255)}));
    control.sendMessage(PBM_SETBARCOLOR, RGB(0, 255, 0), RGB(0, 0, 255));
    EXPECT_EQ(control.GetColorArray(), (std::vector<COLORREF>{RGB(0, 0, 255), RGB(0, 255, 0)}));
    EXPECT_EQ(static_cast<COLORREF>(control.sendMessage(PBM_SETBKCOLOR, 0, RGB(9, 9, 9))),
              CLR_DEFAULT);
    EXPECT_EQ(control.GetBkColor(), RGB(9, 9, 9));
}

TEST_F(ProgressCtrlTest, TextMessagesCopyWithTheTerminatorWithinTheBuffer) {
    EXPECT_EQ(control.sendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>("0123456789")), TRUE);
    EXPECT_EQ(control.sendMessage(WM_GETTEXTLENGTH), 10);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(control.sendMessage(WM_GETTEXT, 4, reinterpret_cast<LPARAM>(buffer)), 3);
    EXPECT_STREQ(buffer, "012");
    EXPECT_EQ(buffer[4], 'x');
    EXPECT_EQ(control.sendMessage(WM_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer)), 0);

    CFont font;
    font.CreatePointFont(90, "Arial");
    EXPECT_EQ(control.sendMessage(WM_GETFONT), 0);
    control.sendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(&font), 1);
    EXPECT_EQ(control.sendMessage(WM_GETFONT), reinterpret_cast<LRESULT>(&font));
    EXPECT_EQ(control.GetFont(), &font);
}

TEST_F(ProgressCtrlTest, TimersStepScrollAndPassTheRestOn) {
    control.StartAutoStep(200);
    EXPECT_EQ(manual->period(CProgressCtrlX::AutoStepTimer), 200u);
    manual->fire(CProgressCtrlX::AutoStepTimer);
    manual->fire(CProgressCtrlX::AutoStepTimer);
    EXPECT_EQ(control.GetPos(), 20);
    control.StopAutoStep();
    EXPECT_EQ(manual->fire(CProgressCtrlX::AutoStepTimer), 0);

    control.StartGradientScroll(50, 30);
    manual->fire(CProgressCtrlX::GradientScrollTimer);
    manual->fire(CProgressCtrlX::GradientScrollTimer);
    EXPECT_EQ(control.GetGradientOffset(), 60);
    control.StopGradientScroll();

    control.defaults.clear();
    control.sendMessage(WM_TIMER, 13);
    EXPECT_EQ(control.GetPos(), 20);
    EXPECT_EQ(control.GetGradientOffset(), 60);
    ASSERT_EQ(control.defaults.size(), 1u);
    EXPECT_EQ(control.defaults[0], (std::pair<UINT, WPARAM>{WM_TIMER, 13}));
}

TEST_F(ProgressCtrlTest, TheToolTipFollowsThePosition) {
    EXPECT_FALSE(control.tooltipExists());
    control.SetTooltipFormat("%d %% done", PBS_PERCENT | 0x8000);
    EXPECT_TRUE(control.tooltipActive());
    EXPECT_EQ(control.toolTip(), "0 % done");
    control.SetPos(40);
    EXPECT_EQ(control.toolTip(), "40 % done");
    control.HideTooltip();
    EXPECT_TRUE(control.tooltipExists());
    EXPECT_FALSE(control.tooltipActive());
    EXPECT_TRUE(control.toolTip().isEmpty());
    EXPECT_FALSE(control.GetSnake()); // the mode kept only its text bits
}

TEST_F(ProgressCtrlTest, PicturesOfTheControl) {
    ScopedFontMetrics metrics(std::make_shared<FixedFontMetrics>(7, 12));
    control.resize(200, 24);
    control.SetColors(RGB(0, 0, 128), RGB(0, 128, 255));
    control.ShowPercent(true);
    control.SetPos(60);
    const QImage bar = test::grabWidget(&control, "progressctrl_percent");
    EXPECT_EQ(pixel(bar, 0, 0), RGB(0, 0, 128));
    EXPECT_EQ(pixel(bar, 150, 2), control.GetBkColor());

    CProgressCtrlX vertical;
    vertical.resize(24, 120);
    vertical.ModifyStyle(0, PBS_VERTICAL);
    vertical.SetText("%d", PBS_POSITION);
    vertical.SetPos(75);
    const QImage tall = test::grabWidget(&vertical, "progressctrl_vertical");
    EXPECT_EQ(pixel(tall, 12, 119), vertical.GetColorArray()[0]);
    EXPECT_EQ(pixel(tall, 2, 2), vertical.GetBkColor());

    CProgressCtrlX snake;
    snake.resize(200, 16);
    snake.SetSnake(true);
    snake.SetPos(70);
    const QImage moving = test::grabWidget(&snake, "progressctrl_snake");
    EXPECT_EQ(pixel(moving, 20, 8), snake.GetBkColor());
    EXPECT_NE(pixel(moving, 100, 8), snake.GetBkColor());
}

} // namespace
} // namespace glimra
