// The chart's geometry, point storage, grids and printing.

#include "glimra/chart.h"
#include "glimra/dialog.h"
#include "glimra_test_support.h"

#include <QFile>
#include <QPrinter>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace glimra {
namespace {

class ChartTest : public test::WithApplication {
protected:
    // A 400 x 300 chart: chart rectangle (-3, -3, 397, 297), inner rectangle
    // (-1, -1, 395, 295), plot area (55, 41, 367, 253).
    void SetUp() override {
        parent.resize(420, 320);
        ASSERT_TRUE(chart.Create(WS_CHILD | WS_VISIBLE, RECT{0, 0, 400, 300}, &parent, 4711));
        parent.show();
    }

    // The lines of one colour that printing at (0, 0) on a screen-like
    // context draws.
    std::vector<DrawOp> printedLines(COLORREF color) {
        DrawRecorder recorder;
        CDC dc(&recorder, QSize(400, 300));
        chart.Print(&dc, 0, 0);
        std::vector<DrawOp> lines;
        for (const DrawOp& op : recorder.ofKind(DrawOp::Line)) {
            if (op.color == color) {
                lines.push_back(op);
            }
        }
        return lines;
    }

    // Where the chart's background colour was filled.
    static RECT backgroundOf(const DrawRecorder& recorder) {
        for (const DrawOp& op : recorder.ofKind(DrawOp::Fill)) {
            if (op.color == 0xFFFF00) {
                return toRect(op.rect);
            }
        }
        return {};
    }

    QWidget parent;
    CChart chart;
};

TEST_F(ChartTest, PlotAreaAndDataToPoint) {
    EXPECT_EQ(GetDlgCtrlID(&chart), 4711);
    EXPECT_EQ(chart.chartRect(), (RECT{-3, -3, 397, 297}));
    EXPECT_EQ(chart.innerRect(), (RECT{-1, -1, 395, 295}));
    EXPECT_EQ(chart.plotArea(), (RECT{55, 41, 367, 253}));

    // One world unit per pixel on both axes.
    chart.SetRange(0, 312, 0, 212);
    EXPECT_DOUBLE_EQ(chart.xUnitsPerPixel(), 1.0);
    EXPECT_DOUBLE_EQ(chart.yUnitsPerPixel(), 1.0);
    const struct {
        double x, y;
        POINT expected;
    } cases[] = {
        {0, 0, {55, 253}},       {312, 212, {367, 41}},   {100.7, 50.9, {155, 203}},
        {-0.5, -0.5, {55, 253}}, {-1.5, -1.5, {54, 254}}, // truncated towards zero
        {400, 300, {455, -47}},                           // not clamped here
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chart.DataToPoint(c.x, c.y), c.expected) << c.x << ", " << c.y;
    }

    // A resize takes the client size plus 5 as the chart's width and height.
    chart.resize(206, 156);
    EXPECT_EQ(chart.chartRect(), (RECT{-3, -3, 202, 152}));
    EXPECT_EQ(chart.plotArea(), (RECT{27, 20, 186, 129}));
    EXPECT_NE(chart.stateFlags() & CChart::RenderStatic, 0u);
}

