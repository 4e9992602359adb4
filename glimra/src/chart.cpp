// The chart window and its curves.

#include "glimra/chart.h"

#include "glimra/dialog.h"

#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>

namespace glimra {

namespace {

// A quotient of DataToPoint as a pixel offset, truncated towards zero. An
// undefined one (0 / 0 of a zero span) gives 0, and a huge or infinite one
// stops at a bound, so that no infinity is cast and no line runs for ever.
int pixelsOf(double quotient) {
    if (std::isnan(quotient)) {
        return 0;
    }
    constexpr double kLimit = 1 << 16;
    return static_cast<int>(std::clamp(quotient, -kLimit, kLimit));
}

// Grid line i of n between lo and hi; without divisions only lo.
double divisionValue(double lo, double hi, int i, int n) {
    return n > 0 ? lo + i * (hi - lo) / n : lo;
}

// printf's "%<width>.<precision>f" in the C locale, whatever the process's.
std::string formatFixed(double value, int width, int precision) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    std::string text = result.ec == std::errc() ? std::string(buffer, result.ptr) : "";
    if (static_cast<int>(text.size()) < width) {
        text.insert(0, static_cast<size_t>(width) - text.size(), ' ');
    }
    return text;
}

} // namespace

// --- CChartCurve ---

CChartCurve::CChartCurve() = default;

CChartCurve::~CChartCurve() {
    if (used != 0 || ownsArrays != 0 || xValues != nullptr || yValues != nullptr) {
        Free();
    }
}

CChartCurve::CChartCurve(const CChartCurve& other) = default;

CChartCurve& CChartCurve::operator=(const CChartCurve& other) = default;

