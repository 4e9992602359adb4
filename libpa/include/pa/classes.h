#pragma once
// Stand-ins for the class library's thread class and its synchronisation with
// the GUI thread.
//
// A worker reaches the GUI thread only through synchronize: the closure goes
// into one queue that the GUI thread drains from its event loop and also while
// it waits for a worker (waitFor, and so a worker's destructor). A GUI thread
// that destroys a worker blocked in synchronize therefore runs that closure
// and never deadlocks.

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

namespace pa {

// True on the thread that loaded the framework, which is the program's main
// (GUI) thread.
bool isGuiThread();

// Runs the closures that workers have queued for the GUI thread. Called by
// the GUI thread's event loop (a queued call per synchronize) and by waitFor;
// a program without an event loop may call it itself. Does nothing on other
// threads. Returns whether it ran any.
bool checkSynchronize();

class TThread {
public:
    using TNotifyEvent = std::function<void(TThread* sender)>;

    // Always created suspended: the body is a virtual of the derived class,
    // which does not exist yet while this constructor runs.
    TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Sets the terminated flag and waits for the body to end (see stopThread).
    virtual ~TThread();

    // Starts a thread that was never started; does nothing otherwise.
    void resume();
    // Sets the terminated flag, which the body reads to know when to stop.
    void terminate();
    bool terminated() const { return terminated_.load(); }
    // Returns when the body has ended and OnTerminate has run; on the GUI
    // thread it runs queued synchronize closures meanwhile. Returns at once for
    // a thread that was never started.
    void waitFor();

    // Run on the GUI thread after the body, with the thread as sender.
    void setOnTerminate(TNotifyEvent onTerminate) { onTerminate_ = std::move(onTerminate); }
    // The object deletes itself (on the GUI thread) once the body has ended;
    // the owner must not delete it then.
    void setFreeOnTerminate(bool freeOnTerminate) { freeOnTerminate_ = freeOnTerminate; }
    bool freeOnTerminate() const { return freeOnTerminate_; }

    // The exception that left the body, if any: kept rather than ending the
    // process.
    std::exception_ptr fatalException() const;

    // Runs `method` on the GUI thread and returns when it has run; its
    // exception is raised again in the caller. Called on the GUI thread it runs
    // the method at once.
    static void synchronize(TThread* thread, const std::function<void()>& method);

protected:
    virtual void Execute() = 0;
    // Terminates and joins the thread. A derived class calls it first thing in
    // its destructor, while its Execute still exists.
    void stopThread();

private:
    static void threadProc(TThread* self);

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    bool finished_ = false; // guarded by the synchronisation lock
    TNotifyEvent onTerminate_;
    bool freeOnTerminate_ = false;
    std::exception_ptr fatal_;
};

} // namespace pa
