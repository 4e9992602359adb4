// The spectrum view: the points each display kind draws, what is left out,
// the axes, the stored series' bookkeeping, the cursor and the automatic
// integration time.

#include "spectrum_test_support.h"
#include "spectrumview.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QLogValueAxis>
#include <QPainter>
#include <QValueAxis>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace spectrum {
namespace {

std::vector<double> ramp(size_t n, double start, double step) {
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = start + step * static_cast<double>(i);
    }
    return v;
}

class SpectrumViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::startApplication(); }
    static void TearDownTestSuite() { test::endApplication(); }

    TSpectrumView::Input input(DisplayKind kind) {
        TSpectrumView::Input in;
        in.kind = kind;
        in.pixelCount = static_cast<int>(wavelengths.size());
        in.wavelengths = &wavelengths;
        in.current = &current;
        in.reference = &reference;
        in.stored = &stored;
        return in;
    }

    // One stored spectrum alone in the view, rendered.
    QImage renderStored(TSpectrumView& view, const std::vector<double>& values) {
        wavelengths = ramp(values.size(), 300.0, 0.1);
        mi::Data d;
        d.values = values;
        stored.spectra = {d};
        view.appendStoredSeries();
        TSpectrumView::Input in = input(kScope);
        in.drawCurrent = false;
        in.checked = {true};
        view.updateGraph(in);
        QImage image(view.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        view.render(&image);
        return image;
    }

    std::vector<double> wavelengths = ramp(1044, 300.0, 0.5);
    std::vector<double> current = ramp(1044, 100.0, 10.0);
    std::vector<double> reference = std::vector<double>(1044, 200.0);
    mi::TSpecDataSet stored;
};

TEST_F(SpectrumViewTest, ScopeDrawsOnePointPerPixelAndNoDropAtTheEnd) {
    current.push_back(0.0); // the device's extra value after the last pixel
    const QList<QPointF> points =
        curvePoints(kScope, 1044, wavelengths, current, reference, true, false);
    ASSERT_EQ(points.size(), 1044);
    EXPECT_EQ(points.back(), QPointF(wavelengths[1043], current[1043]));
}

TEST_F(SpectrumViewTest, RatiosLeaveOutPixelsWithoutAValue) {
    std::vector<double> sample = {100, 0, -50, 300, 20};
    std::vector<double> ref = {200, 200, 200, 200, 0};
    std::vector<double> w = {400, 401, 402, 403, 404};
    // Absorbance: nothing where the sample is 0 or negative, or the reference 0.
    QList<QPointF> points = curvePoints(kAbsorbance, 5, w, sample, ref, false, false);
    ASSERT_EQ(points.size(), 2);
    EXPECT_DOUBLE_EQ(points[0].y(), -std::log10(0.5));
    EXPECT_EQ(points[1].x(), 403);
    // Transmittance: as it is on a linear axis, negatives at the bottom of a
    // logarithmic one.
    sample = {300, -10, 100, 100, 1};
    points = curvePoints(kTransmittance, 5, w, sample, ref, false, false);
    ASSERT_EQ(points.size(), 4);
    EXPECT_DOUBLE_EQ(points[0].y(), 150.0);
    EXPECT_DOUBLE_EQ(points[1].y(), -5.0);
    points = curvePoints(kTransmittance, 5, w, sample, ref, false, true);
    EXPECT_DOUBLE_EQ(points[1].y(), 0.001);
    EXPECT_DOUBLE_EQ(points[0].y(), 150.0);
}

TEST_F(SpectrumViewTest, TheCurrentSpectrumIsDrawnInSinglePrecision) {
    const std::vector<double> w = {400.123456789};
    const std::vector<double> v = {1.0 / 3.0};
    const std::vector<double> r = {1.0};
    const QList<QPointF> single = curvePoints(kIrradiance, 1, w, v, r, true, false);
    const QList<QPointF> full = curvePoints(kIrradiance, 1, w, v, r, false, false);
    EXPECT_EQ(single[0].y(), static_cast<double>(static_cast<float>(1.0 / 3.0)));
    EXPECT_EQ(single[0].x(), static_cast<double>(static_cast<float>(400.123456789)));
    EXPECT_EQ(full[0].y(), 1.0 / 3.0);
}