TEST_F(ChartTest, CurvesAndPointsAreRefusedOutsideTheirLimits) {
    EXPECT_EQ(chart.GetCurveCount(), 1);
    EXPECT_EQ(chart.GetPointCapacity(), 0);
    EXPECT_FALSE(chart.SetPoint(1, 1, 0, 0)); // nothing allocated yet

    EXPECT_FALSE(chart.SetCurveCount(61));
    EXPECT_EQ(chart.GetCurveCount(), 1);
    EXPECT_TRUE(chart.SetCurveCount(60));
    EXPECT_EQ(chart.GetCurve(60), nullptr);
    EXPECT_EQ(chart.GetCurve(-1), nullptr);
    ASSERT_NE(chart.GetCurve(59), nullptr);

    ASSERT_TRUE(chart.AllocCurves(8));
    EXPECT_FALSE(chart.SetPoint(1, 1, 8, 0));  // beyond the capacity
    EXPECT_FALSE(chart.SetPoint(1, 1, 0, 60)); // beyond the curve count
    EXPECT_FALSE(chart.SetPoint(1, 1, -1, 0)); // would write before the arrays
    EXPECT_FALSE(chart.SetPoint(1, 1, 0, -1));

    // Clamped into the range: first against the maximum, then the minimum.
    ASSERT_TRUE(chart.SetPoint(25, -40, 7, 59));
    EXPECT_EQ(chart.GetCurve(59)->xValues[7], 10);
    EXPECT_EQ(chart.GetCurve(59)->yValues[7], -10);
    EXPECT_EQ(chart.GetCurve(59)->used, 1);
    EXPECT_EQ(chart.GetLastPoint(), 7);

    // The same counts again keep the arrays and what they hold.
    const double* before = chart.GetCurve(59)->xValues;
    EXPECT_TRUE(chart.SetCurveCount(60));
    EXPECT_TRUE(chart.AllocCurves(8));
    EXPECT_EQ(chart.GetCurve(59)->xValues, before);
    EXPECT_EQ(chart.GetCurve(59)->yValues[7], -10);

    // Another count lets the curves go.
    EXPECT_TRUE(chart.SetCurveCount(2));
    EXPECT_EQ(chart.GetPointCapacity(), 0);
    EXPECT_FALSE(chart.SetPoint(0, 0, 0, 0));
}

TEST_F(ChartTest, CurveCopiesShareTheirArraysSafely) {
    CChartCurve original;
    ASSERT_TRUE(original.Alloc(4));
    EXPECT_EQ(original.ownsArrays, 1);
    {
        CChartCurve copy;
        copy = original;
        EXPECT_EQ(copy.xValues, original.xValues);
        CChartCurve second(copy);
        second.xValues[3] = 2.5;
    } // the copies go; the arrays stay for the original
    EXPECT_EQ(original.xValues[3], 2.5);

    CChartCurve survivor(original);
    original.Free();
    EXPECT_EQ(original.xValues, nullptr);
    survivor.yValues[0] = 1; // still its own to write
    EXPECT_EQ(survivor.yValues[0], 1);
    EXPECT_FALSE(CChartCurve().Alloc(0));
}

TEST_F(ChartTest, OnlyStoredPointsBeyondTheFirstAreDrawn) {
    chart.SetRange(0, 312, 0, 212);
    chart.GetCurve(0)->color = RGB(255, 0, 0);
    ASSERT_TRUE(chart.AllocCurves(16));
    ASSERT_TRUE(chart.SetPoint(0, 0, 0, 0));
    EXPECT_TRUE(printedLines(RGB(255, 0, 0)).empty()); // point 0 alone: nothing

    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(chart.SetPoint(i, i, i, 0));
    }
    const std::vector<DrawOp> lines = printedLines(RGB(255, 0, 0));
    ASSERT_EQ(lines.size(), 5u); // six points
    EXPECT_EQ(lines.front().from, (QPoint(55, 253)));
    EXPECT_EQ(lines.back().to, (QPoint(60, 248)));

    chart.ClearPoints();
    EXPECT_TRUE(printedLines(RGB(255, 0, 0)).empty());
    ASSERT_TRUE(chart.SetPoint(1, 1, 1, 0));
    EXPECT_EQ(printedLines(RGB(255, 0, 0)).size(), 1u);
    // Freed curves are not drawn, whatever was stored before.
    chart.FreeCurves();
    EXPECT_TRUE(printedLines(RGB(255, 0, 0)).empty());
}

