#pragma once
// Gives a Qt object a window handle of the platform message layer: messages
// posted to hwnd() from any thread arrive on the object's thread, in the
// order they were posted, as the signal messageReceived.

#include "platform/messages.h"

#include <QObject>
#include <memory>

namespace platform::qt {

class MessageWindow : public QObject {
    Q_OBJECT
public:
    explicit MessageWindow(QObject* parent = nullptr);
    // Drops the handle and the messages not yet delivered.
    ~MessageWindow() override;

    // 0 when no window handle was free.
    Hwnd hwnd() const { return hwnd_; }

signals:
    void messageReceived(quint32 message, quintptr wParam, qintptr lParam);

protected:
    bool event(QEvent* e) override;

private:
    struct Wake;
    std::shared_ptr<Wake> wake_;
    Hwnd hwnd_ = 0;
};

} // namespace platform::qt
