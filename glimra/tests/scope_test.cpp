// The spectra scope's auto scale, its scaling dialog and its layout.

#include "glimra/dialog.h"
#include "glimra/library.h"
#include "glimra/scope.h"
#include "glimra_test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <vector>

namespace glimra {
namespace {

struct Range {
    double xMin, xMax, yMin, yMax;
    bool operator==(const Range&) const = default;
};

Range chartRange(const CSpectraScope& scope) {
    Range r{};
    scope.chart().GetRange(&r.xMin, &r.xMax, &r.yMin, &r.yMax);
    return r;
}

class ScopeTest : public test::WithApplication {
protected:
    void SetUp() override {
        ASSERT_TRUE(scope.Create());
        ASSERT_TRUE(scope.AllocCurves(4));
        // The running extremes are the process's: start each test afresh.
        scope.ResetScaling();
    }

    // Sends a curve of the given points.
    BOOL send(CSpectraScope& to, std::vector<double> x, std::vector<double> y, int curve = 0) {
        return to.SetCurveData(curve, static_cast<int>(x.size()), x.data(), y.data());
    }

    // Runs what the user does in the next modal dialog, then clicks its
    // button (IDOK or IDCANCEL).
    static void inNextModal(std::function<void(QWidget*)> user, int button) {
        QTimer::singleShot(0, [user, button] {
            QWidget* dialog = QApplication::activeModalWidget();
            ASSERT_NE(dialog, nullptr);
            user(dialog);
            qobject_cast<QPushButton*>(GetDlgItem(dialog, button))->click();
        });
    }

    static void type(QWidget* dialog, int id, const char* text) {
        qobject_cast<QLineEdit*>(GetDlgItem(dialog, id))->setText(text);
    }

    QWidget* resetButton() { return GetDlgItem(&scope, 10014); }
    void clickScaling() { qobject_cast<QPushButton*>(GetDlgItem(&scope, 10013))->click(); }

    CSpectraScope scope;
};

TEST_F(ScopeTest, AutoScaleWidensToTheDataSeenSoFar) {
    EXPECT_TRUE(scope.IsOpen());
    // No points widen nothing: the range never becomes the start values.
    EXPECT_TRUE(send(scope, {}, {}));
    EXPECT_EQ(chartRange(scope), (Range{-10, 10, -10, 10}));
    EXPECT_TRUE(send(scope, {0, 1, 2, 3}, {5, -2, 40, 7}));
    EXPECT_EQ(chartRange(scope), (Range{0, 3, -2, 40}));
    const CChartCurve* curve = const_cast<CChart&>(scope.chart()).GetCurve(0);
    EXPECT_EQ(curve->yValues[2], 40);

    // Smaller values leave the range as wide as before.
    send(scope, {1, 2}, {0, 1});
    EXPECT_EQ(chartRange(scope), (Range{0, 3, -2, 40}));
    EXPECT_TRUE(send(scope, {-5}, {100}));
    EXPECT_EQ(chartRange(scope), (Range{-5, 3, -2, 100}));

    // A reset counts from the next spectrum on.
    scope.ResetScaling();
    EXPECT_EQ(chartRange(scope), (Range{-5, 3, -2, 100}));
    send(scope, {10, 11}, {1, 2});
    EXPECT_EQ(chartRange(scope), (Range{10, 11, 1, 2}));

    // The kept range is only what SetRange set.
    double xMin = 1, xMax = 1, yMin = 1, yMax = 1;
    scope.GetRange(&xMin, &xMax, &yMin, &yMax);
    EXPECT_EQ((Range{xMin, xMax, yMin, yMax}), (Range{0, 0, 0, 0}));
}

TEST_F(ScopeTest, ScopesShareTheRunningExtremes) {
    CSpectraScope other;
    ASSERT_TRUE(other.Create());
    ASSERT_TRUE(other.AllocCurves(4));
    send(scope, {0, 100}, {0, 50});
    send(other, {20, 30}, {-10, 10});
    EXPECT_EQ(chartRange(other), (Range{0, 100, -10, 50}));
    EXPECT_EQ(chartRange(scope), (Range{0, 100, 0, 50})); // applied at its next call
    send(scope, {50}, {5});
    EXPECT_EQ(chartRange(scope), (Range{0, 100, -10, 50}));

    other.ResetScaling(); // resets them for both
    send(other, {1, 2}, {3, 4});
    send(scope, {2, 3}, {4, 5});
    EXPECT_EQ(chartRange(scope), (Range{1, 3, 3, 5}));
    EXPECT_TRUE(other.Close());
    EXPECT_FALSE(other.IsOpen());
}

TEST_F(ScopeTest, WithoutAutoScaleThePointsAreClampedIntoTheRange) {
    scope.SetAutoScale(false);
    EXPECT_TRUE(scope.SetRange(0, 10, 0, 100));
    send(scope, {-5, 5, 20}, {50, 500, -1});
    EXPECT_EQ(chartRange(scope), (Range{0, 10, 0, 100}));
    CChartCurve* curve = const_cast<CChart&>(scope.chart()).GetCurve(0);
    EXPECT_EQ(std::vector<double>(curve->xValues, curve->xValues + 3),
              (std::vector<double>{0, 5, 10}));
    EXPECT_EQ(std::vector<double>(curve->yValues, curve->yValues + 3),
              (std::vector<double>{50, 100, 0}));
    EXPECT_FALSE(scope.SetCurveColor(60, 0));
    EXPECT_TRUE(scope.SetCurveColor(3, RGB(1, 2, 3)));
    EXPECT_EQ(const_cast<CChart&>(scope.chart()).GetCurve(3)->color, RGB(1, 2, 3));
}

TEST_F(ScopeTest, TheScalingDialogSwitchesAutoScaleAndAppliesItsRange) {
    send(scope, {0, 2048}, {0, 30000});
    EXPECT_FALSE(resetButton()->isHidden());

    // Off: the four values become the range, and "Reset Scaling" goes.
    inNextModal(
        [](QWidget* dialog) {
            EXPECT_EQ(dialog->windowTitle(), "Scaling");
            auto* box = qobject_cast<QCheckBox*>(GetDlgItem(dialog, 10011));
            EXPECT_TRUE(box->isChecked());
            EXPECT_FALSE(GetDlgItem(dialog, 10012)->isEnabled());
            box->click();
            EXPECT_TRUE(GetDlgItem(dialog, 10012)->isEnabled());
            type(dialog, 10012, "100");
            type(dialog, 10013, "1,900");
            type(dialog, 10016, "-50");
            type(dialog, 10017, " 6.5e4 ");
            // "1,900" is not a number: OK is refused and the dialog stays.
            QTimer::singleShot(0, [] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                box->accept();
            });
            qobject_cast<QPushButton*>(GetDlgItem(dialog, IDOK))->click();
            EXPECT_TRUE(dialog->isVisible());
            type(dialog, 10013, "1900");
            test::grabWidget(dialog, "scaling_dialog");
        },
        IDOK);
    clickScaling();
    EXPECT_FALSE(scope.GetAutoScale());
    EXPECT_TRUE(resetButton()->isHidden());
    EXPECT_EQ(chartRange(scope), (Range{100, 1900, -50, 65000}));
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    scope.GetRange(&xMin, &xMax, &yMin, &yMax);
    EXPECT_EQ((Range{xMin, xMax, yMin, yMax}), (Range{100, 1900, -50, 65000}));