TEST_F(SpectrumViewTest, AShorterArrayIsDrawnAsFarAsItGoes) {
    const std::vector<double> shortValues(10, 5.0);
    EXPECT_EQ(curvePoints(kScope, 1044, wavelengths, shortValues, reference, false, false).size(),
              10);
    EXPECT_EQ(
        curvePoints(kAbsorbance, 1044, wavelengths, current, shortValues, false, false).size(), 10);
    EXPECT_TRUE(curvePoints(kScope, -3, wavelengths, current, reference, false, false).isEmpty());
}

TEST_F(SpectrumViewTest, AutoIntegrationScalesTowardsFiftyThousand) {
    std::vector<double> values(100, 1000.0);
    values[50] = 30000.0;
    EXPECT_EQ(autoIntegrationTime(values, 20.0), 33);
    values[50] = 45000.0;
    EXPECT_EQ(autoIntegrationTime(values, 20.0), std::nullopt); // within the band
    values[50] = 100000.0;
    EXPECT_EQ(autoIntegrationTime(values, 20.0), 10);
    // Nothing to scale: no light at all, nothing measured, not a number.
    EXPECT_EQ(autoIntegrationTime(std::vector<double>(100, 0.0), 20.0), std::nullopt);
    EXPECT_EQ(autoIntegrationTime(std::vector<double>(100, -5.0), 20.0), std::nullopt);
    EXPECT_EQ(autoIntegrationTime({}, 20.0), std::nullopt);
    values[3] = std::nan("");
    EXPECT_EQ(autoIntegrationTime(values, 20.0), std::nullopt);
    // A scaled time below 1 ms is none either.
    EXPECT_EQ(autoIntegrationTime(std::vector<double>(10, 1e9), 1.0), std::nullopt);
}

TEST_F(SpectrumViewTest, UpdateGraphDrawsTheCurrentAndTheTickedStoredSpectra) {
    TSpectrumView view;
    test::LogCapture log;
    mi::Data a;
    a.values = ramp(1045, 1.0, 1.0);
    mi::Data b;
    b.values = ramp(20, 2.0, 0.0); // shorter than the sensor
    stored.spectra = {a, b};
    view.appendStoredSeries();
    view.appendStoredSeries();
    TSpectrumView::Input in = input(kScope);
    in.checked = {true, true};
    view.updateGraph(in);
    EXPECT_EQ(view.currentSeries()->count(), 1044);
    EXPECT_EQ(view.storedSeries(0)->count(), 1044);
    EXPECT_EQ(view.storedSeries(1)->count(), 20);
    EXPECT_NE(log.text().find("SensorLenght:1044 \nRawData size: 1044 \n"), std::string::npos);
    const auto* x = static_cast<QValueAxis*>(view.chart()->axes(Qt::Horizontal).first());
    EXPECT_DOUBLE_EQ(x->min(), 300.0);
    EXPECT_DOUBLE_EQ(x->max(), wavelengths.back());

    // Unticked preview and entries: only the ticked stored spectrum remains.
    in.drawCurrent = false;
    in.checked = {false, true};
    view.updateGraph(in);
    EXPECT_EQ(view.currentSeries()->count(), 0);
    EXPECT_EQ(view.storedSeries(0)->count(), 0);
    EXPECT_EQ(view.storedSeries(1)->count(), 20);
    // Fewer ticks than series, or fewer entries: nothing read past either.
    in.checked = {true};
    stored.spectra.pop_back();
    view.updateGraph(in);
    EXPECT_EQ(view.storedSeries(1)->count(), 0);
}

