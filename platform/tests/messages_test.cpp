#include "platform/messages.h"

#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform;

namespace {

// Unregisters a window at the end of a test.
struct WindowGuard {
    Hwnd hwnd;
    ~WindowGuard() { unregisterWindow(hwnd); }
};

// A one-shot signal between two threads.
class Latch {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

} // namespace

TEST(Messages, PostedMessageReachesTheWindowWithItsParameters) {
    WindowGuard w{registerWindow()};
    ASSERT_NE(w.hwnd, 0u);
    EXPECT_TRUE(isWindow(w.hwnd));
    ASSERT_TRUE(postMessage(w.hwnd, 0xA001, 2, 0x103));
    Message m;
    ASSERT_EQ(getMessage(m, w.hwnd, 0), GetMessageResult::Message);
    EXPECT_EQ(m.hwnd, w.hwnd);
    EXPECT_EQ(m.message, 0xA001u);
    EXPECT_EQ(m.wParam, 2u);
    EXPECT_EQ(m.lParam, 0x103);
}

TEST(Messages, MessagesComeOutInPostingOrder) {
    WindowGuard w{registerWindow()};
    for (WParam i = 0; i < 100; ++i) {
        ASSERT_TRUE(postMessage(w.hwnd, 0x400, i, 0));
    }
    Message m;
    for (WParam i = 0; i < 100; ++i) {
        ASSERT_TRUE(peekMessage(m, w.hwnd));
        EXPECT_EQ(m.wParam, i);
    }
    EXPECT_FALSE(peekMessage(m, w.hwnd));
}

TEST(Messages, PeekWithoutRemoveLeavesTheMessage) {
    WindowGuard w{registerWindow()};
    postMessage(w.hwnd, 0x401, 1, 0);
    Message m;
    ASSERT_TRUE(peekMessage(m, w.hwnd, false));
    ASSERT_TRUE(peekMessage(m, w.hwnd, true));
    EXPECT_EQ(m.message, 0x401u);
    EXPECT_FALSE(peekMessage(m, w.hwnd));
}

TEST(Messages, UnknownAndStaleWindowsAreRefused) {
    const Hwnd old = registerWindow();
    ASSERT_TRUE(unregisterWindow(old));
    WindowGuard reused{registerWindow()};
    for (Hwnd bad : {Hwnd{0}, old, Hwnd{0xFFFFFFFF}, Hwnd{0x12345678}}) {
        setLastError(0);
        EXPECT_FALSE(postMessage(bad, 0x400, 0, 0)) << std::hex << bad;
        EXPECT_EQ(lastError(), uint32_t{EBADF});
        EXPECT_FALSE(isWindow(bad));
        Message m;
        EXPECT_EQ(getMessage(m, bad, 0), GetMessageResult::Invalid);
    }
    EXPECT_FALSE(unregisterWindow(old));
    EXPECT_EQ(lastError(), uint32_t{EBADF});
    EXPECT_TRUE(isWindow(reused.hwnd));
}

TEST(Messages, FullQueueRefusesPostsUntilTheOwnerReads) {
    WindowGuard w{registerWindow()};
    for (size_t i = 0; i < kMessageQueueLimit; ++i) {
        ASSERT_TRUE(postMessage(w.hwnd, 0x400, i, 0)) << i;
    }
    setLastError(0);
    EXPECT_FALSE(postMessage(w.hwnd, 0x400, 0, 0));
    EXPECT_EQ(lastError(), uint32_t{ENOBUFS});
    Message m;
    ASSERT_TRUE(peekMessage(m, w.hwnd));
    EXPECT_EQ(m.wParam, 0u) << "the refused post must not have displaced anything";
    EXPECT_TRUE(postMessage(w.hwnd, 0x400, 0, 0));
}

TEST(Messages, UnregisteringDropsTheQueueAndWakesTheReader) {
    const Hwnd hwnd = registerWindow();
    postMessage(hwnd, 0x400, 0, 0);
    ASSERT_TRUE(unregisterWindow(hwnd));
    Message m;
    EXPECT_FALSE(peekMessage(m, hwnd)) << "messages of a dropped window are gone";

    const Hwnd waited = registerWindow();
    auto reader = std::async(std::launch::async, [waited] {
        Message out;
        return getMessage(out, waited, kInfinite);
    });
    ASSERT_TRUE(unregisterWindow(waited));
    EXPECT_EQ(reader.get(), GetMessageResult::Invalid);
}

TEST(Messages, PostsFromManyThreadsAllArriveInPerThreadOrder) {
    WindowGuard w{registerWindow()};
    constexpr int kPosters = 8;
    constexpr int kEach = 1000; // 8000 stays below the queue bound
    std::vector<std::thread> posters;
    for (int t = 0; t < kPosters; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                ASSERT_TRUE(postMessage(w.hwnd, 0x400, static_cast<WParam>(i), t));
            }
        });
    }
    std::map<LParam, WParam> next;
    for (int n = 0; n < kPosters * kEach; ++n) {
        Message m;
        ASSERT_EQ(getMessage(m, w.hwnd, kInfinite), GetMessageResult::Message);
        ASSERT_EQ(m.wParam, next[m.lParam]++) << "poster " << m.lParam;
    }
    for (auto& p : posters) {
        p.join();
    }
    Message m;
    EXPECT_FALSE(peekMessage(m, w.hwnd));
}

