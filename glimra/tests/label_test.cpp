// The text rotator and the label: turning pixels, alignment, texts seen from
// inside and outside, hover, flashing and what a label looks like.

#include "fake_seams.h"
#include "glimra/desktop.h"
#include "glimra/dialog.h"
#include "glimra/fontmetrics.h"
#include "glimra/label.h"
#include "glimra/resources.h"
#include "glimra/syscolors.h"
#include "glimra_test_support.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstring>

namespace glimra {
namespace {

using test::pixel;

class LabelTest : public test::WithApplication, protected test::FakeSeams {
protected:
    // The label as it paints itself, pixel exact.
    QImage render(CNewLabel& l) {
        QImage image = test::blankImage(l.width(), l.height());
        CDC dc(&image);
        l.render(&dc);
        return image;
    }
    // Pixels of the image that are not colour.
    static int countOther(const QImage& image, COLORREF colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                n += pixel(image, x, y) != colour ? 1 : 0;
            }
        }
        return n;
    }

    ScopedFontMetrics metrics{std::make_shared<FixedFontMetrics>(6, 10)};
    QWidget parent;
    CNewLabel label{&parent};
};

TEST_F(LabelTest, TurningMovesEveryPixelWhereTheAngleSays) {
    // A 3 x 2 source of distinct pixels.
    CBitmap source;
    source.CreateBitmap(3, 2, 1, 32);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            source.image().setPixel(x, y, qRgb(10 * x, 100 + y, 0));
        }
    }
    CDC from;
    from.CreateCompatibleDC(nullptr);
    from.SelectObject(&source);
    for (const int angle : {0, 90, 180, 270}) {
        CBitmap target;
        target.CreateBitmap(3, 3, 1, 32);
        CDC to;
        to.CreateCompatibleDC(nullptr);
        to.SelectObject(&target);
        ASSERT_TRUE(CTextRotator::RotateBlt(&from, &to, 0, 0, 3, 2, angle));
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 3; ++x) {
                QPoint d(x, y);
                if (angle == 90) {
                    d = QPoint(2 - 1 - y, x);
                } else if (angle == 180) {
                    d = QPoint(3 - 1 - x, 2 - 1 - y);
                } else if (angle == 270) {
                    d = QPoint(y, 3 - 1 - x);
                }
                EXPECT_EQ(target.image().pixel(d) | 0xFF000000u, qRgb(10 * x, 100 + y, 0))
                    << angle << " degrees, source " << x << "," << y;
            }
        }
    }
}

TEST_F(LabelTest, TwoLinesTurnedBy90AreAsWideAsTheyAreTall) {
    QImage image = test::blankImage(100, 100);
    CDC dc(&image);
    CTextRotator rotator(&dc, "abc\nab", 0, 0);
    ASSERT_TRUE(rotator.DrawRotatedText(90));
    EXPECT_EQ(rotator.GetRect(), (RECT{0, 0, 2 * 10, 3 * 6}));
    ASSERT_TRUE(rotator.DrawRotatedText(180));
    EXPECT_EQ(rotator.GetRect(), (RECT{0, 0, 3 * 6, 2 * 10}));
    rotator.Clear();
    EXPECT_FALSE(rotator.BltTo(0, 0));
}

