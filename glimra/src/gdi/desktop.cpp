// The desktop's answers through Qt.

#include "glimra/desktop.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QUrl>

namespace glimra {

namespace {
platform::CurrentInstance<DesktopSource, QtDesktop>& current() {
    static platform::CurrentInstance<DesktopSource, QtDesktop> instance;
    return instance;
}
} // namespace

QPoint QtDesktop::cursorPos() {
    return QCursor::pos();
}

bool QtDesktop::isKeyDown(int virtualKey) {
    const Qt::MouseButtons buttons = QGuiApplication::mouseButtons();
    switch (virtualKey) {
    case VK_LBUTTON:
        return (buttons & Qt::LeftButton) != 0;
    case VK_RBUTTON:
        return (buttons & Qt::RightButton) != 0;
    default:
        // Qt tells only the modifiers outside key events.
        return false;
    }
}

QWidget* QtDesktop::focusWindow() {
    return QApplication::focusWidget();
}

bool QtDesktop::shellOpen(const std::string& target) {
    return QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromStdString(target)));
}

std::shared_ptr<DesktopSource> setDesktopSource(std::shared_ptr<DesktopSource> source) {
    return current().set(std::move(source));
}

std::shared_ptr<DesktopSource> desktopSource() {
    return current().get();
}

} // namespace glimra