TEST_F(SpectrumViewTest, LogarithmicTransmittanceSwitchesTheAxisAndBack) {
    TSpectrumView view;
    current = std::vector<double>(1044, 300.0); // 150 %
    TSpectrumView::Input in = input(kTransmittance);
    in.logarithmic = true;
    view.updateGraph(in);
    ASSERT_TRUE(view.verticalAxisIsLogarithmic());
    auto* axis = static_cast<QLogValueAxis*>(view.verticalAxis());
    EXPECT_DOUBLE_EQ(axis->min(), 0.001);
    EXPECT_GE(axis->max(), 150.0);
    in.kind = kScope;
    view.updateGraph(in);
    EXPECT_FALSE(view.verticalAxisIsLogarithmic());
    const auto* linear = static_cast<QValueAxis*>(view.verticalAxis());
    EXPECT_LT(linear->min(), 300.0); // around the flat curve
    EXPECT_GT(linear->max(), 300.0);
    in.manualScale = std::make_pair(-10.0, 10.0);
    view.updateGraph(in);
    EXPECT_DOUBLE_EQ(linear->min(), -10.0);
    EXPECT_DOUBLE_EQ(linear->max(), 10.0);
}

TEST_F(SpectrumViewTest, LogarithmicAxisLabelsTellTheDecadesApart) {
    TSpectrumView view;
    view.resize(600, 400);
    current = std::vector<double>(1044, 200.0); // 100 %
    TSpectrumView::Input in = input(kTransmittance);
    in.logarithmic = true;
    view.updateGraph(in);
    view.show();
    QApplication::processEvents();
    QImage image(view.size(), QImage::Format_ARGB32);
    view.render(&image);
    // The labels the chart laid out, whatever items carry them.
    QStringList labels;
    for (QGraphicsItem* item : view.chart()->scene()->items()) {
        if (auto* text = dynamic_cast<QGraphicsTextItem*>(item); text && text->isVisible()) {
            labels << text->toPlainText();
        }
    }
    for (const char* label : {"0.01", "0.1", "1", "10", "100"}) {
        EXPECT_TRUE(labels.contains(label)) << label << " in " << labels.join('|').toStdString();
    }
}

TEST_F(SpectrumViewTest, StoredSeriesKeepTheirOrderAndColours) {
    TSpectrumView view;
    TCurve* first = view.appendStoredSeries();
    TCurve* second = view.appendStoredSeries(3);
    TCurve* third = view.appendStoredSeries();
    EXPECT_NE(view.storedSeriesColour(0), view.storedSeriesColour(1));
    EXPECT_EQ(second->pen().width(), 3);
    const QColor thirdColour = view.storedSeriesColour(2);
    view.removeStoredSeries(1);
    ASSERT_EQ(view.storedSeriesCount(), 2);
    EXPECT_EQ(view.storedSeries(0), first);
    EXPECT_EQ(view.storedSeries(1), third);
    EXPECT_EQ(view.storedSeriesColour(1), thirdColour);
    view.removeStoredSeries(7); // out of range: nothing
    EXPECT_EQ(view.storedSeriesCount(), 2);
    view.clearStoredSeries();
    EXPECT_EQ(view.storedSeriesCount(), 0);
    EXPECT_TRUE(view.chart()->series().isEmpty()); // the curves paint themselves
}

// Rows of the picture where a colour appears in the given column.
std::vector<int> rowsOf(const QImage& image, int column, QColor colour) {
    std::vector<int> rows;
    for (int y = 0; y < image.height(); ++y) {
        if (image.pixelColor(column, y) == colour) {
            rows.push_back(y);
        }
    }
    return rows;
}