TEST_F(ChartTest, AxesModesPlaceTheAxes) {
    chart.SetRange(0, 312, 0, 212);
    const struct {
        int mode;
        QPoint horizontalFrom;
        QPoint verticalFrom;
    } cases[] = {
        {0, {55, 253}, {55, 253}},
        {1, {55, 147}, {55, 253}},
        {2, {55, 147}, {211, 253}},
    };
    for (const auto& c : cases) {
        chart.SetAxesMode(c.mode);
        chart.SetAxesMode(3); // ignored
        EXPECT_EQ(chart.GetAxesMode(), c.mode);
        std::vector<DrawOp> axes;
        for (const DrawOp& op : printedLines(0)) {
            if (op.penWidth == 2) {
                axes.push_back(op);
            }
        }
        ASSERT_EQ(axes.size(), 2u) << c.mode;
        const DrawOp& h = axes[0].from.y() == axes[0].to.y() ? axes[0] : axes[1];
        const DrawOp& v = axes[0].from.y() == axes[0].to.y() ? axes[1] : axes[0];
        EXPECT_EQ(h.from, c.horizontalFrom) << c.mode;
        EXPECT_EQ(h.to.x(), 367) << c.mode;
        EXPECT_EQ(v.from, c.verticalFrom) << c.mode;
        EXPECT_EQ(v.to.y(), 41) << c.mode;
    }
}

TEST_F(ChartTest, TheLogarithmicGridDrawsFiveLinesPerDecade) {
    chart.SetRange(0, 312, -2, 10);
    chart.SetLogGrid(TRUE);
    EXPECT_TRUE(chart.GetLogGrid());
    DrawRecorder recorder;
    CDC dc(&recorder, QSize(400, 300));
    chart.DrawLogGrid(&dc);

    const std::vector<DrawOp> lines = recorder.ofKind(DrawOp::Line);
    ASSERT_EQ(lines.size(), 50u);
    // The y world counts decades, ten of them over 212 pixels: 2.8, 4.6,
    // 6.4, 8.2 and 10 times the decade's start.
    const int expected[] = {244, 239, 236, 234, 232, 223};
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(lines[i].from, QPoint(55, expected[i])) << i;
        EXPECT_EQ(lines[i].to, QPoint(367, expected[i])) << i;
        EXPECT_EQ(lines[i].color, RGB(0xC0, 0xC0, 0xC0));
    }
    EXPECT_NEAR(lines.back().from.y(), 41, 1); // the top of the tenth decade

    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    chart.GetRange(&xMin, &xMax, &yMin, &yMax);
    EXPECT_EQ(yMin, -2);
    EXPECT_EQ(yMax, 10);
    EXPECT_DOUBLE_EQ(chart.yUnitsPerPixel(), 12.0 / 212);
}

TEST_F(ChartTest, AnEmptySpanOrPlotAreaDrawsWithoutRunningAway) {
    // A zero span: the range's own value at the plot's corner, anything else
    // at a bound rather than an infinity cast to int.
    chart.SetRange(5, 5, 0, 0);
    EXPECT_EQ(chart.DataToPoint(5, 0), (POINT{55, 253}));
    EXPECT_EQ(chart.DataToPoint(6, 1), (POINT{55 + 65536, 253 - 65536}));
    chart.GetCurve(0)->color = RGB(1, 2, 3);
    ASSERT_TRUE(chart.AllocCurves(3));
    chart.SetPoint(5, 0, 0, 0);
    chart.SetPoint(5, 0, 2, 0); // point 1 stays (0, 0), far off
    const std::vector<DrawOp> lines = printedLines(RGB(1, 2, 3));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].to, QPoint(55 - 65536, 253));

    CChart tiny; // no plot area at all
    ASSERT_TRUE(tiny.Create(WS_CHILD | WS_VISIBLE, RECT{10, 10, 14, 14}, &parent, 1));
    EXPECT_EQ(tiny.plotArea().width(), 0);
    ASSERT_TRUE(tiny.AllocCurves(3));
    tiny.SetPoint(0, 0, 0, 0);
    tiny.SetPoint(10, 10, 2, 0);
    EXPECT_EQ(tiny.DataToPoint(3, 3), tiny.DataToPoint(-10, -10));
    test::grabWidget(&tiny, "chart_without_plot_area");
}

