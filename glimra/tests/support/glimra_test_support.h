#pragma once
// Shared by the library's tests: the application, pictures of what was drawn,
// and pixel look-ups in the library's colour order.

#include "glimra/types.h"

#include <QImage>

#include <gtest/gtest.h>

#include <string>

class QWidget;

namespace glimra::test {

// Started once per suite, on the offscreen platform unless the environment
// names one.
void startApplication();
void endApplication();

// A suite of widget tests: the application starts before its first test and
// ends with the suite, not at the program's exit.
class WithApplication : public ::testing::Test {
protected:
    static void SetUpTestSuite() { startApplication(); }
    static void TearDownTestSuite() { endApplication(); }
};

// The same with the library initialised, as a client program starts it.
class WithLibrary : public WithApplication {
protected:
    static void SetUpTestSuite();
};

// Keeps a picture among the test outputs (build/<flavour>/glimra-pictures).
void savePicture(const QImage& image, const std::string& name);
// The widget as it paints itself, kept as a picture too.
QImage grabWidget(QWidget* widget, const std::string& name);

// A white image of the size, in the format the drawing layer uses.
QImage blankImage(int width, int height, COLORREF fill = 0xFFFFFF);
COLORREF pixel(const QImage& image, int x, int y);

// Gives the widget the button face background a dialog has.
void fillButtonFace(QWidget* widget);

} // namespace glimra::test