TEST(Messages, ThreadMessagesReachTheRegisteredThreadUntilQuit) {
    std::promise<uint32_t> idPromise;
    std::vector<Message> received;
    std::thread loop([&] {
        idPromise.set_value(registerThreadQueue());
        Message m;
        while (getMessage(m) == GetMessageResult::Message) {
            received.push_back(m);
        }
        received.push_back(m); // the WM_QUIT
        unregisterThreadQueue();
    });
    const uint32_t id = idPromise.get_future().get();
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(postThreadMessage(id, 0xA001, 1, 0x101));
    EXPECT_TRUE(postThreadMessage(id, WM_QUIT, 0, 0));
    loop.join();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].hwnd, 0u);
    EXPECT_EQ(received[0].message, 0xA001u);
    EXPECT_EQ(received[0].lParam, 0x101);
    EXPECT_EQ(received[1].message, WM_QUIT);
    setLastError(0);
    EXPECT_FALSE(postThreadMessage(id, 0x400, 0, 0)) << "the queue went with unregister";
    EXPECT_EQ(lastError(), uint32_t{ESRCH});
}

TEST(Messages, PlatformThreadIsReachedThroughItsId) {
    Thread thread;
    std::vector<uint32_t> received;
    ASSERT_TRUE(thread.start(
        [&](Thread& self) -> uint32_t {
            EXPECT_EQ(registerThreadQueue(), currentThreadId());
            self.signalRunning();
            Message m;
            while (getMessage(m) == GetMessageResult::Message) {
                received.push_back(m.message);
            }
            return 0;
        },
        kInfinite));
    EXPECT_TRUE(postThreadMessage(thread.id(), 0x400, 0, 0));
    EXPECT_TRUE(postThreadMessage(thread.id(), WM_QUIT, 0, 0));
    thread.join();
    EXPECT_EQ(received, std::vector<uint32_t>{0x400});
    EXPECT_FALSE(postThreadMessage(thread.id(), 0x400, 0, 0));
}

TEST(Messages, ThreadQueueGoesAwayWhenTheThreadEnds) {
    uint32_t id = 0;
    Hwnd window = 0;
    std::thread([&] {
        id = registerThreadQueue();
        window = registerThreadWindow();
    }).join();
    ASSERT_NE(id, 0u);
    ASSERT_NE(window, 0u);
    EXPECT_FALSE(postThreadMessage(id, 0x400, 0, 0));
    EXPECT_EQ(lastError(), uint32_t{ESRCH});
    EXPECT_FALSE(isWindow(window)) << "the thread's windows end with it";
    EXPECT_FALSE(postMessage(window, 0x400, 0, 0));
}