TEST_F(LabelTest, AlignedCopiesLandByTheAlignmentAndEtchedLinesKeepTheirGap) {
    QImage image = test::blankImage(100, 50);
    DrawRecorder recorder;
    CDC dc(&image);
    dc.setRecorder(&recorder);
    // "abcd" is 24 x 10.
    const struct {
        int h, v;
        QPoint at;
    } cases[] = {{0, 0, {0, 0}}, {1, 1, {38, 20}}, {2, 2, {76, 40}}, {2, 0, {76, 0}}};
    for (const auto& c : cases) {
        recorder.clear();
        CTextRotator rotator(&dc, "abcd", c.h, c.v);
        ASSERT_TRUE(rotator.DrawRotatedText(0));
        ASSERT_TRUE(rotator.BltAligned(0, 0, 100, 50));
        const auto blts = recorder.ofKind(DrawOp::Blt);
        ASSERT_EQ(blts.size(), 1u);
        EXPECT_EQ(blts[0].rect, QRect(c.at, QSize(24, 10))) << c.h << "," << c.v;
    }
    recorder.clear();
    CTextRotator centred(&dc, "abcd", 1, 1);
    centred.SetEtchedLines(TRUE);
    centred.DrawRotatedText(0);
    centred.BltAligned(0, 0, 100, 50);
    auto edges = recorder.ofKind(DrawOp::Edge);
    ASSERT_EQ(edges.size(), 2u);
    EXPECT_EQ(edges[0].rect.left(), 6);
    EXPECT_EQ(edges[0].rect.right() + 1, 50 - 12 - 6);
    EXPECT_EQ(edges[1].rect.left(), 50 + 12 + 6);
    EXPECT_EQ(edges[0].rect.top(), 25);
    recorder.clear();
    CTextRotator upright(&dc, "abcd", 0, 0);
    upright.SetEtchedLines(TRUE);
    upright.DrawRotatedText(90);
    upright.BltAligned(0, 0, 100, 50);
    edges = recorder.ofKind(DrawOp::Edge);
    ASSERT_EQ(edges.size(), 1u);
    EXPECT_EQ(edges[0].rect, QRect(5, 24 + 6, 2, 50 - 6 - 30)) << "a vertical line below the text";
    EXPECT_EQ(edges[0].edgeFlags, BF_LEFT);
}

TEST_F(LabelTest, AlignmentFlagsCombineAsTheyAreGiven) {
    const struct {
        UINT before, given, after;
        int horizontal, vertical;
    } cases[] = {
        {9, 16, 25, 0, 0}, // a vertical bit alone keeps the earlier one
        {9, 2, 2, 1, 0},   // a horizontal bit alone drops the vertical one
        {9, 4 | 32, 36, 2, 2},
        {9, 1 | 4 | 16, 17, 0, 1}, // of several horizontal bits the left one wins
        {9, 0, 9, 0, 0},
    };
    for (const auto& c : cases) {
        label.SetAlignment(c.before);
        label.SetAlignment(c.given);
        EXPECT_EQ(label.GetAlignment(), c.after) << c.before << " then " << c.given;
        EXPECT_EQ(label.GetHorzAlignmentIndex(), c.horizontal);
        EXPECT_EQ(label.GetVertAlignmentIndex(), c.vertical);
    }
    label.SetAlignment(LBL_CENTER);
    EXPECT_EQ(label.GetStyle() & SS_TYPEMASK, SS_CENTER);
    label.SetAlignment(LBL_RIGHT);
    EXPECT_EQ(label.GetStyle() & SS_TYPEMASK, SS_RIGHT);
}

TEST_F(LabelTest, AMultiLineTextWithoutTopAlignmentIsDrawnAsStars) {
    QImage image = test::blankImage(100, 40);
    DrawRecorder recorder;
    CDC dc(&image);
    dc.setRecorder(&recorder);
    CNewLabel::DrawAlignedText(&dc, "one\ntwo", RECT{0, 0, 100, 40}, 17);
    ASSERT_EQ(recorder.texts().size(), 1u);
    EXPECT_EQ(recorder.texts()[0].text, "**********");
    recorder.clear();
    CNewLabel::DrawAlignedText(&dc, "one", RECT{0, 0, 100, 40}, 4 | 32);
    ASSERT_EQ(recorder.texts().size(), 1u);
    EXPECT_EQ(recorder.texts()[0].from, QPoint(100 - 18, 30));
}

TEST_F(LabelTest, TextQueriesFromOutsideSeeTheLabelTextWithinTheBuffer) {
    label.SetText("abcde");
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(label.sendMessage(WM_GETTEXT, 4, reinterpret_cast<LPARAM>(buffer)), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'x');
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(label.sendMessage(WM_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer)), 0);
    EXPECT_EQ(buffer[0], 'x') << "a buffer of no characters is not written";
    EXPECT_EQ(label.GetText(buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'x');
}

TEST_F(LabelTest, StackedLettersShowOneLetterPerLineButReadAsOneLine) {
    label.SetText("abc");
    label.SetStackedText(TRUE);
    std::string shown;
    label.GetText(shown);
    EXPECT_EQ(shown, "a\nb\nc");
    EXPECT_EQ(label.GetLabelText(), "abc");
    EXPECT_EQ(label.GetWindowText(), "abc");
    label.SetWindowText("xy");
    EXPECT_EQ(label.GetLabelText(), "xy") << "a text set from outside becomes the label text";
    label.SetStackedText(FALSE);
    label.GetText(shown);
    EXPECT_EQ(shown, "xy");
}

