// The status dialog: its five layouts, showing and closing with a disabled
// owner, the Cancel button and the progress bar in place of the second line.

#include "glimra/dialog.h"
#include "glimra/library.h"
#include "glimra/progressctrl.h"
#include "glimra/resources.h"
#include "glimra/statusdlg.h"
#include "glimra_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QPainter>

#include <gtest/gtest.h>

namespace glimra {
namespace {

constexpr UINT HourglassIcon = 32001;

QImage hourglass() {
    QImage icon(32, 32, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setPen(QColor(40, 40, 40));
    p.setBrush(QColor(230, 190, 60));
    const QPoint top[] = {{6, 3}, {26, 3}, {16, 16}};
    const QPoint bottom[] = {{6, 29}, {26, 29}, {16, 16}};
    p.drawPolygon(top, 3);
    p.drawPolygon(bottom, 3);
    return icon;
}

class StatusDlgTest : public test::WithLibrary {
protected:
    void SetUp() override { programResources().addIcon(HourglassIcon, hourglass()); }
    void TearDown() override { programResources().clear(); }

    // Where a control of the dialog lies, in dialog units.
    RECT unitsOf(int id) {
        const QWidget* control = GetDlgItem(&dialog, id);
        const DialogBaseUnits units = dialogBaseUnits(dialog.font());
        const RECT px = windowRectIn(control, &dialog);
        return {MulDiv(px.left, 4, units.x), MulDiv(px.top, 8, units.y),
                MulDiv(px.right - px.left, 4, units.x), MulDiv(px.bottom - px.top, 8, units.y)};
    }
    bool shown(int id) { return GetDlgItem(&dialog, id)->isVisibleTo(&dialog); }

    CStatusDlg dialog;
};

TEST_F(StatusDlgTest, LayoutsPlaceTheirControls) {
    const struct {
        int layout;
        int height;
        bool icon, text2, cancel;
        RECT text1; // x, y, cx, cy
    } cases[] = {
        {0, 44, false, false, false, {17, 16, 153, 12}},
        {1, 44, true, false, false, {37, 16, 132, 12}},
        {2, 54, true, false, true, {37, 16, 132, 12}},
        {3, 55, true, true, false, {37, 14, 132, 11}},
        {4, 65, true, true, true, {37, 14, 132, 11}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(dialog.Create(c.layout, HourglassIcon));
        const DialogBaseUnits units = dialogBaseUnits(dialog.font());
        EXPECT_EQ(dialog.height(), MulDiv(c.height, units.y, 8)) << c.layout;
        EXPECT_EQ(dialog.width(), MulDiv(187, units.x, 4));
        EXPECT_EQ(shown(CStatusDlg::IconId), c.icon) << c.layout;
        EXPECT_EQ(shown(CStatusDlg::Text2Id), c.text2) << c.layout;
        EXPECT_EQ(GetDlgItem(&dialog, CStatusDlg::Text2Id)->isEnabled(), c.text2);
        EXPECT_EQ(shown(CStatusDlg::CancelId), c.cancel) << c.layout;
        EXPECT_FALSE(shown(CStatusDlg::ProgressId));
        const RECT t1 = unitsOf(CStatusDlg::Text1Id);
        EXPECT_NEAR(t1.left, c.text1.left, 1) << c.layout;
        EXPECT_NEAR(t1.top, c.text1.top, 1) << c.layout;
        EXPECT_NEAR(t1.right, c.text1.right, 1) << c.layout;
        EXPECT_TRUE(dialog.text1()->text().isEmpty()) << "the template text is cleared";
        // The icon is shown only where the layout has a place for it.
        EXPECT_EQ(dialog.iconControl()->pixmap().isNull(), c.layout == 0);
    }
}

TEST_F(StatusDlgTest, ShowStatusRefusesAnUnknownLayoutAndLeavesNoWindow) {
    EXPECT_FALSE(dialog.ShowStatus(5, 0, TRUE, nullptr, FALSE));
    EXPECT_FALSE(dialog.exists());
    EXPECT_FALSE(dialog.Create(-1));
    // A window shown before goes, and the owner it disabled comes back.
    QWidget owner;
    ASSERT_TRUE(dialog.ShowStatus(1, 0, FALSE, &owner, TRUE));
    ASSERT_FALSE(owner.isEnabled());
    EXPECT_FALSE(dialog.ShowStatus(5, 0, TRUE, &owner, TRUE));
    EXPECT_FALSE(dialog.exists());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(owner.isEnabled());
}

TEST_F(StatusDlgTest, CancelIsOnlyNotedAndCloseGivesTheOwnerBack) {
    QMainWindow program;
    program.show();
    ASSERT_TRUE(dialog.ShowStatus(2, HourglassIcon, TRUE, nullptr, TRUE));
    EXPECT_EQ(dialog.disabledOwner(), &program) << "the main window when none is given";
    EXPECT_FALSE(program.isEnabled());
    EXPECT_FALSE(dialog.IsCancelled());
    dialog.cancelButton()->click();
    EXPECT_TRUE(dialog.IsCancelled());
    EXPECT_TRUE(dialog.isVisible());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &escape);
    EXPECT_TRUE(dialog.isVisible()) << "Escape does not close it either";
    EXPECT_TRUE(dialog.Close());
    EXPECT_TRUE(program.isEnabled());
    EXPECT_FALSE(dialog.exists());

    // Shown again, the flag starts cleared; a dialog deleted without Close
    // does not leave its owner disabled.
    QWidget owner;
    {
        CStatusDlg forgotten;
        ASSERT_TRUE(forgotten.ShowStatus(4, 0, FALSE, &owner, TRUE));
        EXPECT_FALSE(forgotten.IsCancelled());
        EXPECT_FALSE(owner.isEnabled());
    }
    EXPECT_TRUE(owner.isEnabled());
}

TEST_F(StatusDlgTest, CancelTextAndEnablingNeedAUsableCancel) {
    ASSERT_TRUE(dialog.Create(1));
    dialog.SetCancelText("Stop");
    EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
    EXPECT_FALSE(dialog.EnableCancel(TRUE));
    EXPECT_FALSE(dialog.ShowCancel(TRUE, FALSE)) << "layout 1 has no Cancel";

    ASSERT_TRUE(dialog.Create(4));
    EXPECT_TRUE(dialog.ShowCancel(TRUE, FALSE)) << "already shown";
    ASSERT_TRUE(dialog.ShowCancel(FALSE, FALSE));
    EXPECT_FALSE(shown(CStatusDlg::CancelId));
    dialog.SetCancelText("Stop");
    EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
    EXPECT_FALSE(dialog.EnableCancel(TRUE));
    ASSERT_TRUE(dialog.ShowCancel(TRUE, FALSE));
    dialog.SetCancelText("Stop");
    EXPECT_EQ(dialog.cancelButton()->text(), "Stop");
    EXPECT_TRUE(dialog.EnableCancel(FALSE));
    EXPECT_FALSE(dialog.cancelButton()->isEnabled());
    EXPECT_TRUE(dialog.EnableCancel(2)) << "only 1 enables";
    EXPECT_FALSE(dialog.cancelButton()->isEnabled());
}

TEST_F(StatusDlgTest, TheProgressBarTakesTheSecondLinesPlace) {
    ASSERT_TRUE(dialog.Create(2));
    EXPECT_FALSE(dialog.ShowProgress(TRUE, FALSE)) << "no second line in layout 2";

    ASSERT_TRUE(dialog.Create(3));
    dialog.SetText2("Reading the spectra");
    ASSERT_TRUE(dialog.ShowProgress(TRUE, FALSE));
    EXPECT_TRUE(shown(CStatusDlg::ProgressId));
    EXPECT_TRUE(dialog.progress()->isEnabled());
    EXPECT_FALSE(shown(CStatusDlg::Text2Id));
    EXPECT_EQ(dialog.progress()->geometry(), GetDlgItem(&dialog, CStatusDlg::Text2Id)->geometry());
    ASSERT_TRUE(dialog.ShowProgress(FALSE, FALSE));
    EXPECT_TRUE(shown(CStatusDlg::Text2Id));
    EXPECT_EQ(dialog.text2()->text(), "Reading the spectra");
    EXPECT_FALSE(shown(CStatusDlg::ProgressId));
}

TEST_F(StatusDlgTest, ProgressCallsAnswerWithThePreviousValues) {
    ASSERT_TRUE(dialog.Create(3));
    dialog.SetProgressRange(0, 100);
    EXPECT_EQ(dialog.SetProgressPos(40), 0);
    EXPECT_EQ(dialog.OffsetProgressPos(5), 40);
    EXPECT_EQ(dialog.SetProgressStep(20), 10);
    EXPECT_EQ(dialog.StepProgress(), 45);
    EXPECT_EQ(dialog.GetProgressPos(), 65);
    dialog.SetProgressRange(10, 70000);
    int lower = 0;
    int upper = 0;
    dialog.GetProgressRange(lower, upper);
    EXPECT_EQ(lower, 10);
    EXPECT_EQ(upper, 70000 & 0xFFFF) << "the range travels as two 16-bit halves";
}

TEST_F(StatusDlgTest, TextsAndIconsComeFromTheResourceChain) {
    programResources().addString(32100, "Saving the logbook");
    ASSERT_TRUE(dialog.Create(4));
    dialog.SetText1(32100U);
    EXPECT_EQ(dialog.text1()->text(), "Saving the logbook");
    dialog.SetText2(32999U);
    EXPECT_TRUE(dialog.text2()->text().isEmpty());
    EXPECT_EQ(dialog.SetIcon(32999U), 0);
    EXPECT_EQ(dialog.SetIcon(HourglassIcon), 0) << "no icon before";
    EXPECT_NE(dialog.SetIcon(HourglassIcon), 0);
}

TEST_F(StatusDlgTest, PicturesOfTheLayouts) {
    const char* firsts[] = {"Please wait...", "Connecting to the board",
                            "Measuring the dark current", "Exporting the spectra",
                            "Exporting the spectra"};
    for (int layout = 0; layout < 5; ++layout) {
        CStatusDlg shown;
        ASSERT_TRUE(shown.Create(layout, HourglassIcon));
        shown.SetText1(firsts[layout]);
        shown.SetText2("Spectrum 3 of 12");
        if (layout == 4) {
            shown.SetProgressRange(0, 12);
            shown.SetProgressPos(3);
            shown.ShowProgress(TRUE, FALSE);
        }
        test::grabWidget(&shown, "statusdlg_layout" + std::to_string(layout));
    }
}

} // namespace
} // namespace glimra
