#pragma once
// CGradient: a list of colours with segment weights turned into bands of
// solid colour along one of four directions; fills a rectangle with them,
// rotated by an offset when asked, through a palette on palette devices.

#include "glimra/export.h"
#include "glimra/gdi.h"

#include <climits>
#include <initializer_list>
#include <vector>

namespace glimra {

// One band: its colour and its width in pixels.
struct CGradElement {
    COLORREF color = 0;
    int width = 0;
    friend bool operator==(const CGradElement&, const CGradElement&) = default;
};
using CGradArray = std::vector<CGradElement>;

class GLIMRA_EXPORT CGradient {
public:
    // Directions.
    static constexpr int LeftToRight = 0;
    static constexpr int RightToLeft = 1;
    static constexpr int TopToBottom = 2;
    static constexpr int BottomToTop = 3;
    // "No limit" of the number of colours.
    static constexpr unsigned NoColorLimit = UINT_MAX;

    CGradient();
    virtual ~CGradient();
    CGradient(const CGradient&) = default;
    CGradient& operator=(const CGradient&) = default;

    // Fills the band from..to (-1: the extent along the direction) of rect
    // with the gradient rotated by shift.
    virtual void Draw(CDC* dc, RECT rect, int from, int to = -1, int shift = 0);
    virtual void FillShifted(CGradArray& bands, int shift, int length, int from, int to,
                             unsigned mostColors = NoColorLimit);
    virtual void Fill(CGradArray& bands, int length, int from, int to = -1,
                      unsigned mostColors = NoColorLimit);
    virtual void FillLinear(CGradArray& bands, COLORREF a, COLORREF b, int length, int from,
                            int to = -1, unsigned mostColors = NoColorLimit);

    // Replaces the colours (count of them, at least 2; otherwise nothing
    // changes) and gives every segment the same weight. The counted form
    // takes at least two colours, so that two integer literals choose the
    // two-colour form rather than a count.
    template <typename... Colors>
        requires(sizeof...(Colors) >= 1)
    void SetColors(int count, COLORREF first, Colors... rest) {
        SetColorList(count, {first, static_cast<COLORREF>(rest)...});
    }
    void SetColors(COLORREF start, COLORREF end) { SetColorList(2, {start, end}); }
    void SetColorList(int count, std::initializer_list<COLORREF> colors);
    // Appends a colour and a segment; the colour count.
    int AddColor(COLORREF color);
    // Replaces the segment weights (one a segment) and normalises them.
    template <typename... Stops> void SetStops(double first, Stops... rest) {
        SetStopList({first, static_cast<double>(rest)...});
    }
    void SetStopList(std::initializer_list<double> stops);
    void NormalizeStops();
    // The first and second colour (the first again when only one); both
    // CLR_INVALID when there is none.
    void GetEndColors(COLORREF* start, COLORREF* end) const;
    const std::vector<COLORREF>& GetColorArray() const { return colors_; }
    const std::vector<double>& GetStops() const { return stops_; }

    void SetDirection(int direction) { direction_ = direction; }
    int GetDirection() const { return direction_; }
    // Values below 1.0 become 1.0.
    void SetGradientScale(float scale) { scale_ = scale < 1.0f ? 1.0f : scale; }
    float GetGradientScale() const { return scale_; }
    void SetUsePalette(int use) { usePalette_ = use; }
    int GetUsePalette() const { return usePalette_; }
    void CreatePalette();
    CPalette* GetPalette();

    // The part of rect from..to (-1: the extent) along the direction, over
    // the full other dimension.
    RECT GetBandRect(RECT rect, int from, int to) const;

private:
    std::vector<COLORREF> colors_;
    int usePalette_ = 0;
    CPalette palette_;
    std::vector<double> stops_;
    int direction_ = LeftToRight;
    float scale_ = 1.0f;
};

} // namespace glimra