TEST_F(LabelTest, HoverColourShowsOnlyWhileTheTipIsOnWithAText) {
    label.SetHoverHighlight(TRUE);
    label.SetHoverColor(RGB(255, 0, 0));
    label.SetHighlightOnlyWithToolTip(TRUE);
    const COLORREF normal = label.GetTextColor();
    label.sendMessage(WM_MOUSEHOVER);
    EXPECT_EQ(label.GetTextColor(), normal);
    label.sendMessage(WM_MOUSELEAVE);
    label.ShowToolTip(TRUE);
    label.sendMessage(WM_MOUSEHOVER);
    EXPECT_EQ(label.GetTextColor(), normal) << "the tip has no text";
    label.sendMessage(WM_MOUSELEAVE);
    label.SetToolTipText("more");
    label.sendMessage(WM_MOUSEHOVER);
    EXPECT_EQ(label.GetTextColor(), RGB(255, 0, 0));
    label.sendMessage(WM_MOUSELEAVE);
    EXPECT_EQ(label.GetTextColor(), normal);
    EXPECT_TRUE(timers->isRunning(0x7F01)) << "hover tracking asked for again";
    label.ShowToolTip(FALSE);
    EXPECT_FALSE(label.toolTip().IsShown());
}

TEST_F(LabelTest, WithoutBitmapTheTextBlockIsFilledInTheTextBackground) {
    label.setGeometry(0, 0, 80, 30);
    label.SetText("abc");
    label.SetTextBkColor(RGB(0, 0, 255));
    const QImage image = render(label);
    EXPECT_EQ(pixel(image, 17, 9), RGB(0, 0, 255)) << "inside the 18 x 10 block";
    EXPECT_EQ(pixel(image, 18, 5), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(pixel(image, 5, 10), GetSysColor(COLOR_BTNFACE));
}

TEST_F(LabelTest, BackgroundFlashAlternatesTheFaceAndItsShiftedValue) {
    label.setGeometry(0, 0, 40, 20);
    label.FlashBackground(TRUE, 300);
    EXPECT_EQ(timers->period(CNewLabel::BackgroundFlashTimer), 300u);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(pixel(render(label), 39, 19), face);
    timers->fire(CNewLabel::BackgroundFlashTimer);
    EXPECT_EQ(pixel(render(label), 39, 19), face >> 1);
    timers->fire(CNewLabel::BackgroundFlashTimer);
    EXPECT_EQ(pixel(render(label), 39, 19), face);
    label.FlashBackground(FALSE, 0);
    EXPECT_FALSE(timers->isRunning(CNewLabel::BackgroundFlashTimer));
}

TEST_F(LabelTest, FlashingTextDisappearsInItsHiddenPhase) {
    label.setGeometry(0, 0, 60, 20);
    label.SetText("flash");
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const int inked = countOther(render(label), face);
    ASSERT_GT(inked, 0);
    label.FlashText(TRUE, 500);
    timers->fire(CNewLabel::TextFlashTimer);
    std::string shown;
    label.GetText(shown);
    EXPECT_EQ(shown, "");
    EXPECT_EQ(countOther(render(label), face), 0);
    timers->fire(CNewLabel::TextFlashTimer);
    EXPECT_EQ(countOther(render(label), face), inked);
    label.FlashText(FALSE, 0);
    label.GetText(shown);
    EXPECT_EQ(shown, "flash");
}

TEST_F(LabelTest, ALinkOpensItsTextWithTheDesktop) {
    label.SetText("https://example.invalid/manual");
    label.setGeometry(0, 0, 100, 20);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&label, &press);
    EXPECT_TRUE(desktop->opened.empty()) << "not a link yet";
    label.SetLink(TRUE);
    QApplication::sendEvent(&label, &press);
    ASSERT_EQ(desktop->opened.size(), 1u);
    EXPECT_EQ(desktop->opened[0], "https://example.invalid/manual");
}

