#pragma once
// The library's three locks. All are re-entrant; the order is DeviceLock, then
// RawDataLock, then ErrorLock, and a thread never takes an earlier one while it
// holds a later one.
//   deviceLock()   held by an export for the whole of a device operation
//   rawDataLock()  raw-data records and stored values
//   errorLock()    the last-error record, its save area, the box flags and
//                  the box flag stack; held only for short field updates

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tarvik {

// The DeviceLock: re-entrant, and fair to a close. While a close waits for
// it, threads that do not hold it yet queue behind that close instead of
// taking it first, so a client acquiring in a loop cannot keep a close out.
class DeviceLock {
public:
    void lock();
    bool try_lock();
    void unlock();

    // Taken past the queue: for the close that announced its wait.
    bool tryLockAhead();

    // Announces a close waiting for the lock for its lifetime.
    class CloseWaiting {
    public:
        explicit CloseWaiting(DeviceLock& lock);
        ~CloseWaiting();
        CloseWaiting(const CloseWaiting&) = delete;
        CloseWaiting& operator=(const CloseWaiting&) = delete;

    private:
        DeviceLock& lock_;
    };

private:
    bool ownedHere() const;
    void taken();
    bool tryTake(bool behindCloses);

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0; // touched by the owner only
    std::mutex queueMutex_;
    std::condition_variable queueFree_;
    int closesWaiting_ = 0; // guarded by queueMutex_
};

DeviceLock& deviceLock();
std::recursive_mutex& rawDataLock();
std::recursive_mutex& errorLock();

} // namespace tarvik
