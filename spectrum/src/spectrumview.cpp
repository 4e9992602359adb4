#include "spectrumview.h"

#include "pa/palog.h"

#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QGraphicsScene>
#include <QLabel>
#include <QLogValueAxis>
#include <QMouseEvent>
#include <QPainter>
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
    // No closing point at height 0 after the last pixel: it drew a drop to
    // zero at the right edge that no pixel measured.
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

TCurve::TCurve(const TSpectrumView& view, QGraphicsItem* chart, QPen pen)
    : QGraphicsItem(chart), view_(view), pen_(std::move(pen)) {
    setZValue(10);
}

void TCurve::replace(QList<QPointF> points) {
    points_ = std::move(points);
    update();
}

void TCurve::clear() {
    if (!points_.isEmpty()) {
        points_.clear();
        update();
    }
}

void TCurve::setPen(const QPen& pen) {
    pen_ = pen;
    update();
}

void TCurve::areaChanged() {
    prepareGeometryChange();
}

QRectF TCurve::boundingRect() const {
    const double margin = pen_.widthF() + 1;
    return view_.plotArea().adjusted(-margin, -margin, margin, margin);
}

void TCurve::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
    const QRectF area = view_.plotArea();
    if (points_.isEmpty() || !isVisible() || area.isEmpty()) {
        return;
    }
    // Per pixel column its first, lowest, highest and last point, in the
    // order they come, each once: the lines between them cover every row the
    // column's points reach and meet the neighbouring columns where all the
    // points would, so the curve looks the same with far fewer segments.
    QPolygonF line;
    line.reserve(std::min<qsizetype>(points_.size(), static_cast<qsizetype>(area.width()) * 4 + 8));
    struct Column {
        long x = std::numeric_limits<long>::min();
        bool open = false;
        QPointF first, low, high, last;
        qsizetype firstAt = 0, lowAt = 0, highAt = 0, lastAt = 0;
    } column;
    auto flush = [&] {
        if (!column.open) {
            return;
        }
        const bool lowFirst = column.lowAt <= column.highAt;
        const qsizetype earlier = lowFirst ? column.lowAt : column.highAt;
        const qsizetype later = lowFirst ? column.highAt : column.lowAt;
        line << column.first;
        if (earlier != column.firstAt) {
            line << (lowFirst ? column.low : column.high);
        }
        if (later != earlier) {
            line << (lowFirst ? column.high : column.low);
        }
        if (column.lastAt != later) {
            line << column.last;
        }
        column.open = false;
    };
    painter->save();
    painter->setClipRect(area);
    painter->setRenderHint(QPainter::Antialiasing, false);
    // Thin lines take the raster engine's quickest path.
    QPen pen = pen_;
    pen.setCosmetic(true);
    painter->setPen(pen);
    auto draw = [&] {
        flush();
        if (line.size() >= 2) {
            painter->drawPolyline(line);
        }
        line.clear();
    };
    const TValueMapping toPosition = view_.mapping();
    const QList<QPointF>& values = points_;
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QPointF p = toPosition(values[i]);
        if (!std::isfinite(p.x()) || !std::isfinite(p.y())) {
            draw(); // a gap in the curve
            continue;
        }
        const auto x = static_cast<long>(std::floor(std::clamp(p.x(), -1e9, 1e9)));
        if (!column.open || x != column.x) {
            flush();
            column = Column{x, true, p, p, p, p, i, i, i, i};
            continue;
        }
        if (p.y() < column.low.y()) {
            column.low = p;
            column.lowAt = i;
        } else if (p.y() > column.high.y()) {
            column.high = p;
            column.highAt = i;
        }
        column.last = p;
        column.lastAt = i;
    }
    draw();
    painter->restore();
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
    // As many digits as each decade needs: 0.001 and 0.01 must not both read "0.0".
    axisLog_->setLabelFormat("%g");
    axisLog_->setRange(kLogMinimum, 100);
    chart_->addAxis(axisX_, Qt::AlignBottom);
    chart_->addAxis(axisY_, Qt::AlignLeft);

    current_ = new TCurve(*this, chart_, QPen(Qt::black, 1));
    second_ = new TCurve(*this, chart_, QPen(Qt::darkGray, 1));
    cursorLine_ = new TCurve(*this, chart_, QPen(Qt::red, 1, Qt::DashLine));
    cursorLine_->setVisible(false);
    cursorLine_->setZValue(20);
    connect(chart_, &QChart::plotAreaChanged, this, [this] {
        for (TCurve* c : {current_, second_, cursorLine_}) {
            c->areaChanged();
        }
        for (TCurve* c : stored_) {
            c->areaChanged();
        }
    });
    // The curves follow the axes when their ranges change.
    auto repaint = [this] { chart_->update(); };
    connect(axisX_, &QValueAxis::rangeChanged, this, repaint);
    connect(axisY_, &QValueAxis::rangeChanged, this, repaint);
    connect(axisLog_, &QLogValueAxis::rangeChanged, this, repaint);

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

