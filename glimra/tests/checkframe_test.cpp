// The check frame switches the controls wholly inside its frame.

#include "glimra/checkframe.h"
#include "glimra/dialog.h"
#include "glimra_test_support.h"

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class CheckFrameTest : public test::WithApplication {
protected:
    void SetUp() override {
        dialog.resize(240, 160);
        frame = add(new QGroupBox("Range", &dialog), 10010, {10, 20, 110, 120});
        inside = add(new QLineEdit(&dialog), 10012, {20, 40, 100, 60});
        touching = add(new QLineEdit(&dialog), 10013, {20, 70, 110, 90});
        outside = add(new QLineEdit(&dialog), 10016, {120, 40, 200, 60});
        check = add(new QCheckBox("&Auto scale", &dialog), 10011, {20, 14, 100, 28});
    }

    template <typename W> W* add(W* widget, int id, RECT r) {
        setDlgCtrlID(widget, id);
        widget->setGeometry(toQRect(r));
        return widget;
    }

    QDialog dialog;
    QGroupBox* frame = nullptr;
    QLineEdit* inside = nullptr;
    QLineEdit* touching = nullptr;
    QLineEdit* outside = nullptr;
    QCheckBox* check = nullptr;
};

TEST_F(CheckFrameTest, OnlyControlsWhollyInsideTheFrameAreSwitched) {
    CCheckFrame checkFrame;
    checkFrame.EnableControls(FALSE); // nothing attached: nothing happens
    EXPECT_TRUE(inside->isEnabled());

    ASSERT_TRUE(checkFrame.Attach(&dialog, 10010));
    EXPECT_EQ(checkFrame.frameRect(), (RECT{10, 20, 110, 120}));
    checkFrame.EnableControls(FALSE);
    EXPECT_FALSE(inside->isEnabled());
    EXPECT_TRUE(touching->isEnabled()); // on the frame's right edge
    EXPECT_TRUE(outside->isEnabled());
    EXPECT_TRUE(check->isEnabled()); // reaches above the frame
    EXPECT_TRUE(frame->isEnabled());
    test::grabWidget(&dialog, "checkframe_disabled");
    checkFrame.EnableControls(TRUE);
    EXPECT_TRUE(inside->isEnabled());
}

TEST_F(CheckFrameTest, AttachReplacesTheListAndAFailedAttachKeepsIt) {
    CCheckFrame checkFrame;
    ASSERT_TRUE(checkFrame.Attach(&dialog, 10010));
    EXPECT_FALSE(checkFrame.Attach(&dialog, 4711));
    EXPECT_EQ(checkFrame.controls(), (std::vector<QWidget*>{inside}));

    outside->setGeometry(30, 95, 60, 20); // moved into the frame
    delete inside;
    checkFrame.EnableControls(FALSE); // a destroyed control is passed over
    EXPECT_TRUE(outside->isEnabled());
    ASSERT_TRUE(checkFrame.Attach(&dialog, 10010));
    EXPECT_EQ(checkFrame.controls(), (std::vector<QWidget*>{outside}));
}

} // namespace
} // namespace glimra
