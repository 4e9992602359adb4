#include "platform/qt/message_window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <atomic>
#include <mutex>

namespace platform::qt {
namespace {

// Messages delivered per wake-up before other events get their turn.
constexpr int kBatch = 64;

QEvent::Type wakeType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

// Shared with the poster's notifier. At most one wake-up event is pending at a
// time, so a burst of posts costs one event.
struct MessageWindow::Wake {
    std::mutex mutex;
    QObject* target = nullptr; // guarded by mutex; null once the window goes
    std::atomic<bool> pending{false};

    void post() {
        std::lock_guard lock(mutex);
        if (target != nullptr && !pending.exchange(true)) {
            QCoreApplication::postEvent(target, new QEvent(wakeType()));
        }
    }
};

MessageWindow::MessageWindow(QObject* parent) : QObject(parent), wake_(std::make_shared<Wake>()) {
    wake_->target = this;
    hwnd_ = registerWindow([wake = wake_] { wake->post(); });
}

MessageWindow::~MessageWindow() {
    {
        std::lock_guard lock(wake_->mutex);
        wake_->target = nullptr;
    }
    if (hwnd_ != 0) {
        unregisterWindow(hwnd_);
    }
}

bool MessageWindow::event(QEvent* e) {
    {
        // Pairs with the lock around the post: Qt hands the event over with
        // locks that thread checkers do not see.
        std::lock_guard lock(wake_->mutex);
    }
    if (e->type() != wakeType()) {
        return QObject::event(e);
    }
    // Cleared before draining: a post that comes in meanwhile wakes us again.
    wake_->pending = false;
    QPointer<MessageWindow> self(this);
    Message m;
    for (int i = 0; i < kBatch; ++i) {
        if (!peekMessage(m, hwnd_)) {
            return true;
        }
        emit messageReceived(m.message, m.wParam, m.lParam);
        if (!self) {
            return true; // a receiver deleted the window
        }
    }
    if (peekMessage(m, hwnd_, false)) {
        wake_->post();
    }
    return true;
}

} // namespace platform::qt

#include "platform/qt/moc_message_window.cpp"
