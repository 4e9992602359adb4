#include "platform/messages.h"

#include "platform/handle_table.h"
#include "platform/last_error.h"
#include "platform/thread.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

struct Queue {
    explicit Queue(PostNotifier n) : notify(std::move(n)) {}

    const PostNotifier notify;
    std::mutex mutex;
    std::condition_variable changed;       // a message arrived, or the target went away
    std::condition_variable notifiersDone; // notifying dropped
    std::deque<Message> messages;
    bool closed = false;
    int notifying = 0;         // notifiers running right now
    std::vector<Hwnd> windows; // thread windows that share this queue
};

struct Window {
    Window(std::shared_ptr<Queue> q, bool own) : queue(std::move(q)), ownQueue(own) {}
    const std::shared_ptr<Queue> queue;
    const bool ownQueue;
    bool alive = true; // guarded by queue->mutex
};

struct Registry {
    HandleTable<std::shared_ptr<Window>> windows;
    std::mutex threadsMutex;
    std::unordered_map<uint32_t, std::shared_ptr<Queue>> threads;
    std::mutex namesMutex;
    std::map<std::string, uint32_t> names;
    uint32_t nextName = 0xC000;
};

Registry& registry() {
    // Never destroyed, so that threads ending during process exit can still
    // drop their queues.
    static Registry* const instance = new Registry;
    return *instance;
}

// The queue of the calling thread; released when the thread ends.
struct ThreadRegistration {
    uint32_t id = 0;
    std::shared_ptr<Queue> queue;
    ~ThreadRegistration();
};
thread_local ThreadRegistration tlsThread;

// Queues whose notifier runs on this thread, so that an unregister called from
// inside a notifier does not wait for itself.
thread_local std::vector<const Queue*> tlsNotifying;

void waitForNotifiers(Queue& q) {
    const auto own = std::count(tlsNotifying.begin(), tlsNotifying.end(), &q);
    std::unique_lock lock(q.mutex);
    q.notifiersDone.wait(lock, [&] { return q.notifying <= own; });
}

void runNotifier(Queue& q) {
    struct Done {
        Queue& q;
        bool pushed = false;
        ~Done() {
            if (pushed) {
                tlsNotifying.pop_back();
            }
            std::lock_guard lock(q.mutex);
            if (--q.notifying == 0) {
                q.notifiersDone.notify_all();
            }
        }
    } done{q};
    tlsNotifying.push_back(&q);
    done.pushed = true;
    q.notify();
}

bool enqueue(Queue& q, const Window* window, const Message& message, int goneError) {
    {
        std::lock_guard lock(q.mutex);
        if (q.closed || (window != nullptr && !window->alive)) {
            setLastError(goneError);
            return false;
        }
        if (q.messages.size() >= kMessageQueueLimit) {
            setLastError(ENOBUFS);
            return false;
        }
        q.messages.push_back(message);
        if (q.notify) {
            ++q.notifying;
        }
    }
    q.changed.notify_all();
    if (q.notify) {
        runNotifier(q);
    }
    return true;
}

std::shared_ptr<Window> findWindow(Hwnd hwnd) {
    if (hwnd == 0) {
        return nullptr;
    }
    auto found = registry().windows.get(hwnd);
    return found ? std::move(*found) : nullptr;
}

// The queue a read of hwnd takes from, and the window when hwnd is not 0.
bool resolve(Hwnd hwnd, std::shared_ptr<Queue>& queue, std::shared_ptr<Window>& window) {
    if (hwnd == 0) {
        if (!tlsThread.queue) {
            setLastError(ESRCH);
            return false;
        }
        queue = tlsThread.queue;
        return true;
    }
    window = findWindow(hwnd);
    if (!window) {
        setLastError(EBADF);
        return false;
    }
    queue = window->queue;
    return true;
}

// Called with q.mutex held.
bool gone(const Queue& q, const Window* window) {
    if (q.closed || (window != nullptr && !window->alive)) {
        setLastError(window != nullptr ? EBADF : ESRCH);
        return true;
    }
    return false;
}

// Called with q.mutex held. A window that shares its thread's queue sees only
// its own messages.
bool take(Queue& q, Hwnd hwnd, bool remove, Message& out) {
    auto it = hwnd == 0 ? q.messages.begin()
                        : std::find_if(q.messages.begin(), q.messages.end(),
                                       [hwnd](const Message& m) { return m.hwnd == hwnd; });
    if (it == q.messages.end()) {
        return false;
    }
    out = *it;
    if (remove) {
        q.messages.erase(it);
    }
    return true;
}

void closeThreadQueue(ThreadRegistration& reg) {
    std::shared_ptr<Queue> q = std::move(reg.queue);
    Registry& r = registry();
    {
        std::lock_guard lock(r.threadsMutex);
        auto it = r.threads.find(reg.id);
        if (it != r.threads.end() && it->second == q) {
            r.threads.erase(it);
        }
    }
    reg.id = 0;
    std::vector<Hwnd> windows;
    {
        std::lock_guard lock(q->mutex);
        q->closed = true;
        q->messages.clear();
        windows.swap(q->windows);
    }
    q->changed.notify_all();
    for (Hwnd hwnd : windows) {
        if (auto window = r.windows.remove(hwnd)) {
            std::lock_guard lock(q->mutex);
            (*window)->alive = false;
        }
    }
    waitForNotifiers(*q);
}