TSpectrumView::~TSpectrumView() {
    // The vertical axis that is not in the chart belongs to no one else.
    for (QAbstractAxis* axis :
         {static_cast<QAbstractAxis*>(axisY_), static_cast<QAbstractAxis*>(axisLog_)}) {
        if (!chart_->axes().contains(axis) && axis->parent() != chart_) {
            delete axis;
        }
    }
}

TCurve* TSpectrumView::appendStoredSeries(int penWidth) {
    auto* curve =
        new TCurve(*this, chart_, QPen(kPalette[colourIndex_++ % kPalette.size()], penWidth));
    stored_.push_back(curve);
    return curve;
}

void TSpectrumView::removeStoredSeries(int index) {
    if (index < 0 || index >= storedSeriesCount()) {
        return;
    }
    TCurve* curve = stored_[static_cast<size_t>(index)];
    stored_.erase(stored_.begin() + index);
    delete curve;
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

QRectF TSpectrumView::plotArea() const {
    return chart_->plotArea();
}

TValueMapping TSpectrumView::mapping() const {
    const QRectF area = chart_->plotArea();
    TValueMapping m;
    m.xScale = area.width() / (axisX_->max() - axisX_->min());
    m.xShift = area.left() - axisX_->min() * m.xScale;
    m.logarithmic = logarithmic_;
    double low = axisY_->min();
    double high = axisY_->max();
    if (logarithmic_) {
        low = std::log10(axisLog_->min());
        high = std::log10(axisLog_->max());
    }
    m.yScale = -area.height() / (high - low);
    m.yShift = area.bottom() - low * m.yScale;
    return m;
}

double TSpectrumView::toWavelength(double x) const {
    const QRectF area = chart_->plotArea();
    return axisX_->min() + (x - area.left()) / area.width() * (axisX_->max() - axisX_->min());
}

void TSpectrumView::useLinearAxis() {
    if (!logarithmic_) {
        return;
    }
    chart_->removeAxis(axisLog_);
    chart_->addAxis(axisY_, Qt::AlignLeft);
    logarithmic_ = false;
}

void TSpectrumView::useLogarithmicAxis() {
    if (logarithmic_) {
        return;
    }
    chart_->removeAxis(axisY_);
    chart_->addAxis(axisLog_, Qt::AlignLeft);
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
    if (n > 0 && !bottomFixed_) {
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
        setVerticalRange(input.manualScale->first, input.manualScale->second);
    }
    placeCursor();
}

void TSpectrumView::setBottomRange(double min, double max) {
    bottomFixed_ = true;
    axisX_->setRange(min, max > min ? max : min + 1);
    placeCursor();
}

std::pair<double, double> TSpectrumView::bottomRange() const {
    return {axisX_->min(), axisX_->max()};
}

void TSpectrumView::setVerticalRange(double min, double max) {
    if (!std::isfinite(min) || !std::isfinite(max)) {
        return;
    }
    // An axis needs a span; a flat range is shown around its value.
    if (!(max > min)) {
        min -= 0.5;
        max = min + 1.0;
    }
    if (logarithmic_) {
        if (max <= 0) {
            return;
        }
        axisLog_->setRange(std::max(min, kLogMinimum), max);
    } else {
        axisY_->setRange(min, max);
    }
    placeCursor();
}

std::pair<double, double> TSpectrumView::verticalRange() const {
    if (logarithmic_) {
        return {axisLog_->min(), axisLog_->max()};
    }
    return {axisY_->min(), axisY_->max()};
}

void TSpectrumView::reserveTopLeft(int width, int height) {
    QMargins margins = chart_->margins();
    margins.setTop(std::max(margins.top(), height + 4));
    chart_->setMargins(margins);
    if (cursorLabel_->x() < width + 4) {
        cursorLabel_->move(width + 4, cursorLabel_->y());
    }
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
            cursorWavelength_ = static_cast<int>(toWavelength(chart_->mapFromScene(scene).x()));
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
