#include "spectrumview.h"

#include "pa/palog.h"

#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QLabel>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>

namespace spectrum {
namespace {

constexpr double kAutoLow = 40000.0;
constexpr double kAutoHigh = 60000.0;
constexpr double kAutoTarget = 50000.0;
constexpr double kLogMinimum = 0.001;

// Colours of the stored spectra, in the order they are made.
const std::array<QColor, 12> kPalette = {
    QColor(31, 119, 180),  QColor(214, 39, 40),  QColor(44, 160, 44), QColor(148, 103, 189),
    QColor(255, 127, 14),  QColor(23, 190, 207), QColor(140, 86, 75), QColor(227, 119, 194),
    QColor(127, 127, 127), QColor(188, 189, 34), QColor(0, 0, 128),   QColor(128, 0, 0)};

// Range of drawn heights across all visible series.
struct Extent {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    void take(const QList<QPointF>& points) {
        for (const QPointF& p : points) {
            if (std::isfinite(p.y())) {
                low = std::min(low, p.y());
                high = std::max(high, p.y());
            }
        }
    }
    bool empty() const { return low > high; }
};

// A value as single precision holds it. Kept out of line: inlined, the
// optimiser was seen to drop the rounding of this branch.
[[gnu::noinline]] double toSingle(double value) {
    return static_cast<double>(static_cast<float>(value));
}

} // namespace

QList<QPointF> curvePoints(DisplayKind kind, int pixelCount, const std::vector<double>& wavelengths,
                           const std::vector<double>& values, const std::vector<double>& reference,
                           bool singlePrecision, bool logAxis) {
    QList<QPointF> points;
    // No pixel is read beyond any array it needs.
    size_t count = std::min<size_t>(pixelCount < 0 ? 0 : pixelCount,
                                    std::min(wavelengths.size(), values.size()));
    if (kind == kAbsorbance || kind == kTransmittance) {
        count = std::min(count, reference.size());
    }
    points.reserve(static_cast<qsizetype>(count) + 1);
    for (size_t i = 0; i < count; ++i) {
        const double w = wavelengths[i];
        const double v = values[i];
        switch (kind) {
        case kScope:
            points.append(QPointF(w, v));
            break;
        case kAbsorbance: {
            const double r = reference[i];
            if (r == 0) {
                break;
            }
            if (singlePrecision) {
                const float q = static_cast<float>(v) / static_cast<float>(r);
                if (q > 0) {
                    points.append(QPointF(static_cast<float>(w), -std::log10(q)));
                }
            } else if (v / r > 0) {
                points.append(QPointF(w, -std::log10(v / r)));
            }
            break;
        }
        case kTransmittance: {
            const double r = reference[i];
            if (r == 0) {
                break;
            }
            double t =
                singlePrecision
                    ? static_cast<float>(static_cast<float>(v) * 100.0f / static_cast<float>(r))
                    : v * 100.0 / r;
            // The logarithmic axis has nothing at or below zero: such a value
            // is drawn at the axis' bottom.
            if (logAxis && t < kLogMinimum) {
                t = kLogMinimum;
            }
            points.append(QPointF(singlePrecision ? static_cast<float>(w) : w, t));
            break;
        }
        case kIrradiance:
            if (singlePrecision) {
                points.append(QPointF(toSingle(w), toSingle(v)));
            } else {
                points.append(QPointF(w, v));
            }
            break;
        }
    }
    if (kind == kScope && count > 0) {
        points.append(QPointF(wavelengths[count - 1], 0.0));
    }
    return points;
}

std::optional<int> autoIntegrationTime(const std::vector<double>& values, double currentMs) {
    double m = -std::numeric_limits<double>::infinity();
    bool nan = values.empty();
    for (double v : values) {
        if (std::isnan(v)) {
            nan = true;
        } else {
            m = std::max(m, v);
        }
    }
    if (!nan && m >= kAutoLow && m <= kAutoHigh) {
        return std::nullopt;
    }
    if (nan || !(m > 0) || !std::isfinite(m)) {
        return std::nullopt;
    }
    const double scaled = std::trunc(currentMs * (kAutoTarget / m));
    if (!(scaled >= 1.0) || scaled > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(scaled);
}

TSpectrumView::TSpectrumView(QWidget* parent) : QWidget(parent) {
    chart_ = new QChart();
    chart_->legend()->hide();
    chart_->setMargins(QMargins(4, 4, 4, 4));
    axisX_ = new QValueAxis(chart_);
    axisX_->setTitleText("Wavelength [nm]");
    axisY_ = new QValueAxis(chart_);
    axisLog_ = new QLogValueAxis(chart_);
    axisLog_->setMinorTickCount(-1);
    chart_->addAxis(axisX_, Qt::AlignBottom);
    chart_->addAxis(axisY_, Qt::AlignLeft);

    current_ = new QLineSeries(chart_);
    current_->setName("current");
    current_->setPen(QPen(Qt::black, 1));
    second_ = new QLineSeries(chart_);
    cursorLine_ = new QLineSeries(chart_);
    cursorLine_->setPen(QPen(Qt::red, 1, Qt::DashLine));
    for (QLineSeries* s : {current_, second_, cursorLine_}) {
        chart_->addSeries(s);
        s->attachAxis(axisX_);
        s->attachAxis(axisY_);
    }
    cursorLine_->setVisible(false);

    view_ = new QChartView(chart_, this);
    view_->setRenderHint(QPainter::Antialiasing, false);
    view_->viewport()->installEventFilter(this);
    cursorLabel_ = new QLabel(view_);
    cursorLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    cursorLabel_->move(60, 8);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
}

TSpectrumView::~TSpectrumView() = default;

QLineSeries* TSpectrumView::appendStoredSeries(int penWidth) {
    auto* series = new QLineSeries(chart_);
    series->setPen(QPen(kPalette[colourIndex_++ % kPalette.size()], penWidth));
    chart_->addSeries(series);
    series->attachAxis(axisX_);
    series->attachAxis(logarithmic_ ? static_cast<QAbstractAxis*>(axisLog_) : axisY_);
    stored_.push_back(series);
    return series;
}

void TSpectrumView::removeStoredSeries(int index) {
    if (index < 0 || index >= storedSeriesCount()) {
        return;
    }
    QLineSeries* series = stored_[static_cast<size_t>(index)];
    stored_.erase(stored_.begin() + index);
    chart_->removeSeries(series);
    delete series;
}

void TSpectrumView::clearStoredSeries() {
    while (!stored_.empty()) {
        removeStoredSeries(storedSeriesCount() - 1);
    }
}

QColor TSpectrumView::storedSeriesColour(int index) const {
    return stored_.at(static_cast<size_t>(index))->pen().color();
}

QAbstractAxis* TSpectrumView::verticalAxis() const {
    return logarithmic_ ? static_cast<QAbstractAxis*>(axisLog_) : axisY_;
}

void TSpectrumView::useLinearAxis() {
    if (!logarithmic_) {
        return;
    }
    for (QAbstractSeries* s : chart_->series()) {
        s->detachAxis(axisLog_);
    }
    chart_->removeAxis(axisLog_);
    chart_->addAxis(axisY_, Qt::AlignLeft);
    for (QAbstractSeries* s : chart_->series()) {
        s->attachAxis(axisY_);
    }
    logarithmic_ = false;
}

void TSpectrumView::useLogarithmicAxis() {
    if (logarithmic_) {
        return;
    }
    for (QAbstractSeries* s : chart_->series()) {
        s->detachAxis(axisY_);
    }
    chart_->removeAxis(axisY_);
    chart_->addAxis(axisLog_, Qt::AlignLeft);
    for (QAbstractSeries* s : chart_->series()) {
        s->attachAxis(axisLog_);
    }
    logarithmic_ = true;
}

void TSpectrumView::updateGraph(const Input& input) {
    try {
        draw(input);
    } catch (const std::exception&) {
        pa::logPrint(input.kind == kScope ? "Error in Scope\n" : "Error in updateGraph\n");
    }
}

void TSpectrumView::draw(const Input& input) {
    static const std::vector<double> kNone;
    const std::vector<double>& wavelengths = input.wavelengths ? *input.wavelengths : kNone;
    const std::vector<double>& current = input.current ? *input.current : kNone;
    const std::vector<double>& reference = input.reference ? *input.reference : kNone;
    const bool logAxis = input.kind == kTransmittance && input.logarithmic;
    if (logAxis) {
        useLogarithmicAxis();
        axisLog_->setMin(kLogMinimum);
    } else {
        useLinearAxis();
    }

    Extent extent;
    QList<QPointF> points;
    if (input.drawCurrent) {
        points = curvePoints(input.kind, input.pixelCount, wavelengths, current, reference, true,
                             logAxis);
    }
    extent.take(points);
    current_->replace(points);
    second_->clear();
    const size_t storedCount = input.stored ? input.stored->spectra.size() : 0;
    for (size_t i = 0; i < stored_.size(); ++i) {
        const bool ticked = i < input.checked.size() && input.checked[i] && i < storedCount;
        if (!ticked) {
            stored_[i]->clear();
            continue;
        }
        QList<QPointF> curve =
            curvePoints(input.kind, input.pixelCount, wavelengths, input.stored->spectra[i].values,
                        reference, false, logAxis);
        extent.take(curve);
        stored_[i]->replace(curve);
    }
    if (input.kind == kScope) {
        pa::logPrint("SensorLenght:%d \n", input.pixelCount);
        pa::logPrint("RawData size: %d \n", static_cast<int>(current.size()));
    }

    // The wavelength axis spans the table.
    const size_t n =
        std::min<size_t>(input.pixelCount < 0 ? 0 : input.pixelCount, wavelengths.size());
    if (n > 0) {
        const auto [lo, hi] = std::minmax_element(wavelengths.begin(), wavelengths.begin() + n);
        axisX_->setRange(*lo, *hi > *lo ? *hi : *lo + 1);
    }
    if (logAxis) {
        double top = std::max(axisLog_->max(), kLogMinimum * 10);
        for (const QPointF& p : points) {
            top = std::max(top, p.y());
        }
        axisLog_->setMax(top);
    } else if (!extent.empty()) {
        const double span = extent.high - extent.low;
        const double pad = span > 0 ? span * 0.05 : std::max(1.0, std::fabs(extent.high) * 0.05);
        axisY_->setRange(extent.low - pad, extent.high + pad);
    }
    if (input.manualScale) {
        verticalAxis()->setRange(input.manualScale->first, input.manualScale->second);
    }
    placeCursor();
}

void TSpectrumView::setShowCursor(bool show) {
    showCursor_ = show;
    placeCursor();
}

void TSpectrumView::setCursorWavelength(int wavelength) {
    cursorWavelength_ = wavelength;
    placeCursor();
}

QString TSpectrumView::cursorText() const {
    return showCursor_ ? QString("Wave Lenght: %1").arg(cursorWavelength_) : QString();
}

void TSpectrumView::placeCursor() {
    cursorLabel_->setText(cursorText());
    cursorLabel_->adjustSize();
    cursorLine_->setVisible(showCursor_);
    if (!showCursor_) {
        cursorLine_->clear();
        return;
    }
    double low = axisY_->min();
    double high = axisY_->max();
    if (logarithmic_) {
        low = axisLog_->min();
        high = axisLog_->max();
    }
    cursorLine_->replace(
        QList<QPointF>{QPointF(cursorWavelength_, low), QPointF(cursorWavelength_, high)});
}

bool TSpectrumView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            const QPointF scene = view_->mapToScene(mouse->position().toPoint());
            const QPointF value = chart_->mapToValue(chart_->mapFromScene(scene), current_);
            cursorWavelength_ = static_cast<int>(value.x());
            cursorLabel_->move(mouse->position().toPoint().x(), cursorLabel_->y());
            placeCursor();
            view_->viewport()->update();
            emit cursorMoved(cursorWavelength_);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace spectrum