TEST(Messages, ThreadWithoutQueueHasNothingToRead) {
    std::thread([] {
        Message m;
        setLastError(0);
        EXPECT_EQ(getMessage(m, 0, 0), GetMessageResult::Invalid);
        EXPECT_EQ(lastError(), uint32_t{ESRCH});
        EXPECT_FALSE(unregisterThreadQueue());
    }).join();
    EXPECT_FALSE(postThreadMessage(0, 0x400, 0, 0));
}

TEST(Messages, RegisteringTwiceKeepsTheQueue) {
    std::thread([] {
        const uint32_t id = registerThreadQueue();
        ASSERT_TRUE(postThreadMessage(id, 0x400, 5, 0));
        EXPECT_EQ(registerThreadQueue(), id);
        Message m;
        EXPECT_TRUE(peekMessage(m));
        EXPECT_EQ(m.wParam, 5u);
        unregisterThreadQueue();
    }).join();
}

TEST(Messages, ThreadWindowSharesTheThreadQueue) {
    std::thread([] {
        const uint32_t id = registerThreadQueue();
        const Hwnd a = registerThreadWindow();
        const Hwnd b = registerThreadWindow();
        ASSERT_NE(a, 0u);
        ASSERT_NE(b, 0u);
        postMessage(a, 0x400, 1, 0);
        postThreadMessage(id, 0x401, 2, 0);
        postMessage(b, 0x402, 3, 0);

        Message m;
        // A read for one window passes over the others' messages.
        ASSERT_TRUE(peekMessage(m, b));
        EXPECT_EQ(m.hwnd, b);
        // The thread's own read sees the rest in order, window messages included.
        ASSERT_EQ(getMessage(m, 0, 0), GetMessageResult::Message);
        EXPECT_EQ(m.hwnd, a);
        ASSERT_EQ(getMessage(m, 0, 0), GetMessageResult::Message);
        EXPECT_EQ(m.hwnd, 0u);
        EXPECT_EQ(m.message, 0x401u);
        EXPECT_EQ(getMessage(m, 0, 0), GetMessageResult::Timeout);

        // Dropping one window drops its messages only.
        postMessage(a, 0x403, 0, 0);
        postMessage(b, 0x404, 0, 0);
        ASSERT_TRUE(unregisterWindow(a));
        ASSERT_TRUE(peekMessage(m));
        EXPECT_EQ(m.message, 0x404u);
        EXPECT_FALSE(peekMessage(m));
        unregisterThreadQueue();
        EXPECT_FALSE(isWindow(b));
    }).join();
}

// A reader that waits on the window with a time-out on a virtual clock.
class TimedRead : public ::testing::Test {
protected:
    std::future<std::pair<GetMessageResult, uint32_t>> readWithin(uint32_t timeoutMs) {
        auto reader = std::async(std::launch::async, [this, timeoutMs] {
            Message m;
            const auto result = getMessage(m, window.hwnd, timeoutMs);
            return std::make_pair(result, m.message);
        });
        EXPECT_TRUE(virtualClock.waitForPendingWaits(1));
        return reader;
    }

    VirtualClock virtualClock;
    ScopedClock installed{virtualClock};
    WindowGuard window{registerWindow()};
};

TEST_F(TimedRead, EndsWhenTheVirtualClockReachesTheTimeOut) {
    auto reader = readWithin(5000);
    virtualClock.advance(std::chrono::milliseconds(4999));
    EXPECT_EQ(virtualClock.pendingWaits(), 1u) << "ended before its time-out";
    virtualClock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(reader.get().first, GetMessageResult::Timeout);
}

