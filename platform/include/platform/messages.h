#pragma once
// Posted messages between threads and components: 32-bit window handles and
// thread ids that a client registers, each with a bounded queue.
//
// A window registered with registerWindow has a queue of its own, read by
// whoever owns the handle (a Qt object through the adapter, a worker).
// A thread that registers its queue receives thread messages in it, and the
// windows it registers with registerThreadWindow share that queue, so that one
// loop on that thread sees both (hwnd tells them apart; 0 = thread message).
//
// Failures return false or 0 and leave the reason in the last platform error
// of the calling thread (last_error.h): EBADF unknown or stale window, ESRCH no queue
// for the thread, ENOBUFS queue full, EMFILE no free window handle, EINVAL a
// bad argument, ENOSPC no free message id.
//
// No lock of this layer is held while client code (a post notifier) runs.

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

using Hwnd = uint32_t;
using WParam = uintptr_t;
using LParam = intptr_t;

// Asks a message loop to end; getMessage reports it as GetMessageResult::Quit.
inline constexpr uint32_t WM_QUIT = 0x0012;

// Messages a queue holds before posts to it fail.
inline constexpr size_t kMessageQueueLimit = 10000;

struct Message {
    Hwnd hwnd = 0; // 0 for a thread message
    uint32_t message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
};

enum class GetMessageResult {
    Message, // a message other than WM_QUIT was taken
    Quit,    // WM_QUIT was taken
    Timeout, // nothing arrived in time
    Invalid  // unknown window, or no queue (errno tells which)
};

// Runs on the posting thread after a message was queued, with no lock of this
// layer held; it should only wake the reader (for instance post a Qt event).
using PostNotifier = std::function<void()>;

// A window with a queue of its own; 0 when no handle is free (EMFILE).
Hwnd registerWindow(PostNotifier notify = {});

// A window of the calling thread whose messages go to the thread's queue
// (registered on the way when the thread has none); 0 when no handle is free.
// It goes away with the thread's queue.
Hwnd registerThreadWindow();

// Drops the window and every message still queued for it, and wakes whoever
// waits on it. Once this returns no notifier of the window runs any more
// (except the one that called it). False for an unknown handle (EBADF).
bool unregisterWindow(Hwnd hwnd);

bool isWindow(Hwnd hwnd);

// Registers the calling thread's queue and returns the thread's id
// (currentThreadId() of thread.h), the value that postThreadMessage takes. A second call returns
// the same id and keeps the first notifier. The queue goes away with unregisterThreadQueue or at
// the end of the thread, together with the windows of the thread.
uint32_t registerThreadQueue(PostNotifier notify = {});
bool unregisterThreadQueue();

// Queue a message and return at once; false when the target is unknown
// (EBADF / ESRCH) or its queue is full (ENOBUFS).
bool postMessage(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam);
bool postThreadMessage(uint32_t threadId, uint32_t message, WParam wParam, LParam lParam);

// Takes the oldest message of a window (hwnd != 0) or of the calling thread's
// queue (hwnd 0: thread messages and messages of the thread's windows),
// waiting up to timeoutMs on the current clock (kInfinite: no limit; 0: no
// wait). A wait ends early when the window goes away; a thread's loop is
// ended by posting WM_QUIT to it.
GetMessageResult getMessage(Message& out, Hwnd hwnd = 0, uint32_t timeoutMs = kInfinite);

// Like getMessage without waiting; false when nothing is queued or the target
// is unknown. With remove false the message stays queued.
bool peekMessage(Message& out, Hwnd hwnd = 0, bool remove = true);

// The process-wide id of a message name in 0xC000..0xFFFF: the same for every
// spelling of the name that differs only in the case of ASCII letters. 0 for
// an empty name or one longer than 255 characters (EINVAL), or when every id
// is taken (ENOSPC).
uint32_t registerWindowMessage(const std::string& name);

} // namespace platform