ThreadRegistration::~ThreadRegistration() {
    if (queue) {
        closeThreadQueue(*this);
    }
}

} // namespace

Hwnd registerWindow(PostNotifier notify) {
    auto window = std::make_shared<Window>(std::make_shared<Queue>(std::move(notify)), true);
    const Hwnd hwnd = registry().windows.insert(std::move(window));
    if (hwnd == 0) {
        setLastError(EMFILE);
    }
    return hwnd;
}

Hwnd registerThreadWindow() {
    if (registerThreadQueue() == 0) {
        return 0;
    }
    const std::shared_ptr<Queue> q = tlsThread.queue;
    const Hwnd hwnd = registry().windows.insert(std::make_shared<Window>(q, false));
    if (hwnd == 0) {
        setLastError(EMFILE);
        return 0;
    }
    std::lock_guard lock(q->mutex);
    q->windows.push_back(hwnd);
    return hwnd;
}

bool unregisterWindow(Hwnd hwnd) {
    auto removed = hwnd == 0 ? std::nullopt : registry().windows.remove(hwnd);
    if (!removed) {
        setLastError(EBADF);
        return false;
    }
    const std::shared_ptr<Window> window = std::move(*removed);
    Queue& q = *window->queue;
    std::deque<Message> dropped;
    {
        std::lock_guard lock(q.mutex);
        window->alive = false;
        if (window->ownQueue) {
            q.closed = true;
            dropped.swap(q.messages);
        } else {
            std::erase_if(q.messages, [hwnd](const Message& m) { return m.hwnd == hwnd; });
            std::erase(q.windows, hwnd);
        }
    }
    q.changed.notify_all();
    if (window->ownQueue) {
        waitForNotifiers(q);
    }
    return true;
}

bool isWindow(Hwnd hwnd) {
    const auto window = findWindow(hwnd);
    if (!window) {
        return false;
    }
    std::lock_guard lock(window->queue->mutex);
    return window->alive && !window->queue->closed;
}

uint32_t registerThreadQueue(PostNotifier notify) {
    if (tlsThread.queue) {
        return tlsThread.id;
    }
    const uint32_t id = currentThreadId();
    auto q = std::make_shared<Queue>(std::move(notify));
    {
        Registry& r = registry();
        std::lock_guard lock(r.threadsMutex);
        r.threads[id] = q;
    }
    tlsThread.id = id;
    tlsThread.queue = std::move(q);
    return id;
}

bool unregisterThreadQueue() {
    if (!tlsThread.queue) {
        setLastError(ESRCH);
        return false;
    }
    closeThreadQueue(tlsThread);
    return true;
}

bool postMessage(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam) {
    const auto window = findWindow(hwnd);
    if (!window) {
        setLastError(EBADF);
        return false;
    }
    return enqueue(*window->queue, window.get(), Message{hwnd, message, wParam, lParam}, EBADF);
}

bool postThreadMessage(uint32_t threadId, uint32_t message, WParam wParam, LParam lParam) {
    std::shared_ptr<Queue> q;
    {
        Registry& r = registry();
        std::lock_guard lock(r.threadsMutex);
        auto it = r.threads.find(threadId);
        if (it != r.threads.end()) {
            q = it->second;
        }
    }
    if (!q) {
        setLastError(ESRCH);
        return false;
    }
    return enqueue(*q, nullptr, Message{0, message, wParam, lParam}, ESRCH);
}

GetMessageResult getMessage(Message& out, Hwnd hwnd, uint32_t timeoutMs) {
    std::shared_ptr<Queue> q;
    std::shared_ptr<Window> window;
    if (!resolve(hwnd, q, window)) {
        return GetMessageResult::Invalid;
    }
    Clock& clock = platform::clock();
    const TimePoint deadline = deadlineAfterMs(clock, timeoutMs);
    std::unique_lock lock(q->mutex);
    for (bool expired = false;;) {
        if (gone(*q, window.get())) {
            return GetMessageResult::Invalid;
        }
        if (take(*q, hwnd, true, out)) {
            return out.message == WM_QUIT ? GetMessageResult::Quit : GetMessageResult::Message;
        }
        if (expired) {
            return GetMessageResult::Timeout;
        }
        expired = clock.waitUntil(q->changed, lock, deadline) == std::cv_status::timeout;
    }
}

bool peekMessage(Message& out, Hwnd hwnd, bool remove) {
    std::shared_ptr<Queue> q;
    std::shared_ptr<Window> window;
    if (!resolve(hwnd, q, window)) {
        return false;
    }
    std::lock_guard lock(q->mutex);
    return !gone(*q, window.get()) && take(*q, hwnd, remove, out);
}

uint32_t registerWindowMessage(const std::string& name) {
    if (name.empty() || name.size() > 255) {
        setLastError(EINVAL);
        return 0;
    }
    std::string key = name;
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    Registry& r = registry();
    std::lock_guard lock(r.namesMutex);
    if (auto it = r.names.find(key); it != r.names.end()) {
        return it->second;
    }
    if (r.nextName > 0xFFFF) {
        setLastError(ENOSPC);
        return 0;
    }
    const uint32_t id = r.nextName++;
    r.names.emplace(std::move(key), id);
    return id;
}

} // namespace platform
