#pragma once
// Shared by the library's tests: the application, pictures of what was drawn,
// and pixel look-ups in the library's colour order.

#include "glimra/types.h"

#include <QImage>

#include <string>

class QWidget;

namespace glimra::test {

// Started once per suite, on the offscreen platform unless the environment
// names one.
void startApplication();
void endApplication();

// Keeps a picture among the test outputs (build/<flavour>/glimra-pictures).
void savePicture(const QImage& image, const std::string& name);
// The widget as it paints itself, kept as a picture too.
QImage grabWidget(QWidget* widget, const std::string& name);

// A white image of the size, in the format the drawing layer uses.
QImage blankImage(int width, int height, COLORREF fill = 0xFFFFFF);
COLORREF pixel(const QImage& image, int x, int y);

} // namespace glimra::test