BOOL CChartCurve::Alloc(int n) {
    if (n <= 0) {
        return FALSE;
    }
    try {
        auto xs = std::make_shared<double[]>(static_cast<size_t>(n));
        auto ys = std::make_shared<double[]>(static_cast<size_t>(n));
        xOwned_ = std::move(xs);
        yOwned_ = std::move(ys);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    xValues = xOwned_.get();
    yValues = yOwned_.get();
    ownsArrays = 1;
    return TRUE;
}

BOOL CChartCurve::Free() {
    if (ownsArrays != 0) {
        xOwned_.reset();
        yOwned_.reset();
        xValues = nullptr;
        yValues = nullptr;
        used = 0;
        ownsArrays = 0;
    }
    return TRUE;
}

// --- CChart ---

CChart::CChart() : QWidget(nullptr) {
    // Erasing is left out: every paint covers the whole client area.
    setAttribute(Qt::WA_OpaquePaintEvent);
    SetRange(-10, 10, -10, 10);
}

CChart::~CChart() {
    FreeCurves();
    deleteMemory();
}

void CChart::deleteMemory() {
    if (memDC_ && oldBitmap_ != nullptr) {
        memDC_->SelectObject(oldBitmap_);
    }
    oldBitmap_ = nullptr;
    memDC_.reset();
    memBitmap_.DeleteObject();
}

BOOL CChart::Create(DWORD style, const RECT& rect, QWidget* parent, UINT id) {
    if (created_ || ((style & WS_CHILD) != 0 && parent == nullptr)) {
        return FALSE;
    }
    setParent(parent);
    setDlgCtrlID(this, static_cast<int>(id));
    setGeometry(toQRect(rect));
    created_ = true;
    // The size message of the creation is over: the rectangle below holds.
    handledClient_ = QSize(std::max(0, rect.width() - 2 * FrameWidth),
                           std::max(0, rect.height() - 2 * FrameWidth));
    // From the parent's client coordinates to the chart's own.
    const QPoint corner(rect.left, rect.top);
    const QPoint own = (parent != nullptr ? mapFrom(parent, corner) : mapFromGlobal(corner)) -
                       QPoint(FrameWidth, FrameWidth);
    chartRect_ = {own.x(), own.y(), own.x() + rect.width(), own.y() + rect.height()};
    if ((flags_ & FontsCreated) == 0) {
        CreateFonts();
        flags_ |= FontsCreated;
    }
    CalcPlotArea();
    CalcScale();
    setVisible((style & WS_VISIBLE) != 0);
    return TRUE;
}

BOOL CChart::DestroyWindow() {
    if (!created_) {
        return FALSE;
    }
    hide();
    setParent(nullptr);
    created_ = false;
    return TRUE;
}

void CChart::CreateFonts() {
    const CDC screen;
    const int dpi = screen.GetDeviceCaps(LOGPIXELSY);
    const auto make = [dpi](int points, int weight, int escapement) {
        auto font = std::make_unique<CFont>();
        font->CreateFont(-MulDiv(points, dpi, 72), 0, escapement, escapement, weight, 0, 0, 0, 0, 0,
                         0, 0, 0, "Times New Roman");
        return font;
    };
    labelFont_ = make(7, FW_NORMAL, 0);
    titleFont_ = make(12, FW_BOLD, 0);
    verticalFont_ = make(7, FW_NORMAL, 900);
}

BOOL CChart::SetRange(double xMin, double xMax, double yMin, double yMax) {
    xMin_ = xMin;
    xMax_ = xMax;
    yMin_ = yMin;
    yMax_ = yMax;
    flags_ |= RenderStatic;
    CalcScale();
    return TRUE;
}

void CChart::GetRange(double* xMin, double* xMax, double* yMin, double* yMax) const {
    if (xMin != nullptr) {
        *xMin = xMin_;
    }
    if (xMax != nullptr) {
        *xMax = xMax_;
    }
    if (yMin != nullptr) {
        *yMin = yMin_;
    }
    if (yMax != nullptr) {
        *yMax = yMax_;
    }
}

void CChart::SetDivisions(int x, int y) {
    xDivisions_ = x;
    yDivisions_ = y;
    flags_ |= RenderStatic;
}

void CChart::SetAxesMode(int mode) {
    if (mode >= 0 && mode <= 2) {
        axesMode_ = mode;
    }
}

void CChart::SetLogGrid(BOOL on) {
    flags_ = on != FALSE ? flags_ | LogGridOn : flags_ & ~LogGridOn;
}

void CChart::SetTitle(const std::string& title) {
    title_ = title;
    flags_ |= RenderStatic;
}

void CChart::SetAxisNames(const std::string& x, const std::string& y) {
    xCaption_ = x;
    yCaption_ = y;
}

BOOL CChart::SetCurveCount(int n) {
    if (n < 0 || n > MaxCurves) {
        return FALSE;
    }
    if (n != curveCount_) {
        FreeCurves();
        curveCount_ = n;
    }
    return TRUE;
}

BOOL CChart::AllocCurves(int points) {
    if ((flags_ & CurvesAllocated) != 0 && points != capacity_) {
        FreeCurves();
    }
    if ((flags_ & CurvesAllocated) == 0) {
        for (int i = 0; i < curveCount_; ++i) {
            if (!curves_[i].Alloc(points)) {
                return FALSE;
            }
        }
        capacity_ = points;
        flags_ |= CurvesAllocated;
    }
    return TRUE;
}

void CChart::FreeCurves() {
    for (int i = 0; i < curveCount_; ++i) {
        curves_[i].Free();
    }
    capacity_ = 0;
    flags_ &= ~CurvesAllocated;
}

CChartCurve* CChart::GetCurve(int index) {
    return index >= 0 && index < MaxCurves ? &curves_[index] : nullptr;
}

BOOL CChart::SetPoint(double x, double y, int point, int curve) {
    // Negative indexes would write before the arrays.
    if ((flags_ & CurvesAllocated) == 0 || curve < 0 || curve >= curveCount_ || point < 0 ||
        point >= capacity_) {
        return FALSE;
    }
    CChartCurve& c = curves_[curve];
    if (c.xValues == nullptr || c.yValues == nullptr) {
        return FALSE;
    }
    x = x > xMax_ ? xMax_ : x;
    x = x < xMin_ ? xMin_ : x;
    y = y > yMax_ ? yMax_ : y;
    y = y < yMin_ ? yMin_ : y;
    c.xValues[point] = x;
    c.yValues[point] = y;
    c.used = 1;
    lastPoint_ = point;
    return TRUE;
}

void CChart::ClearPoints() {
    lastPoint_ = 0;
    update();
}

void CChart::Redraw(BOOL erase) {
    if (erase != FALSE) {
        flags_ |= RenderStatic;
    }
    update();
}

POINT CChart::DataToPoint(double x, double y) const {
    return {plotArea_.left + pixelsOf((x - xMin_) / xUnitsPerPixel_),
            plotArea_.bottom - pixelsOf((y - yMin_) / yUnitsPerPixel_)};
}

void CChart::CalcPlotArea() {
    innerRect_ = {chartRect_.left + 2, chartRect_.top + 2, chartRect_.right - 2,
                  chartRect_.bottom - 2};
    const int w = innerRect_.width();
    const int h = innerRect_.height();
    plotArea_ = {innerRect_.left + w / 7, innerRect_.top + h / 7, innerRect_.right - w / 14,
                 innerRect_.bottom - h / 7};
}

void CChart::CalcScale() {
    // A zero plot width gives infinite or undefined units; DataToPoint maps
    // every value to the plot's edge then.
    xUnitsPerPixel_ = (xMax_ - xMin_) / (plotArea_.right - plotArea_.left);
    yUnitsPerPixel_ = (yMax_ - yMin_) / (plotArea_.bottom - plotArea_.top);
}

void CChart::DrawBackground(CDC* dc) {
    CBrush brush(bkColor_);
    dc->Rectangle(&chartRect_);
    dc->FillRect(&chartRect_, &brush);
}

void CChart::DrawAxes(CDC* dc) {
    CPen pen(PS_SOLID, 2, axisColor_);
    CPen* old = dc->SelectObject(&pen);
    const auto line = [&](double x0, double y0, double x1, double y1) {
        const POINT a = DataToPoint(x0, y0);
        const POINT b = DataToPoint(x1, y1);
        dc->MoveTo(a.x, a.y);
        dc->LineTo(b.x, b.y);
    };
    const double xMid = (xMin_ + xMax_) / 2;
    const double yMid = (yMin_ + yMax_) / 2;
    switch (axesMode_) {
    case 0:
        line(xMin_, yMin_, xMax_, yMin_);
        line(xMin_, yMin_, xMin_, yMax_);
        break;
    case 1:
        line(xMin_, yMid, xMax_, yMid);
        line(xMin_, yMin_, xMin_, yMax_);
        break;
    default:
        line(xMid, yMin_, xMid, yMax_);
        line(xMin_, yMid, xMax_, yMid);
        break;
    }
    dc->SelectObject(old);
}

void CChart::DrawGrid(CDC* dc) {
    CPen pen(PS_SOLID, 0, gridColor_);
    CPen* old = dc->SelectObject(&pen);
    for (int i = 0; i <= xDivisions_; ++i) {
        const double x = divisionValue(xMin_, xMax_, i, xDivisions_);
        const POINT a = DataToPoint(x, yMin_);
        const POINT b = DataToPoint(x, yMax_);
        dc->MoveTo(a.x, a.y);
        dc->LineTo(b.x, b.y);
    }
    for (int i = 0; i <= yDivisions_; ++i) {
        const double y = divisionValue(yMin_, yMax_, i, yDivisions_);
        const POINT a = DataToPoint(xMin_, y);
        const POINT b = DataToPoint(xMax_, y);
        dc->MoveTo(a.x, a.y);
        dc->LineTo(b.x, b.y);
    }
    dc->SelectObject(old);
}

void CChart::DrawLogGrid(CDC* dc) {
    CPen pen(PS_SOLID, 0, RGB(0xC0, 0xC0, 0xC0));
    CPen* old = dc->SelectObject(&pen);
    const double yMin = yMin_;
    const double yMax = yMax_;
    // The y world counts decades while the lines are drawn.
    SetRange(xMin_, xMax_, 0, yDivisions_);
    for (int d = 0; d < yDivisions_; ++d) {
        const double step = (std::pow(10.0, d + 1) - std::pow(10.0, d)) / 5;
        double v = d;
        for (int k = 0; k < 5; ++k) {
            v = std::log10(std::pow(10.0, v) + step);
            const POINT a = DataToPoint(xMin_, v);
            const POINT b = DataToPoint(xMax_, v);
            dc->MoveTo(a.x, a.y);
            dc->LineTo(b.x, b.y);
        }
    }
    SetRange(xMin_, xMax_, yMin, yMax);
    dc->SelectObject(old);
}

void CChart::DrawAxisLabels(CDC* dc) {
    CFont* old = dc->SelectObject(labelFont_.get());
    dc->SetBkMode(TRANSPARENT);
    dc->SetTextAlign(TA_RIGHT);
    for (int i = 0; i <= yDivisions_; ++i) {
        const double value = divisionValue(yMin_, yMax_, i, yDivisions_);
        const POINT p = DataToPoint(xMin_, value);
        const std::string text = formatFixed(value, 5, 2);
        const SIZE size = dc->GetTextExtent(text);
        dc->TextOut(p.x - 5, p.y - size.cy / 2, text);
    }
    const SIZE xSize = dc->GetTextExtent(xCaption_);
    const int middle = chartRect_.left + chartRect_.width() / 2;
    dc->TextOut(middle + xSize.cx / 2, chartRect_.bottom - xSize.cy - 5, xCaption_);

    dc->SelectObject(verticalFont_.get());
    for (int i = 0; i <= xDivisions_; ++i) {
        const double value = divisionValue(xMin_, xMax_, i, xDivisions_);
        const POINT p = DataToPoint(value, yMin_);
        const std::string text = formatFixed(value, 5, 1);
        const SIZE size = dc->GetTextExtent(text);
        dc->TextOut(p.x - size.cy / 2, p.y + 5, text);
    }
    const SIZE ySize = dc->GetTextExtent(yCaption_);
    dc->TextOut(chartRect_.left + ySize.cy / 2,
                chartRect_.top + chartRect_.height() / 2 - ySize.cx / 2, yCaption_);
    if (old != nullptr) {
        dc->SelectObject(old);
    }
}

void CChart::DrawTitle(CDC* dc) {
    CFont* old = dc->SelectObject(titleFont_.get());
    const int oldMode = dc->SetBkMode(TRANSPARENT);
    dc->SetTextAlign(TA_LEFT | TA_TOP);
    const SIZE size = dc->GetTextExtent(title_);
    dc->TextOut(innerRect_.left + (innerRect_.right - innerRect_.left) / 2 - size.cx / 2,
                chartRect_.top + size.cy / 2, title_);
    if (old != nullptr) {
        dc->SelectObject(old);
    }
    dc->SetBkMode(oldMode);
}

void CChart::DrawCurves(CDC* dc) {
    if (lastPoint_ == 0 || (flags_ & CurvesAllocated) == 0) {
        return;
    }
    // Never beyond the arrays, whatever was stored before they changed.
    const int last = std::min(lastPoint_, capacity_ - 1);
    if (last < 1) {
        return;
    }
    points_.resize(static_cast<size_t>(last));
    for (int c = 0; c < curveCount_; ++c) {
        const CChartCurve& curve = curves_[c];
        if (curve.used == 0 || curve.xValues == nullptr || curve.yValues == nullptr) {
            continue;
        }
        CPen pen(PS_SOLID, 0, curve.color);
        CPen* old = dc->SelectObject(&pen);
        const POINT start = DataToPoint(curve.xValues[0], curve.yValues[0]);
        dc->MoveTo(start.x, start.y);
        for (int i = 1; i <= last; ++i) {
            points_[static_cast<size_t>(i - 1)] = DataToPoint(curve.xValues[i], curve.yValues[i]);
        }
        dc->PolylineTo(points_.data(), last);
        dc->SelectObject(old);
    }
}

void CChart::RenderToMemory(CDC* target) {
    const int w = innerRect_.width();
    const int h = innerRect_.height();
    if (w <= 0 || h <= 0) {
        return;
    }
    if (!memDC_) {
        memDC_ = std::make_unique<CDC>();
        memDC_->CreateCompatibleDC(target);
        memBitmap_.CreateCompatibleBitmap(target, w, h);
        oldBitmap_ = memDC_->SelectObject(&memBitmap_);
    }
    CDC* dc = memDC_.get();
    DrawBackground(dc);
    DrawAxes(dc);
    DrawGrid(dc);
    if ((flags_ & LogGridOn) != 0) {
        DrawLogGrid(dc);
    }
    DrawAxisLabels(dc);
    DrawTitle(dc);
}

void CChart::OnPaint(CDC* paint) {
    if ((flags_ & RenderStatic) != 0) {
        RenderToMemory(paint);
        flags_ &= ~RenderStatic;
    }
    const int w = innerRect_.width();
    const int h = innerRect_.height();
    if (!memDC_ || w <= 0 || h <= 0) {
        return;
    }
    CDC frame;
    frame.CreateCompatibleDC(paint);
    CBitmap bitmap;
    if (!bitmap.CreateCompatibleBitmap(paint, w, h)) {
        return;
    }
    CBitmap* old = frame.SelectObject(&bitmap);
    frame.BitBlt(0, 0, w, h, memDC_.get(), 0, 0, SRCCOPY);
    DrawCurves(&frame);
    paint->BitBlt(0, 0, w, h, &frame, 0, 0, SRCCOPY);
    frame.SelectObject(old);
}

void CChart::OnSize(UINT, int cx, int cy) {
    chartRect_.right = chartRect_.left + cx + 5;
    chartRect_.bottom = chartRect_.top + cy + 5;
    CalcPlotArea();
    CalcScale();
    flags_ |= RenderStatic;
    deleteMemory();
}

void CChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    CDC window(&painter, size());
    RECT edge = toRect(rect());
    window.DrawEdge(&edge, BDR_SUNKENOUTER, BF_RECT); // static edge
    edge = {1, 1, width() - 1, height() - 1};
    window.DrawEdge(&edge, EDGE_SUNKEN, BF_RECT); // client edge

    CDC client(&painter, size());
    client.IntersectClipRect(FrameWidth, FrameWidth, width() - FrameWidth, height() - FrameWidth);
    client.SetViewportOrg(FrameWidth, FrameWidth);
    OnPaint(&client);
}

