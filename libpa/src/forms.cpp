#include "pa/forms.h"

#include "pa/classes.h"

#include <QApplication>
#include <QMessageBox>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

namespace pa {

namespace {

std::mutex gFormsMutex;
TMessageBoxHandler gMessageBoxHandler;
std::map<std::string, std::vector<std::string>> gPalette;

int defaultMessageBox(const std::string& text, const std::string& caption, int flags) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        switch (flags & 0xF0) {
        case kMbIconError:
            icon = QMessageBox::Critical;
            break;
        case kMbIconQuestion:
            icon = QMessageBox::Question;
            break;
        case kMbIconWarning:
            icon = QMessageBox::Warning;
            break;
        case kMbIconInformation:
            icon = QMessageBox::Information;
            break;
        default:
            break;
        }
        QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Ok, QApplication::activeWindow());
        box.exec();
        return kIdOk;
    }
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return kIdOk;
}

} // namespace

int applicationMessageBox(const std::string& text, const std::string& caption, int flags) {
    int answer = kIdOk;
    TThread::synchronize(nullptr, [&] {
        TMessageBoxHandler handler;
        {
            std::lock_guard lock(gFormsMutex);
            handler = gMessageBoxHandler;
        }
        answer = handler ? handler(text, caption, flags) : defaultMessageBox(text, caption, flags);
    });
    return answer;
}

TMessageBoxHandler setMessageBoxHandler(TMessageBoxHandler handler) {
    std::lock_guard lock(gFormsMutex);
    return std::exchange(gMessageBoxHandler, std::move(handler));
}

void registerComponents(const std::string& page, std::initializer_list<const char*> classNames) {
    std::lock_guard lock(gFormsMutex);
    auto& list = gPalette[page];
    for (const char* name : classNames) {
        if (std::find(list.begin(), list.end(), name) == list.end()) {
            list.emplace_back(name);
        }
    }
}

std::vector<std::string> paletteComponents(const std::string& page) {
    std::lock_guard lock(gFormsMutex);
    const auto it = gPalette.find(page);
    return it == gPalette.end() ? std::vector<std::string>{} : it->second;
}

} // namespace pa
