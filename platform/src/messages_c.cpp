// The C view of the message queues.

#include "platform/messages_c.h"

#include "platform/messages.h"

extern "C" uint32_t veldonRegisterThreadQueue(void) {
    return platform::registerThreadQueue();
}

extern "C" int veldonUnregisterThreadQueue(void) {
    return platform::unregisterThreadQueue() ? 1 : 0;
}

extern "C" uint32_t veldonRegisterWindow(void) {
    return platform::registerWindow();
}

extern "C" int veldonUnregisterWindow(uint32_t hwnd) {
    return platform::unregisterWindow(hwnd) ? 1 : 0;
}

extern "C" int veldonGetMessage(VeldonMessage* out, uint32_t hwnd, uint32_t timeoutMs) {
    platform::Message message;
    switch (platform::getMessage(message, hwnd, timeoutMs)) {
    case platform::GetMessageResult::Message:
    case platform::GetMessageResult::Quit:
        if (out != nullptr) {
            out->hwnd = message.hwnd;
            out->message = message.message;
            out->wParam = message.wParam;
            out->lParam = message.lParam;
        }
        return message.message == platform::WM_QUIT ? VELDON_QUIT : VELDON_MESSAGE;
    case platform::GetMessageResult::Timeout:
        return VELDON_TIMEOUT;
    case platform::GetMessageResult::Invalid:
        break;
    }
    return VELDON_INVALID;
}
