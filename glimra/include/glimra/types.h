#pragma once
// Value types of the drawing layer, as the classes rely on them: a colour in
// 0x00BBGGRR byte order, rectangles whose right and bottom edges lie outside
// (unlike QRect::right()), points, sizes and a font description, with
// converters to Qt's types.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <cstdint>

namespace glimra {

using BOOL = int;
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using UINT = unsigned int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// 0x00BBGGRR; the high byte carries flags (0x02000000 palette-relative) or
// marks a sentinel (0xFFFFFFFF none, 0xFF000000 default).
using COLORREF = std::uint32_t;
inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;
inline constexpr COLORREF CLR_NONE = 0xFFFFFFFFu;
inline constexpr COLORREF CLR_DEFAULT = 0xFF000000u;

constexpr COLORREF RGB(int r, int g, int b) {
    return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int GetRValue(COLORREF c) {
    return static_cast<int>(c & 0xFF);
}
constexpr int GetGValue(COLORREF c) {
    return static_cast<int>((c >> 8) & 0xFF);
}
constexpr int GetBValue(COLORREF c) {
    return static_cast<int>((c >> 16) & 0xFF);
}
constexpr COLORREF PALETTERGB(int r, int g, int b) {
    return 0x02000000u | RGB(r, g, b);
}

constexpr WORD LOWORD(DWORD v) {
    return static_cast<WORD>(v & 0xFFFF);
}
constexpr WORD HIWORD(DWORD v) {
    return static_cast<WORD>((v >> 16) & 0xFFFF);
}
constexpr DWORD MAKELONG(int low, int high) {
    return (static_cast<DWORD>(low) & 0xFFFF) | ((static_cast<DWORD>(high) & 0xFFFF) << 16);
}

struct POINT {
    LONG x = 0;
    LONG y = 0;
    friend bool operator==(const POINT&, const POINT&) = default;
};

struct SIZE {
    LONG cx = 0;
    LONG cy = 0;
    friend bool operator==(const SIZE&, const SIZE&) = default;
};

// Right and bottom are the first column and row outside.
struct RECT {
    LONG left = 0;
    LONG top = 0;
    LONG right = 0;
    LONG bottom = 0;

    LONG width() const { return right - left; }
    LONG height() const { return bottom - top; }
    bool isEmpty() const { return right <= left || bottom <= top; }
    void offset(LONG dx, LONG dy) {
        left += dx;
        right += dx;
        top += dy;
        bottom += dy;
    }
    friend bool operator==(const RECT&, const RECT&) = default;
};

// The platform's point-in-rectangle rule: left and top inside, right and
// bottom outside.
inline bool PtInRect(const RECT& r, POINT p) {
    return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom;
}

inline constexpr int LF_FACESIZE = 32;

// A font description. Height < 0 is a character height in pixels, > 0 a cell
// height, 0 the default; escapement in tenths of degrees, counter-clockwise.
struct LOGFONTA {
    LONG lfHeight = 0;
    LONG lfWidth = 0;
    LONG lfEscapement = 0;
    LONG lfOrientation = 0;
    LONG lfWeight = 0;
    BYTE lfItalic = 0;
    BYTE lfUnderline = 0;
    BYTE lfStrikeOut = 0;
    BYTE lfCharSet = 0;
    BYTE lfOutPrecision = 0;
    BYTE lfClipPrecision = 0;
    BYTE lfQuality = 0;
    BYTE lfPitchAndFamily = 0;
    char lfFaceName[LF_FACESIZE] = {};
};
using LOGFONT = LOGFONTA;

// A time stamp, as the logbook keeps it.
struct SYSTEMTIME {
    WORD wYear = 0;
    WORD wMonth = 0;
    WORD wDayOfWeek = 0;
    WORD wDay = 0;
    WORD wHour = 0;
    WORD wMinute = 0;
    WORD wSecond = 0;
    WORD wMilliseconds = 0;
};

inline QRect toQRect(const RECT& r) {
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}
inline RECT toRect(const QRect& r) {
    return {r.x(), r.y(), r.x() + r.width(), r.y() + r.height()};
}
inline QPoint toQPoint(POINT p) {
    return {p.x, p.y};
}
inline POINT toPoint(const QPoint& p) {
    return {p.x(), p.y()};
}
inline QSize toQSize(SIZE s) {
    return {s.cx, s.cy};
}
inline SIZE toSize(const QSize& s) {
    return {s.width(), s.height()};
}
// Flags in the high byte are dropped.
inline QColor toQColor(COLORREF c) {
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}
inline COLORREF toColorRef(const QColor& c) {
    return RGB(c.red(), c.green(), c.blue());
}

// a * b / c rounded half away from zero; -1 when c is 0 or the result does
// not fit.
inline int MulDiv(int a, int b, int c) {
    if (c == 0) {
        return -1;
    }
    const long long p = static_cast<long long>(a) * b;
    const long long ap = p < 0 ? -p : p;
    const long long ac = c < 0 ? -static_cast<long long>(c) : c;
    const long long m = (ap + ac / 2) / ac;
    const long long q = ((p < 0) != (c < 0)) ? -m : m;
    if (q > 0x7FFFFFFFLL || q < -0x80000000LL) {
        return -1;
    }
    return static_cast<int>(q);
}

} // namespace glimra