    // Cancel changes nothing, whatever was typed.
    inNextModal([](QWidget* dialog) { type(dialog, 10012, "7"); }, IDCANCEL);
    clickScaling();
    EXPECT_EQ(chartRange(scope), (Range{100, 1900, -50, 65000}));

    // On again: the button returns, and the range waits for the next data.
    inNextModal(
        [](QWidget* dialog) {
            EXPECT_EQ(qobject_cast<QLineEdit*>(GetDlgItem(dialog, 10017))->text(), "65000");
            qobject_cast<QCheckBox*>(GetDlgItem(dialog, 10011))->click();
        },
        IDOK);
    clickScaling();
    EXPECT_TRUE(scope.GetAutoScale());
    EXPECT_FALSE(resetButton()->isHidden());
    EXPECT_EQ(chartRange(scope), (Range{100, 1900, -50, 65000}));
}

TEST_F(ScopeTest, LayoutAndMinimumSize) {
    scope.resize(300, 200);
    EXPECT_EQ(scope.size(), QSize(445, 319));
    scope.resize(700, 450);
    QApplication::processEvents();
    EXPECT_EQ(scope.chart().geometry(), QRect(0, 0, 600, 450));
    const QWidget* ok = GetDlgItem(&scope, IDOK);
    const QWidget* scaling = GetDlgItem(&scope, 10013);
    EXPECT_EQ(ok->geometry().right() + 1, 690);
    EXPECT_EQ(scaling->geometry().right() + 1, 690);
    EXPECT_LT(ok->y(), scaling->y());
}

TEST_F(ScopeTest, TheUserClosingTheScopeLeavesItClosed) {
    scope.close();
    EXPECT_FALSE(scope.IsOpen());
    EXPECT_FALSE(send(scope, {1}, {1})); // no window to repaint
    ASSERT_TRUE(scope.Create());
    EXPECT_TRUE(scope.IsOpen());
    qobject_cast<QPushButton*>(GetDlgItem(&scope, IDOK))->click();
    EXPECT_FALSE(scope.IsOpen());
    EXPECT_FALSE(scope.isVisible());
}

TEST_F(ScopeTest, PictureOfTheScope) {
    ASSERT_TRUE(scope.SetCurveCount(3));
    ASSERT_TRUE(scope.AllocCurves(1024));
    scope.SetCurveColor(1, RGB(200, 0, 0));
    scope.SetCurveColor(2, RGB(0, 0, 200));
    std::vector<double> x(1024);
    std::vector<double> y[3];
    for (int c = 0; c < 3; ++c) {
        y[c].resize(1024);
        for (int i = 0; i < 1024; ++i) {
            x[static_cast<size_t>(i)] = i;
            const double d = i - 250.0 - c * 260;
            y[c][static_cast<size_t>(i)] = 900 + 200 * c +
                                           12000 * std::exp(-d * d / (800.0 + 400 * c)) +
                                           300 * std::sin(i / 40.0);
        }
        scope.SetCurveData(c, 1024, x.data(), y[c].data());
    }
    scope.resize(640, 420);
    QApplication::processEvents();
    const QImage image = test::grabWidget(&scope, "spectra_scope");
    // The chart's white background beside its title.
    EXPECT_EQ(test::pixel(image, 20, 10), RGB(255, 255, 255));
}

} // namespace
} // namespace glimra
