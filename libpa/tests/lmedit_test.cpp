#include "pa/forms.h"
#include "pa/lmedit.h"
#include "pa/sysutils.h"

#include <QFocusEvent>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The program's setting: a comma.
class EditTest : public ::testing::Test {
protected:
    void SetUp() override { pa::setDecimalSeparator(','); }
    void TearDown() override { pa::setDecimalSeparator('.'); }

    static void enter(QWidget* w) {
        QFocusEvent e(QEvent::FocusIn, Qt::TabFocusReason);
        QCoreApplication::sendEvent(w, &e);
    }
    static void leave(QWidget* w) {
        QFocusEvent e(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(w, &e);
    }
};

TEST_F(EditTest, NewControlShowsZeroWithoutLengthLimit) {
    pa::TIntEdit edit;
    EXPECT_EQ(edit.text(), "0");
    EXPECT_EQ(edit.MaxLength(), 0);
    EXPECT_FALSE(edit.CheckRange());
    EXPECT_EQ(edit.GetValue(), 0);
}

TEST_F(EditTest, IntEditKeyFilterTakesSignsDigitsAndTheSeparatorOnly) {
    pa::TIntEdit edit;
    edit.clear();
    QTest::keyClicks(&edit, "-1a2.E,5 x+");
    EXPECT_EQ(edit.text(), "-12,5+");
    // Control characters pass: backspace edits.
    QTest::keyClick(&edit, Qt::Key_Backspace);
    EXPECT_EQ(edit.text(), "-12,5");
}

TEST_F(EditTest, FloatEditAlsoTakesTheExponentButNotThePoint) {
    pa::TFloatEdit edit;
    edit.clear();
    QTest::keyClicks(&edit, "2.5");
    EXPECT_EQ(edit.text(), "25");
    edit.clear();
    QTest::keyClicks(&edit, "2,5e3");
    EXPECT_EQ(edit.text(), "2,5e3");
    EXPECT_EQ(edit.GetValue(), 2500.0L);
}

TEST_F(EditTest, FilterFollowsTheSeparatorSetting) {
    pa::setDecimalSeparator('.');
    pa::TFloatEdit edit;
    edit.clear();
    QTest::keyClicks(&edit, "2,5.");
    EXPECT_EQ(edit.text(), "25.");
}

TEST_F(EditTest, EnterPassesTheFloatEditButIsRefusedByTheIntEdit) {
    pa::TFloatEdit floatEdit;
    QSignalSpy floatReturn(&floatEdit, &QLineEdit::returnPressed);
    QTest::keyClick(&floatEdit, Qt::Key_Return);
    EXPECT_EQ(floatReturn.count(), 1);

    pa::TIntEdit intEdit;
    QSignalSpy intReturn(&intEdit, &QLineEdit::returnPressed);
    QTest::keyClick(&intEdit, Qt::Key_Return);
    EXPECT_EQ(intReturn.count(), 0);
    EXPECT_EQ(intEdit.text(), "0");
}

TEST_F(EditTest, RangeClampWritesTheBoundBack) {
    pa::TIntEdit edit;
    edit.SetCheckRange(true);
    edit.SetMaxValue(100);
    edit.SetMinValue(0);
    edit.setText("150");
    EXPECT_EQ(edit.GetValue(), 100);
    EXPECT_EQ(edit.text(), "100");
    edit.setText("-3");
    EXPECT_EQ(edit.GetValue(), 0);
    EXPECT_EQ(edit.text(), "0");
}

TEST_F(EditTest, SwappedBoundsAreUsedTheRightWayRound) {
    pa::TIntEdit edit;
    edit.SetCheckRange(true);
    edit.SetMinValue(10);
    edit.SetMaxValue(5);
    edit.SetValue(7);
    EXPECT_EQ(edit.GetValue(), 7);
    edit.SetValue(3);
    EXPECT_EQ(edit.text(), "5");
    edit.SetValue(12);
    EXPECT_EQ(edit.text(), "10");

    pa::TFloatEdit fedit;
    fedit.SetCheckRange(true);
    fedit.SetMinValue(10);
    fedit.SetMaxValue(5);
    fedit.SetValue(7.5L);
    EXPECT_EQ(fedit.text(), "7,5");
    fedit.SetValue(3);
    EXPECT_EQ(fedit.GetValue(), 5.0L);
    fedit.SetValue(12);
    EXPECT_EQ(fedit.GetValue(), 10.0L);
}

TEST_F(EditTest, WithoutCheckRangeTheBoundsDoNotClamp) {
    pa::TIntEdit edit;
    edit.SetMaxValue(100);
    edit.SetValue(150);
    EXPECT_EQ(edit.GetValue(), 150);
}

TEST_F(EditTest, UnconvertibleTextGivesTheEntryValueAndLeavingRestoresIt) {
    pa::TIntEdit edit;
    edit.SetValue(30);
    enter(&edit);
    // Pasted text passes no key filter.
    edit.setText("abc");
    EXPECT_EQ(edit.GetValue(), 30);
    EXPECT_EQ(edit.text(), "abc");
    leave(&edit);
    EXPECT_EQ(edit.text(), "30");
}

TEST_F(EditTest, SeparatorInAnIntEditDoesNotConvert) {
    pa::TIntEdit edit;
    edit.SetValue(8);
    enter(&edit);
    edit.selectAll();
    QTest::keyClicks(&edit, "1,5");
    EXPECT_EQ(edit.text(), "1,5");
    EXPECT_EQ(edit.GetValue(), 8);
}

TEST_F(EditTest, EnteringSelectsAllAndTakesMinValueForUnconvertibleText) {
    pa::TFloatEdit edit;
    edit.SetMinValue(2.5L);
    edit.setText("x");
    enter(&edit);
    EXPECT_EQ(edit.selectedText(), "x");
    EXPECT_EQ(edit.GetValue(), 2.5L);

    edit.SetAutoSelect(false);
    edit.deselect();
    enter(&edit);
    EXPECT_FALSE(edit.hasSelectedText());
}

TEST_F(EditTest, LeavingReformatsAndClampsTheText) {
    pa::TFloatEdit edit;
    edit.SetCheckRange(true);
    edit.SetMaxValue(1000);
    enter(&edit);
    edit.setText("+2,50e1");
    leave(&edit);
    EXPECT_EQ(edit.text(), "25");
    edit.setText("5e3");
    leave(&edit);
    EXPECT_EQ(edit.text(), "1000");
}

TEST_F(EditTest, FloatValuesShowFifteenDigitsWithTheComma) {
    pa::TFloatEdit edit;
    edit.SetValue(3.410619911E-6L);
    EXPECT_EQ(edit.text(), "3,410619911E-6");
    edit.SetValue(177.0639954L);
    EXPECT_EQ(edit.text(), "177,0639954");
    EXPECT_NEAR(static_cast<double>(edit.GetValue()), 177.0639954, 1e-12);
}

TEST_F(EditTest, MaxLengthLimitsTyping) {
    pa::TIntEdit edit;
    edit.SetMaxLength(3);
    edit.clear();
    QTest::keyClicks(&edit, "12345");
    EXPECT_EQ(edit.text(), "123");
    edit.SetMaxLength(0);
    QTest::keyClicks(&edit, "45");
    EXPECT_EQ(edit.text(), "12345");
}

TEST(EditRegister, BothControlsOnThePageLibPa) {
    pa::registerEditControls();
    const auto names = pa::paletteComponents("LibPa");
    EXPECT_NE(std::find(names.begin(), names.end(), "TIntEdit"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "TFloatEdit"), names.end());
}

} // namespace