TEST_F(LabelTest, DialogStaticsKeepTheirAlignmentWhenSubclassed) {
    QWidget dialog;
    auto* centred = new QLabel("Centred", &dialog);
    setDlgCtrlID(centred, 100);
    centred->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    centred->setGeometry(10, 10, 100, 20);
    CNewLabel taking;
    ASSERT_TRUE(taking.SubclassDlgItem(100, &dialog));
    EXPECT_EQ(GetDlgItem(&dialog, 100), &taking);
    EXPECT_EQ(taking.geometry(), QRect(10, 10, 100, 20));
    EXPECT_EQ(taking.GetAlignment(), LBL_CENTER | LBL_VCENTER);
    EXPECT_EQ(taking.GetLabelText(), "Centred");
    EXPECT_NE(taking.GetStyle() & SS_NOTIFY, 0u);
    EXPECT_FALSE(taking.SubclassDlgItem(101, &dialog));
    taking.setParent(nullptr);
}

class LabelPicture : public test::WithApplication {};

// Labels as a client shows them, with the machine's own fonts.
TEST_F(LabelPicture, LabelsOfEveryKind) {
    ProgramResources& program = programResources();
    QImage stripes(120, 40, QImage::Format_RGB32);
    {
        QPainter p(&stripes);
        for (int x = 0; x < 120; x += 10) {
            p.fillRect(x, 0, 10, 40, x % 20 == 0 ? QColor(200, 220, 255) : QColor(230, 240, 255));
        }
    }
    program.addBitmap(42001, stripes);
    QWidget panel;
    panel.resize(420, 200);
    test::fillButtonFace(&panel);
    auto make = [&](const char* text, QRect at) {
        auto* l = new CNewLabel(&panel);
        l->setGeometry(at);
        l->SetText(text);
        return l;
    };
    make("Plain label", {10, 10, 120, 20});
    CNewLabel* bold = make("Centred, bold, blue", {140, 10, 150, 20});
    bold->SetAlignment(LBL_CENTER | LBL_VCENTER);
    bold->SetFontBold(TRUE);
    bold->SetTextColor(RGB(0, 0, 160));
    bold->SetBorder(TRUE);
    CNewLabel* sunken = make("Sunken, right", {10, 40, 130, 24});
    sunken->SetSunken(TRUE);
    sunken->SetAlignment(LBL_RIGHT | LBL_VCENTER);
    CNewLabel* etched = make("Section", {150, 40, 260, 24});
    etched->SetEtchedLines(TRUE);
    etched->SetAlignment(LBL_CENTER | LBL_VCENTER);
    CNewLabel* turned = make("Turned 90", {300, 80, 24, 110});
    turned->SetAngle(90);
    turned->SetAlignment(LBL_CENTER | LBL_VCENTER);
    CNewLabel* turned270 = make("Turned 270", {330, 80, 24, 110});
    turned270->SetAngle(270);
    turned270->SetAlignment(LBL_CENTER | LBL_VCENTER);
    turned270->SetTextColor(RGB(128, 0, 0));
    CNewLabel* stacked = make("ABC", {370, 80, 30, 110});
    stacked->SetStackedText(TRUE);
    stacked->SetAlignment(LBL_CENTER | LBL_VCENTER);
    CNewLabel* disabled = make("Disabled, embossed", {10, 80, 150, 20});
    disabled->SetDisabledStyle(TRUE);
    CNewLabel* coloured = make("Own colours", {10, 110, 150, 22});
    coloured->SetBkColor(RGB(255, 255, 225));
    coloured->SetTextColor(RGB(0, 110, 0));
    coloured->SetAlignment(LBL_CENTER | LBL_VCENTER);
    coloured->SetFontItalic(1);
    CNewLabel* link = make("Open the manual", {10, 140, 150, 20});
    link->SetLink(TRUE);
    link->SetFontUnderline(1);
    link->SetTextColor(RGB(0, 0, 255));
    CNewLabel* picture = make("Over a bitmap", {170, 110, 120, 40});
    picture->SetBitmap(42001);
    picture->SetAlignment(LBL_CENTER | LBL_VCENTER);
    CNewLabel* upper = make("upper case", {170, 160, 120, 20});
    upper->SetUpperCase(TRUE);
    const QImage image = test::grabWidget(&panel, "labels");
    EXPECT_FALSE(image.isNull());
    program.clear();
}

} // namespace
} // namespace glimra
