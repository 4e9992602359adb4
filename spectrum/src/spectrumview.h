#pragma once
// The chart of the "Measuring" page: the current spectrum and the ticked
// stored spectra over the wavelength axis in one of four display kinds, and
// the cursor line. The stored-spectrum list owns the order of the stored
// curves; this view only creates, draws and destroys them.
//
// The chart keeps the axes, grid and frame; the curves paint themselves into
// its plot area, thinned to what the pixels can show, so that a redraw with
// fifty stored spectra of thousands of pixels stays quick.

#include "mispecdataset.h"

#include <QGraphicsItem>
#include <QList>
#include <QPen>
#include <QPointF>
#include <QWidget>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

class QChart;
class QChartView;
class QLabel;
class QLogValueAxis;
class QValueAxis;
class QAbstractAxis;

namespace spectrum {

class TSpectrumView;

// Value to position in the chart's coordinates for the axes as they stand:
// x and y (or log10 y) scaled and shifted.
struct TValueMapping {
    double xScale = 0, xShift = 0, yScale = 0, yShift = 0;
    bool logarithmic = false;
    // Inline: a redraw maps every point of every curve.
    QPointF operator()(const QPointF& value) const {
        double y = value.y();
        if (logarithmic) {
            y = y > 0 ? std::log10(y) : std::numeric_limits<double>::quiet_NaN();
        }
        return QPointF(value.x() * xScale + xShift, y * yScale + yShift);
    }
};

// One curve in value coordinates, painted as a polyline through the view's
// axes. At most four points per pixel column are painted (first, lowest,
// highest, last, each once), which looks the same as all of them.
class TCurve : public QGraphicsItem {
public:
    TCurve(const TSpectrumView& view, QGraphicsItem* chart, QPen pen);

    void replace(QList<QPointF> points);
    void clear();
    qsizetype count() const { return points_.size(); }
    QPointF at(qsizetype index) const { return points_.at(index); }
    const QList<QPointF>& points() const { return points_; }
    QPen pen() const { return pen_; }
    void setPen(const QPen& pen);
    // The plot area moved or changed its size.
    void areaChanged();

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

private:
    const TSpectrumView& view_;
    QList<QPointF> points_;
    QPen pen_;
};

enum DisplayKind { kScope = 0, kAbsorbance = 1, kTransmittance = 2, kIrradiance = 3 };

// The points of one curve, one per pixel that has a point. Pixels beyond any
// of the arrays are not drawn, so a stored spectrum shorter than the device's
// pixel count draws what it has.
// singlePrecision rounds what the current spectrum's curves compute to float;
// logAxis draws a negative transmittance as 0.
QList<QPointF> curvePoints(DisplayKind kind, int pixelCount, const std::vector<double>& wavelengths,
                           const std::vector<double>& values, const std::vector<double>& reference,
                           bool singlePrecision, bool logAxis);

// The automatic integration time for a spectrum whose largest value is
// outside 40,000..60,000 counts: the time scaled to bring it to 50,000,
// truncated to whole ms. None within the band, and none when the spectrum has
// no positive maximum (there is nothing to scale).
std::optional<int> autoIntegrationTime(const std::vector<double>& values, double currentMs);

class TSpectrumView : public QWidget {
    Q_OBJECT

public:
    struct Input {
        DisplayKind kind = kScope;
        int pixelCount = 0;
        const std::vector<double>* wavelengths = nullptr;
        const std::vector<double>* current = nullptr;
        const std::vector<double>* reference = nullptr;
        const mi::TSpecDataSet* stored = nullptr;
        std::vector<bool> checked; // per stored spectrum
        bool drawCurrent = true;   // "preview spectrum(implicit)"
        bool logarithmic = false;  // "Logarithmic", transmittance only
        std::optional<std::pair<double, double>> manualScale;
    };

    explicit TSpectrumView(QWidget* parent = nullptr);
    ~TSpectrumView() override;

    // The curve of stored spectrum i; appended in list order.
    TCurve* appendStoredSeries(int penWidth = 1);
    void removeStoredSeries(int index);
    void clearStoredSeries();
    int storedSeriesCount() const { return static_cast<int>(stored_.size()); }
    TCurve* storedSeries(int index) const { return stored_.at(static_cast<size_t>(index)); }
    QColor storedSeriesColour(int index) const;

    TCurve* currentSeries() const { return current_; }
    TCurve* secondSeries() const { return second_; }
    QChart* chart() const { return chart_; }
    QChartView* chartView() const { return view_; }
    QAbstractAxis* verticalAxis() const;
    bool verticalAxisIsLogarithmic() const { return logarithmic_; }
    // Value to position in the chart's coordinates, and back for x.
    QRectF plotArea() const;
    TValueMapping mapping() const;
    QPointF toPosition(const QPointF& value) const { return mapping()(value); }
    double toWavelength(double x) const;

    // Draws everything anew; never raises (a failure is logged).
    void updateGraph(const Input& input);

    // The wavelength axis: follows the device's table until a range is set,
    // then keeps that range.
    void setBottomRange(double min, double max);
    std::pair<double, double> bottomRange() const;
    bool bottomFixed() const { return bottomFixed_; }
    // The vertical axis until the next redraw scales it again; a range
    // without span is widened to one unit around its value.
    void setVerticalRange(double min, double max);
    std::pair<double, double> verticalRange() const;

    // The cursor: a right click on the chart sets the wavelength.
    // Keeps a strip at the top free for controls placed over the view: the
    // plot begins below it, and the cursor label starts right of `width`.
    void reserveTopLeft(int width, int height);
    void setShowCursor(bool show);
    bool showCursor() const { return showCursor_; }
    int cursorWavelength() const { return cursorWavelength_; }
    void setCursorWavelength(int wavelength);
    QString cursorText() const;

signals:
    // A right click moved the cursor.
    void cursorMoved(int wavelength);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void draw(const Input& input);
    void useLinearAxis();
    void useLogarithmicAxis();
    void placeCursor();

    QChart* chart_ = nullptr;
    QChartView* view_ = nullptr;
    QValueAxis* axisX_ = nullptr;
    QValueAxis* axisY_ = nullptr;
    QLogValueAxis* axisLog_ = nullptr;
    TCurve* current_ = nullptr;
    TCurve* second_ = nullptr;
    TCurve* cursorLine_ = nullptr;
    QLabel* cursorLabel_ = nullptr;
    std::vector<TCurve*> stored_;
    bool logarithmic_ = false;
    bool bottomFixed_ = false;
    bool showCursor_ = false;
    int cursorWavelength_ = 0;
    int colourIndex_ = 0;
};

} // namespace spectrum
