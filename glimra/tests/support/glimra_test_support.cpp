#include "glimra_test_support.h"

#include "glimra/library.h"
#include "glimra/syscolors.h"

#include <QApplication>
#include <QDir>
#include <QWidget>

#include <memory>

namespace glimra::test {

namespace {
std::unique_ptr<QApplication> application;
} // namespace

void startApplication() {
    if (QApplication::instance() != nullptr) {
        return;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "glimra_test";
    static char* argv[] = {name, nullptr};
    application = std::make_unique<QApplication>(argc, argv);
}

void endApplication() {
    application.reset();
}

void WithLibrary::SetUpTestSuite() {
    startApplication();
    InitGuiLibrary();
}

void savePicture(const QImage& image, const std::string& name) {
#ifdef GLIMRA_PICTURE_DIR
    QDir().mkpath(QStringLiteral(GLIMRA_PICTURE_DIR));
    image.save(QStringLiteral(GLIMRA_PICTURE_DIR "/") + QString::fromStdString(name) + ".png");
#else
    (void)image;
    (void)name;
#endif
}

QImage grabWidget(QWidget* widget, const std::string& name) {
    const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    savePicture(image, name);
    return image;
}

QImage blankImage(int width, int height, COLORREF fill) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(toQColor(fill));
    return image;
}

COLORREF pixel(const QImage& image, int x, int y) {
    return toColorRef(QColor(image.pixel(x, y)));
}

void fillButtonFace(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, toQColor(GetSysColor(COLOR_BTNFACE)));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace glimra::test
