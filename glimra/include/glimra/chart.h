#pragma once
// CChart: a child window that draws up to 60 x/y line curves over a world
// rectangle, with a linear grid or a logarithmic y grid, axes in one of three
// placements, tick labels, axis captions and a title, and prints itself on a
// printer context. CChartCurve: the arrays and the colour of one curve.
//
// The caller stores the points: SetCurveCount, AllocCurves, SetPoint for
// every point, then Redraw. The static picture (background, axes, grid,
// labels, title) is rendered into a memory bitmap only when something it
// shows was marked; every paint copies it, draws the curves over the copy
// off-screen and reaches the window in one copy, without erasing first.
//
// The window has a static edge and a client edge: a sunken frame 3 pixels
// wide. Client coordinates start inside it; the chart rectangle is the
// window's rectangle in them, so it begins at (-3, -3).

#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/styles.h"

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

namespace glimra {

class GLIMRA_EXPORT CChartCurve {
public:
    CChartCurve();
    ~CChartCurve();
    // Copies share the arrays; the last of them to let go frees them.
    CChartCurve(const CChartCurve& other);
    CChartCurve& operator=(const CChartCurve& other);

    // Two zeroed arrays of n doubles, owned by the curve; TRUE only when both
    // were obtained (earlier arrays are let go of then).
    BOOL Alloc(int n);
    // Lets go of owned arrays and clears the pointers and the used flag with
    // them, so that a freed curve is never drawn. Arrays the curve does not
    // own stay. Always TRUE.
    BOOL Free();

    int used = 0; // set by the chart when a point is stored; drawn only while set
    double* xValues = nullptr;
    double* yValues = nullptr;
    COLORREF color = 0; // of its pen
    int ownsArrays = 0; // set by Alloc

private:
    std::shared_ptr<double[]> xOwned_;
    std::shared_ptr<double[]> yOwned_;
};

class CSpectraScope;

class GLIMRA_EXPORT CChart : public QWidget {
public:
    static constexpr int MaxCurves = 60;
    // State flags.
    static constexpr UINT CurvesAllocated = 0x1;
    static constexpr UINT RenderStatic = 0x2; // the static picture must be rendered again
    static constexpr UINT FontsCreated = 0x4;
    static constexpr UINT LogGridOn = 0x8;
    // Width of the static and client edges together.
    static constexpr int FrameWidth = 3;

    CChart();
    ~CChart() override;
    CChart(const CChart&) = delete;
    CChart& operator=(const CChart&) = delete;

    // Makes the window over rect (in parent's client coordinates) with the
    // child id; WS_VISIBLE shows it. FALSE when it exists already or a child
    // has no parent.
    BOOL Create(DWORD style, const RECT& rect, QWidget* parent, UINT id);
    // The window goes (hidden, off its parent); curves, range and fonts stay.
    BOOL DestroyWindow();
    bool isCreated() const { return created_; }

    BOOL SetRange(double xMin, double xMax, double yMin, double yMax);
    void GetRange(double* xMin, double* xMax, double* yMin, double* yMax) const;
    void SetDivisions(int x, int y);
    // 0: axes at the bottom and left; 1: horizontal axis in the middle,
    // vertical at the left; 2: both through the middle. Others are ignored.
    void SetAxesMode(int mode);
    int GetAxesMode() const { return axesMode_; }
    void SetLogGrid(BOOL on);
    BOOL GetLogGrid() const { return (flags_ & LogGridOn) != 0 ? TRUE : FALSE; }
    void SetTitle(const std::string& title);
    void SetAxisNames(const std::string& x, const std::string& y);

    BOOL SetCurveCount(int n);
    int GetCurveCount() const { return curveCount_; }
    BOOL AllocCurves(int points);
    void FreeCurves();
    // The slot of index 0..59, null otherwise.
    CChartCurve* GetCurve(int index);
    // Stores the point clamped into the range; FALSE without allocated
    // curves or outside the capacity or the curve count.
    BOOL SetPoint(double x, double y, int point, int curve);
    void ClearPoints();
    int GetPointCapacity() const { return capacity_; }
    int GetLastPoint() const { return lastPoint_; }

    virtual void Redraw(BOOL erase);
    POINT DataToPoint(double x, double y) const;
    void CalcPlotArea();
    void CalcScale();
    void RenderToMemory(CDC* target);
    void DrawLogGrid(CDC* dc);
    // Draws the chart on a printer context with its top-left at (x, y),
    // scaled by the printer's resolution over the screen's.
    void Print(CDC* printer, int x, int y);

    UINT stateFlags() const { return flags_; }
    const RECT& chartRect() const { return chartRect_; }
    const RECT& innerRect() const { return innerRect_; }
    const RECT& plotArea() const { return plotArea_; }
    double xUnitsPerPixel() const { return xUnitsPerPixel_; }
    double yUnitsPerPixel() const { return yUnitsPerPixel_; }

protected:
    virtual void DrawCurves(CDC* dc);
    virtual void DrawBackground(CDC* dc);
    virtual void DrawTitle(CDC* dc);
    virtual void DrawGrid(CDC* dc);
    virtual void DrawAxes(CDC* dc);
    virtual void DrawAxisLabels(CDC* dc);
    virtual void CreateFonts();

    // paint is the client area's context.
    void OnPaint(CDC* paint);
    // cx and cy: the client area's new size.
    void OnSize(UINT type, int cx, int cy);

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    COLORREF bkColor_ = 0xFFFF00;
    COLORREF axisColor_ = 0x000000;
    COLORREF gridColor_ = 0x787878;
    UINT flags_ = RenderStatic;
    CBitmap memBitmap_;
    CBitmap* oldBitmap_ = nullptr;
    std::unique_ptr<CDC> memDC_;
    int curveCount_ = 1;
    RECT chartRect_;
    RECT innerRect_;
    RECT plotArea_;
    CChartCurve curves_[MaxCurves];
    std::string xCaption_ = "x";
    std::string yCaption_ = "y";
    std::string title_ = "Untitled Chart";
    std::unique_ptr<CFont> verticalFont_;
    std::unique_ptr<CFont> labelFont_;
    std::unique_ptr<CFont> titleFont_;
    int axesMode_ = 2;
    int capacity_ = 0;
    int lastPoint_ = 0;
    int xDivisions_ = 10;
    int yDivisions_ = 10;
    double xUnitsPerPixel_ = 0;
    double yUnitsPerPixel_ = 0;
    double xMin_ = -10;
    double xMax_ = 10;
    double yMin_ = -10;
    double yMax_ = 10;

private:
    friend class CSpectraScope; // sets the colours of its chart

    void deleteMemory();

    bool created_ = false;
    QSize handledClient_{-1, -1};
    std::vector<POINT> points_; // a curve's pixels, kept between paints
};

} // namespace glimra
