#include "pa/classes.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace pa {

namespace {

const std::thread::id gGuiThread = std::this_thread::get_id();

struct SyncItem {
    std::function<void()> method;
    bool waited = false; // a worker waits for it; else it is fire-and-forget
    bool done = false;
    std::exception_ptr error;
};

// One lock for the queue and for every thread's finished flag, so that the
// GUI thread can wait for "a closure arrived or the worker ended" at once.
std::mutex gSyncMutex;
std::condition_variable gSyncCondition;
std::deque<std::shared_ptr<SyncItem>> gSyncQueue;

void wakeGuiThread() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app, [] { checkSynchronize(); }, Qt::QueuedConnection);
    }
}

void enqueue(const std::shared_ptr<SyncItem>& item) {
    {
        // The wake-up is posted under the lock that checkSynchronize takes
        // first: Qt's own locks are invisible to ThreadSanitizer, so without
        // this the event Qt allocates here and frees on the GUI thread looks
        // like a race.
        std::lock_guard lock(gSyncMutex);
        gSyncQueue.push_back(item);
        wakeGuiThread();
    }
    gSyncCondition.notify_all();
}

} // namespace

bool isGuiThread() {
    return std::this_thread::get_id() == gGuiThread;
}

bool checkSynchronize() {
    if (!isGuiThread()) {
        return false;
    }
    bool ran = false;
    for (;;) {
        std::shared_ptr<SyncItem> item;
        {
            std::lock_guard lock(gSyncMutex);
            if (gSyncQueue.empty()) {
                return ran;
            }
            item = std::move(gSyncQueue.front());
            gSyncQueue.pop_front();
        }
        ran = true;
        try {
            item->method();
        } catch (...) {
            if (!item->waited) {
                throw; // nobody else to hand it to
            }
            item->error = std::current_exception();
        }
        if (item->waited) {
            {
                std::lock_guard lock(gSyncMutex);
                item->done = true;
            }
            gSyncCondition.notify_all();
        }
    }
}

TThread::TThread() = default;

TThread::~TThread() {
    stopThread();
}

void TThread::resume() {
    if (!thread_.joinable() && !finished_) {
        thread_ = std::thread(&TThread::threadProc, this);
    }
}

void TThread::terminate() {
    terminated_.store(true);
}

void TThread::waitFor() {
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) {
        return;
    }
    const bool gui = isGuiThread();
    for (;;) {
        if (gui) {
            checkSynchronize();
        }
        std::unique_lock lock(gSyncMutex);
        gSyncCondition.wait(lock, [&] { return finished_ || (gui && !gSyncQueue.empty()); });
        if (finished_) {
            return;
        }
    }
}

void TThread::stopThread() {
    if (!thread_.joinable()) {
        return;
    }
    terminate();
    waitFor();
    thread_.join();
}

std::exception_ptr TThread::fatalException() const {
    std::lock_guard lock(gSyncMutex);
    return fatal_;
}

void TThread::synchronize(TThread* /*thread*/, const std::function<void()>& method) {
    if (!method) {
        return;
    }
    if (isGuiThread()) {
        method();
        return;
    }
    auto item = std::make_shared<SyncItem>();
    item->method = method;
    item->waited = true;
    enqueue(item);
    std::unique_lock lock(gSyncMutex);
    gSyncCondition.wait(lock, [&] { return item->done; });
    if (item->error) {
        std::rethrow_exception(item->error);
    }
}

void TThread::threadProc(TThread* self) {
    std::exception_ptr fatal;
    try {
        self->Execute();
    } catch (...) {
        fatal = std::current_exception();
    }
    if (self->onTerminate_) {
        try {
            synchronize(self, [self] { self->onTerminate_(self); });
        } catch (...) {
            if (!fatal) {
                fatal = std::current_exception();
            }
        }
    }
    const bool freeIt = self->freeOnTerminate_;
    {
        std::lock_guard lock(gSyncMutex);
        self->fatal_ = fatal;
        self->finished_ = true;
    }
    gSyncCondition.notify_all();
    // From here the owner may delete the object: only the copy of the flag is
    // used. A self-freeing thread is deleted (and joined) on the GUI thread.
    if (freeIt) {
        auto item = std::make_shared<SyncItem>();
        item->method = [self] { delete self; };
        enqueue(item);
    }
}

} // namespace pa