TEST_F(SpectrumViewTest, CurvesArePaintedWhereTheAxesPutThemWithTheirPeaks) {
    TSpectrumView view;
    view.resize(400, 300);
    view.show();
    // Far more pixels than the plot has columns, and one narrow spike that
    // thinning must not lose.
    std::vector<double> values(4096, 1000.0);
    values[2000] = 5000.0;
    const QImage image = renderStored(view, values);

    const QColor colour = view.storedSeriesColour(0);
    // Chart coordinates to the picture's.
    auto onPicture = [&](const QPointF& value) {
        QChartView* chartView = view.chartView();
        const QPoint inViewport =
            chartView->mapFromScene(view.chart()->mapToScene(view.toPosition(value)));
        return chartView->viewport()->mapTo(&view, inViewport);
    };
    const QPoint flat = onPicture(QPointF(wavelengths[500], 1000.0));
    const QPoint spike = onPicture(QPointF(wavelengths[2000], 5000.0));
    const std::vector<int> flatRows = rowsOf(image, flat.x(), colour);
    ASSERT_FALSE(flatRows.empty());
    EXPECT_NEAR(flatRows.front(), flat.y(), 1.5);
    const std::vector<int> spikeRows = rowsOf(image, spike.x(), colour);
    ASSERT_FALSE(spikeRows.empty());
    EXPECT_NEAR(spikeRows.front(), spike.y(), 1.5);
    EXPECT_LT(spike.y(), flat.y() - 50); // the spike stands well above the line
}

TEST_F(SpectrumViewTest, AThinnedCurveLooksLikeEveryPointDrawn) {
    TSpectrumView view;
    view.resize(400, 300);
    view.show();
    // Several pixels per column: a wave, noise and a spike now and then.
    std::vector<double> values(4096);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = 1000.0 + 400.0 * std::sin(static_cast<double>(i) * 0.01) +
                    static_cast<double>((i * 7919) % 97) * 3.0 + (i % 500 == 7 ? 900.0 : 0.0);
    }
    const QImage thinned = renderStored(view, values);

    // Every point, with the same pen at the same place.
    const QColor colour = view.storedSeriesColour(0);
    QChartView* chartView = view.chartView();
    const QPoint offset = chartView->viewport()->mapTo(
        &view, chartView->mapFromScene(view.chart()->mapToScene(QPointF(0, 0))));
    QImage full(view.size(), QImage::Format_ARGB32);
    full.fill(Qt::white);
    {
        QPainter painter(&full);
        painter.translate(offset);
        painter.setClipRect(view.plotArea());
        QPen pen(colour, 1);
        pen.setCosmetic(true);
        painter.setPen(pen);
        QPolygonF line;
        for (size_t i = 0; i < values.size(); ++i) {
            line << view.toPosition(QPointF(wavelengths[i], values[i]));
        }
        painter.drawPolyline(line);
    }
    const QRect area = view.plotArea().translated(offset).toAlignedRect();
    int drawn = 0;
    int differing = 0;
    for (int x = area.left(); x <= area.right(); ++x) {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const bool all = full.pixelColor(x, y) == colour;
            drawn += all ? 1 : 0;
            differing += all != (thinned.pixelColor(x, y) == colour) ? 1 : 0;
        }
    }
    EXPECT_GT(drawn, area.width() * 3); // a busy curve, not a flat line
    EXPECT_EQ(differing, 0);
    const std::string path = std::string(REVADUVO_SCREENSHOT_DIR) + "/revaduvo_chart_thinned.png";
    EXPECT_TRUE(thinned.save(QString::fromStdString(path)));
}

TEST_F(SpectrumViewTest, TheCursorShowsItsWavelengthOnlyWhenSwitchedOn) {
    TSpectrumView view;
    view.setCursorWavelength(512);
    EXPECT_EQ(view.cursorText(), QString());
    view.setShowCursor(true);
    EXPECT_EQ(view.cursorText(), QString("Wave Lenght: 512"));
    view.setShowCursor(false);
    EXPECT_EQ(view.cursorText(), QString());
}

} // namespace
} // namespace spectrum