TEST_F(TimedRead, TakesAMessagePostedMeanwhile) {
    auto reader = readWithin(5000);
    ASSERT_TRUE(postMessage(window.hwnd, 0x405, 0, 0));
    EXPECT_EQ(reader.get(), std::make_pair(GetMessageResult::Message, uint32_t{0x405}));
}

TEST(Messages, NotifierRunsAfterTheMessageIsQueuedAndMayCallBack) {
    std::atomic<Hwnd> self{0};
    std::vector<uint32_t> seen;
    const Hwnd hwnd = registerWindow([&] {
        // No lock of the layer is held here: reading our own queue works.
        Message m;
        ASSERT_TRUE(peekMessage(m, self.load()));
        seen.push_back(m.message);
    });
    self = hwnd;
    ASSERT_TRUE(postMessage(hwnd, 0x410, 0, 0));
    ASSERT_TRUE(postMessage(hwnd, 0x411, 0, 0));
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x410, 0x411}));
    EXPECT_TRUE(unregisterWindow(hwnd));
}

TEST(Messages, NotifierMayUnregisterItsOwnWindow) {
    std::atomic<Hwnd> self{0};
    const Hwnd hwnd = registerWindow([&] { EXPECT_TRUE(unregisterWindow(self.load())); });
    self = hwnd;
    EXPECT_TRUE(postMessage(hwnd, 0x400, 0, 0));
    EXPECT_FALSE(isWindow(hwnd));
}

TEST(Messages, UnregisterWaitsForARunningNotifier) {
    Latch entered, release;
    std::atomic<bool> unregistered{false};
    std::atomic<bool> ranAfterUnregister{false};
    const Hwnd hwnd = registerWindow([&] {
        entered.open();
        release.wait();
        if (unregistered) {
            ranAfterUnregister = true;
        }
    });
    std::thread poster([&] { postMessage(hwnd, 0x400, 0, 0); });
    entered.wait();
    std::thread dropper([&] {
        unregisterWindow(hwnd);
        unregistered = true;
    });
    std::this_thread::yield();
    release.open();
    dropper.join();
    poster.join();
    EXPECT_FALSE(ranAfterUnregister);
    EXPECT_FALSE(isWindow(hwnd));
}

TEST(Messages, WindowMessageIdsAreSharedByNameIgnoringCase) {
    const uint32_t id = registerWindowMessage("SpectStart");
    EXPECT_GE(id, 0xC000u);
    EXPECT_LE(id, 0xFFFFu);
    EXPECT_EQ(registerWindowMessage("SpectStart"), id);
    EXPECT_EQ(registerWindowMessage("SPECTSTART"), id);
    EXPECT_EQ(registerWindowMessage("spectstart"), id);
    const uint32_t other = registerWindowMessage("SpectStop");
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, id);
    auto fromOtherThread =
        std::async(std::launch::async, [] { return registerWindowMessage("sPeCtStArT"); });
    EXPECT_EQ(fromOtherThread.get(), id);
}

TEST(Messages, WindowMessageNamesAreChecked) {
    setLastError(0);
    EXPECT_EQ(registerWindowMessage(""), 0u);
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
    EXPECT_EQ(registerWindowMessage(std::string(256, 'x')), 0u);
    EXPECT_NE(registerWindowMessage(std::string(255, 'x')), 0u);
}

TEST(Messages, WindowMessageIdsRunOutCleanly) {
    // In a child process: it uses up the process-wide ids.
    EXPECT_EXIT(
        {
            const uint32_t first = registerWindowMessage("name0");
            uint32_t last = first;
            for (int i = 1;; ++i) {
                const uint32_t id = registerWindowMessage("name" + std::to_string(i));
                if (id == 0) {
                    const bool ok = last == 0xFFFF && lastError() == ENOSPC &&
                                    registerWindowMessage("NAME0") == first;
                    std::exit(ok ? 0 : 1);
                }
                if (id != last + 1) {
                    std::exit(2);
                }
                last = id;
            }
        },
        ::testing::ExitedWithCode(0), "");
}