void CChart::resizeEvent(QResizeEvent* event) {
    const QSize client(std::max(0, event->size().width() - 2 * FrameWidth),
                       std::max(0, event->size().height() - 2 * FrameWidth));
    if (client != handledClient_) {
        handledClient_ = client;
        OnSize(0, client.width(), client.height());
    }
}

void CChart::Print(CDC* printer, int x, int y) {
    if (printer == nullptr) {
        return;
    }
    const CDC screen; // the window's own resolution
    const int screenX = std::max(1, screen.GetDeviceCaps(LOGPIXELSX));
    const int screenY = std::max(1, screen.GetDeviceCaps(LOGPIXELSY));
    const int printerX = printer->GetDeviceCaps(LOGPIXELSX);
    const int printerY = printer->GetDeviceCaps(LOGPIXELSY);
    const int oldMode = printer->SetMapMode(MM_ANISOTROPIC);
    const int factorX = printerX / screenX;
    const int factorY = printerY / screenY;
    if (factorX > 0 && factorY > 0) {
        printer->SetViewportExt(factorX, factorY);
    } else {
        // A printer coarser than the screen: its own ratio rather than a
        // factor of 0, which would fold the chart into a point.
        printer->SetWindowExt(screenX, screenY);
        printer->SetViewportExt(std::max(1, printerX), std::max(1, printerY));
    }
    printer->SetViewportOrg(x, y);
    DrawBackground(printer);
    RECT edge = chartRect_;
    printer->DrawEdge(&edge, EDGE_SUNKEN, BF_RECT);
    DrawTitle(printer);
    if ((flags_ & LogGridOn) != 0) {
        DrawLogGrid(printer);
    }
    DrawGrid(printer);
    DrawAxes(printer);
    DrawAxisLabels(printer);
    DrawCurves(printer);
    printer->SetMapMode(oldMode);
}

} // namespace glimra