TEST_F(ChartTest, PrintingScalesByThePrinterResolution) {
    ASSERT_TRUE(chart.AllocCurves(2));
    chart.SetPoint(-10, -10, 0, 0);
    chart.SetPoint(10, 10, 1, 0);
    const struct {
        int dpi;
        RECT background; // the chart rectangle on the printer, at (100, 50)
    } cases[] = {
        {600, {82, 32, 2482, 1832}}, // six times the screen's 96
        {96, {97, 47, 497, 347}},
        {72, {98, 48, 398, 273}}, // coarser than the screen: scaled down, not folded away
    };
    for (const auto& c : cases) {
        DrawRecorder recorder;
        CDC printer(&recorder, QSize(5000, 5000));
        DeviceCaps caps;
        caps.logPixelsX = caps.logPixelsY = c.dpi;
        printer.setDeviceCaps(caps);
        chart.Print(&printer, 100, 50);
        EXPECT_EQ(backgroundOf(recorder), c.background) << c.dpi;
        EXPECT_EQ(printer.GetMapMode(), MM_TEXT);
    }
}

TEST_F(ChartTest, PrintsToAPdfFile) {
    chart.SetTitle("Printed chart");
    ASSERT_TRUE(chart.SetCurveCount(2));
    ASSERT_TRUE(chart.AllocCurves(50));
    chart.GetCurve(1)->color = RGB(0, 0, 255);
    for (int i = 0; i < 50; ++i) {
        chart.SetPoint(-10 + i * 0.4, 8 * std::sin(i / 5.0), i, 0);
        chart.SetPoint(-10 + i * 0.4, 8 * std::cos(i / 5.0), i, 1);
    }
    QTemporaryDir dir;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath("chart.pdf"));
    DrawRecorder recorder;
    CDC dc(&printer);
    dc.setRecorder(&recorder);
    ASSERT_GT(dc.StartDoc("chart"), 0);
    ASSERT_GT(dc.StartPage(), 0);
    chart.Print(&dc, 200, 200);
    EXPECT_GT(dc.EndPage(), 0);
    EXPECT_GT(dc.EndDoc(), 0);

    const int factor = printer.resolution() / 96;
    int blue = 0;
    for (const DrawOp& op : recorder.ofKind(DrawOp::Line)) {
        blue += op.color == RGB(0, 0, 255) ? 1 : 0;
    }
    EXPECT_EQ(blue, 49);
    EXPECT_EQ(backgroundOf(recorder),
              (RECT{200 - 3 * factor, 200 - 3 * factor, 200 + 397 * factor, 200 + 297 * factor}));
    bool title = false;
    for (const DrawOp& op : recorder.texts()) {
        title = title || (op.text == "Printed chart" && op.font.lfWeight == FW_BOLD);
    }
    EXPECT_TRUE(title);
    QFile pdf(dir.filePath("chart.pdf"));
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_EQ(pdf.read(4), "%PDF");
}

TEST_F(ChartTest, PictureOfSeveralCurves) {
    chart.SetTitle("Spectra");
    chart.SetAxisNames("Wavelength [nm]", "Counts");
    chart.SetAxesMode(0);
    chart.SetRange(300, 1100, 0, 4000);
    chart.SetDivisions(8, 8);
    const COLORREF colors[] = {RGB(200, 0, 0), RGB(0, 120, 0), RGB(0, 0, 200), RGB(160, 0, 160)};
    ASSERT_TRUE(chart.SetCurveCount(4));
    ASSERT_TRUE(chart.AllocCurves(400));
    for (int c = 0; c < 4; ++c) {
        chart.GetCurve(c)->color = colors[c];
        for (int i = 0; i < 400; ++i) {
            const double x = 300 + i * 2;
            const double peak = 450 + c * 150;
            const double y = 300 + c * 200 + 3000 * std::exp(-(x - peak) * (x - peak) / 1800) +
                             150 * std::sin(x / 23.0);
            chart.SetPoint(x, y, i, c);
        }
    }
    chart.Redraw(TRUE);
    const QImage image = test::grabWidget(&chart, "chart_curves");
    // White would be a default; the chart's own background is cyan.
    EXPECT_EQ(test::pixel(image, 10, 10), RGB(0, 255, 255));
    const POINT peak = chart.DataToPoint(450, 300 + 3000 + 150 * std::sin(450 / 23.0));
    bool red = false;
    for (int dy = -3; dy <= 3 && !red; ++dy) {
        red = test::pixel(image, peak.x + 3, peak.y + 3 + dy) == colors[0];
    }
    EXPECT_TRUE(red);
}

} // namespace
} // namespace glimra
