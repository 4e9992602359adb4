#pragma once
// The chart of the "Measuring" page: the current spectrum and the ticked
// stored spectra over the wavelength axis in one of four display kinds, and
// the cursor line. The stored-spectrum list owns the order of the stored
// series; this view only creates, draws and destroys them.

#include "mispecdataset.h"

#include <QList>
#include <QPointF>
#include <QWidget>

#include <optional>
#include <utility>
#include <vector>

class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QLogValueAxis;
class QValueAxis;
class QAbstractAxis;

namespace spectrum {

enum DisplayKind { kScope = 0, kAbsorbance = 1, kTransmittance = 2, kIrradiance = 3 };

// The points of one curve. Pixels beyond any of the arrays are not drawn, so
// a stored spectrum shorter than the device's pixel count draws what it has.
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

    // The series of stored spectrum i; appended in list order.
    QLineSeries* appendStoredSeries(int penWidth = 1);
    void removeStoredSeries(int index);
    void clearStoredSeries();
    int storedSeriesCount() const { return static_cast<int>(stored_.size()); }
    QLineSeries* storedSeries(int index) const { return stored_.at(index); }
    QColor storedSeriesColour(int index) const;

    QLineSeries* currentSeries() const { return current_; }
    QLineSeries* secondSeries() const { return second_; }
    QChart* chart() const { return chart_; }
    QChartView* chartView() const { return view_; }
    QAbstractAxis* verticalAxis() const;
    bool verticalAxisIsLogarithmic() const { return logarithmic_; }

    // Draws everything anew; never raises (a failure is logged).
    void updateGraph(const Input& input);

    // The cursor: a right click on the chart sets the wavelength.
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
    QLineSeries* current_ = nullptr;
    QLineSeries* second_ = nullptr;
    QLineSeries* cursorLine_ = nullptr;
    QLabel* cursorLabel_ = nullptr;
    std::vector<QLineSeries*> stored_;
    bool logarithmic_ = false;
    bool showCursor_ = false;
    int cursorWavelength_ = 0;
    int colourIndex_ = 0;
};

} // namespace spectrum
