#include "pa/patype.h"

#include "pa/forms.h"
#include "pa/sysutils.h"

namespace pa {

TThreadPa::TThreadPa(TCallback callback, TNotifyEvent onTerminate, std::int32_t tag,
                     bool freeOnTerminate)
    : callback_(std::move(callback)), tag_(tag) {
    setOnTerminate(std::move(onTerminate));
    setFreeOnTerminate(freeOnTerminate);
}

TThreadPa::~TThreadPa() {
    stopThread();
}

void TThreadPa::Execute() {
    if (!callback_) {
        return;
    }
    try {
        callback_(this);
    } catch (const Exception& e) {
        std::string text = e.message();
        if (!text.empty() && text.back() != '.') {
            text += '.';
        }
        // The box belongs to the GUI thread; the worker waits until it is
        // answered.
        applicationMessageBox(text, "Error in thread", kMbIconError);
    }
}

TThreadPa* createThread(TThreadPa::TCallback callback, TThread::TNotifyEvent onTerminate,
                        std::int32_t tag, bool freeOnTerminate) {
    return new TThreadPa(std::move(callback), std::move(onTerminate), tag, freeOnTerminate);
}

TThreadPa* startThread(TThreadPa::TCallback callback, TThread::TNotifyEvent onTerminate,
                       std::int32_t tag, bool freeOnTerminate) {
    TThreadPa* thread =
        createThread(std::move(callback), std::move(onTerminate), tag, freeOnTerminate);
    thread->resume();
    return thread;
}

TFileInfo::TFileInfo() : TFileInfo(platform::currentExecutablePath()) {}

TFileInfo::TFileInfo(const std::string& modulePath) {
    if (!modulePath.empty()) {
        info_ = platform::readVersionInfo(modulePath);
    }
}

std::string TFileInfo::getValue(const std::string& key) const {
    return info_ ? info_->value(key) : std::string();
}

} // namespace pa
