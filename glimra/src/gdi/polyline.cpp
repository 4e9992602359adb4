// Connected lines, drawn in one pass where the surface allows it: a chart
// draws tens of thousands of them at every paint.

#include "glimra/gdi.h"

#include <cstdlib>
#include <vector>

namespace glimra {

BOOL CDC::PolylineTo(const POINT* points, int count) {
    if (points == nullptr || count < 1) {
        return FALSE;
    }
    std::vector<QPoint> device;
    device.reserve(static_cast<size_t>(count) + 1);
    device.push_back(toDevice(state_.position.x, state_.position.y));
    for (int i = 0; i < count; ++i) {
        device.push_back(toDevice(points[i].x, points[i].y));
    }
    state_.position = points[count - 1];
    const int n = static_cast<int>(device.size());
    // What is recorded goes the ordinary way, line by line.
    if (recorder_ != nullptr || !thinLinesOnImage(device.data(), n)) {
        for (int i = 1; i < n; ++i) {
            lineDevice(device[static_cast<size_t>(i - 1)], device[static_cast<size_t>(i)]);
        }
    }
    return TRUE;
}

// The pixels LineTo's thin solid pen sets, written straight into the image:
// the same steps, without a painter per line. False when the surface or the
// pen needs the ordinary way.
bool CDC::thinLinesOnImage(const QPoint* points, int count) {
    const CPen& pen = state_.penValue;
    QImage* image = surfaceImage();
    if (painter_ != nullptr || image == nullptr || image->isNull() ||
        (bitmap_ != nullptr && bitmap_->isMonochrome()) || pen.width() > 1) {
        return false;
    }
    const QImage::Format format = image->format();
    if (format != QImage::Format_ARGB32_Premultiplied && format != QImage::Format_RGB32 &&
        format != QImage::Format_ARGB32) {
        return false;
    }
    if (pen.style() == PS_NULL) {
        return true;
    }
    if (pen.style() != PS_SOLID) {
        return false;
    }
    QRect bounds = image->rect();
    if (state_.clipped) {
        if (state_.clip.rectCount() > 1) {
            return false;
        }
        bounds = bounds.intersected(state_.clip.boundingRect());
    }
    if (bounds.isEmpty()) {
        return true;
    }
    const QRgb color =
        qRgb(GetRValue(pen.color()), GetGValue(pen.color()), GetBValue(pen.color()));
    uchar* bits = image->bits();
    const qsizetype stride = image->bytesPerLine();
    const int left = bounds.left();
    const int right = bounds.right();
    const int top = bounds.top();
    const int bottom = bounds.bottom();
    for (int i = 1; i < count; ++i) {
        const QPoint a = points[i - 1];
        const QPoint b = points[i];
        // A line wholly beside the surface sets nothing.
        if ((a.x() < left && b.x() < left) || (a.x() > right && b.x() > right) ||
            (a.y() < top && b.y() < top) || (a.y() > bottom && b.y() > bottom)) {
            continue;
        }
        const int dx = std::abs(b.x() - a.x());
        const int dy = -std::abs(b.y() - a.y());
        const int sx = a.x() < b.x() ? 1 : -1;
        const int sy = a.y() < b.y() ? 1 : -1;
        int err = dx + dy;
        int x = a.x();
        int y = a.y();
        while (x != b.x() || y != b.y()) {
            if (x >= left && x <= right && y >= top && y <= bottom) {
                reinterpret_cast<QRgb*>(bits + y * stride)[x] = color;
            }
            const int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y += sy;
            }
        }
    }
    return true;
}

} // namespace glimra
