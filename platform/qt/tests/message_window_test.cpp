#include "platform/qt/message_window.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <thread>
#include <vector>

using platform::Hwnd;
using platform::qt::MessageWindow;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[5] = "test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs the main thread's event loop until quit, or until a guard against a
// hung test ends it; true when it was quit.
bool runLoop(QEventLoop& loop) {
    bool guardFired = false;
    QTimer::singleShot(30000, &loop, [&] {
        guardFired = true;
        loop.quit();
    });
    loop.exec();
    return !guardFired;
}

} // namespace

TEST(MessageWindow, MessagePostedFromAnotherThreadArrivesOnTheObjectsThread) {
    MessageWindow window;
    ASSERT_NE(window.hwnd(), 0u);
    EXPECT_TRUE(platform::isWindow(window.hwnd()));
    QEventLoop loop;
    std::vector<std::tuple<quint32, quintptr, qintptr>> received;
    QThread* deliveredOn = nullptr;
    QObject::connect(&window, &MessageWindow::messageReceived, &window,
                     [&](quint32 message, quintptr wParam, qintptr lParam) {
                         received.emplace_back(message, wParam, lParam);
                         deliveredOn = QThread::currentThread();
                         loop.quit();
                     });
    std::thread poster(
        [hwnd = window.hwnd()] { EXPECT_TRUE(platform::postMessage(hwnd, 0xA001, 2, 0x103)); });
    ASSERT_TRUE(runLoop(loop));
    poster.join();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], std::make_tuple(quint32{0xA001}, quintptr{2}, qintptr{0x103}));
    EXPECT_EQ(deliveredOn, QThread::currentThread());
}

TEST(MessageWindow, ObjectOnAWorkerThreadReceivesThere) {
    std::atomic<Hwnd> hwnd{0};
    QThread* workerThread = nullptr;
    QThread* deliveredOn = nullptr;
    bool quitByMessage = false;
    std::thread worker([&] {
        QEventLoop loop;
        MessageWindow window;
        QObject::connect(&window, &MessageWindow::messageReceived, &window,
                         [&](quint32, quintptr, qintptr) {
                             deliveredOn = QThread::currentThread();
                             loop.quit();
                         });
        workerThread = QThread::currentThread();
        hwnd = window.hwnd();
        quitByMessage = runLoop(loop);
    });
    while (hwnd == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(platform::postMessage(hwnd, 0x400, 0, 0));
    worker.join();
    EXPECT_TRUE(quitByMessage);
    EXPECT_NE(workerThread, QThread::currentThread());
    EXPECT_EQ(deliveredOn, workerThread);
    EXPECT_FALSE(platform::isWindow(hwnd)) << "the window went with its object";
}

TEST(MessageWindow, BurstsFromManyThreadsArriveCompleteAndInOrder) {
    MessageWindow window;
    constexpr int kPosters = 4;
    constexpr int kEach = 500; // more than one delivery batch per wake-up
    QEventLoop loop;
    std::map<qintptr, quintptr> next;
    int count = 0;
    bool inOrder = true;
    QObject::connect(&window, &MessageWindow::messageReceived, &window,
                     [&](quint32, quintptr wParam, qintptr lParam) {
                         inOrder = inOrder && wParam == next[lParam]++;
                         if (++count == kPosters * kEach) {
                             loop.quit();
                         }
                     });
    std::vector<std::thread> posters;
    for (int t = 0; t < kPosters; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                ASSERT_TRUE(platform::postMessage(window.hwnd(), 0x400,
                                                  static_cast<platform::WParam>(i), t));
            }
        });
    }
    ASSERT_TRUE(runLoop(loop));
    for (auto& p : posters) {
        p.join();
    }
    EXPECT_EQ(count, kPosters * kEach);
    EXPECT_TRUE(inOrder);
}

TEST(MessageWindow, DestroyedWhilePostersRunTheirPostsFailCleanly) {
    auto window = std::make_unique<MessageWindow>();
    const Hwnd hwnd = window->hwnd();
    QEventLoop loop;
    int count = 0;
    QObject::connect(window.get(), &MessageWindow::messageReceived, window.get(),
                     [&](quint32, quintptr, qintptr) {
                         if (++count == 100) {
                             loop.quit();
                         }
                     });
    std::atomic<int> refused{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (;;) {
                if (platform::postMessage(hwnd, 0x400, 0, 0)) {
                    continue;
                }
                if (platform::lastError() == ENOBUFS) {
                    std::this_thread::yield();
                    continue;
                }
                EXPECT_EQ(platform::lastError(), uint32_t{EBADF});
                ++refused;
                return;
            }
        });
    }
    ASSERT_TRUE(runLoop(loop));
    window.reset();
    for (auto& p : posters) {
        p.join();
    }
    EXPECT_EQ(refused, 4);
    EXPECT_FALSE(platform::isWindow(hwnd));
    // Wake-ups still queued for the destroyed object went with it.
    QCoreApplication::processEvents();
}

TEST(MessageWindow, ReceiverMayDeleteTheWindowLater) {
    auto* window = new MessageWindow;
    const Hwnd hwnd = window->hwnd();
    QEventLoop loop;
    int count = 0;
    QObject::connect(window, &MessageWindow::messageReceived, window,
                     [&](quint32, quintptr, qintptr) {
                         ++count;
                         window->deleteLater();
                     });
    QObject::connect(window, &QObject::destroyed, &loop, &QEventLoop::quit);
    platform::postMessage(hwnd, 0x400, 0, 0);
    platform::postMessage(hwnd, 0x401, 0, 0);
    ASSERT_TRUE(runLoop(loop));
    EXPECT_EQ(count, 2) << "both messages were queued before the deferred delete";
    EXPECT_FALSE(platform::isWindow(hwnd));
}
