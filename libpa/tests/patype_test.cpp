#include "pa/forms.h"
#include "pa/palog.h"
#include "pa/patype.h"
#include "pa/sysutils.h"

#include "pa_test_support.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

struct Box {
    std::string text;
    std::string caption;
    int flags = -1;
    bool onGuiThread = false;
};

// Records the application's message boxes instead of showing them.
class BoxRecorder {
public:
    BoxRecorder() {
        previous_ = pa::setMessageBoxHandler(
            [this](const std::string& text, const std::string& caption, int flags) {
                std::lock_guard lock(mutex_);
                boxes_.push_back({text, caption, flags, pa::isGuiThread()});
                return pa::kIdOk;
            });
    }
    ~BoxRecorder() { pa::setMessageBoxHandler(previous_); }
    std::vector<Box> boxes() const {
        std::lock_guard lock(mutex_);
        return boxes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Box> boxes_;
    pa::TMessageBoxHandler previous_;
};

// Runs the GUI event loop until `done` holds; a generous guard ends a loop
// that would otherwise never return, so that a fault fails instead of hanging.
template <class Pred> void runEventLoopUntil(Pred done) {
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(60000);
    while (!done() && guard.isActive()) {
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
}

TEST(TThreadPa, WithoutCallbackEndsAtOnceAndStillRunsOnTerminateOnTheGuiThread) {
    std::atomic<int> calls{0};
    std::atomic<bool> onGui{false};
    pa::TThread* sender = nullptr;
    pa::TThreadPa* thread = pa::createThread(
        nullptr,
        [&](pa::TThread* s) {
            sender = s;
            onGui = pa::isGuiThread();
            ++calls;
        },
        0, false);
    thread->resume();
    thread->waitFor();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(onGui.load());
    EXPECT_EQ(sender, thread);
    EXPECT_EQ(thread->fatalException(), nullptr);
    delete thread;
}

TEST(TThreadPa, FrameworkErrorIsShownOnTheGuiThreadWithAFullStop) {
    BoxRecorder recorder;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"TFStream::open -> Cannot open file 'x'", "TFStream::open -> Cannot open file 'x'."},
        {"Already ends.", "Already ends."},
        {"", ""},
    };
    for (const auto& [message, shown] : cases) {
        std::atomic<bool> terminated{false};
        pa::TThreadPa* thread =
            pa::startThread([m = message](pa::TThreadPa*) { pa::raiseError("%s", m.c_str()); },
                            [&](pa::TThread*) { terminated = true; }, 0, false);
        thread->waitFor();
        EXPECT_TRUE(terminated.load());
        delete thread;
    }
    const std::vector<Box> boxes = recorder.boxes();
    ASSERT_EQ(boxes.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(boxes[i].text, cases[i].second);
        EXPECT_EQ(boxes[i].caption, "Error in thread");
        EXPECT_EQ(boxes[i].flags, 0x10);
        EXPECT_TRUE(boxes[i].onGuiThread);
    }
}

TEST(TThreadPa, OtherExceptionsAreKeptAsFatalWithoutABox) {
    BoxRecorder recorder;
    std::atomic<bool> terminated{false};
    pa::TThreadPa* thread =
        pa::startThread([](pa::TThreadPa*) { throw std::runtime_error("not ours"); },
                        [&](pa::TThread*) { terminated = true; }, 0, false);
    thread->waitFor();
    EXPECT_TRUE(terminated.load());
    ASSERT_NE(thread->fatalException(), nullptr);
    EXPECT_THROW(std::rethrow_exception(thread->fatalException()), std::runtime_error);
    EXPECT_TRUE(recorder.boxes().empty());
    delete thread;
}

TEST(TThreadPa, DestroyingARunningWorkerReturnsAfterTheCallbackSawTheFlag) {
    std::promise<void> started;
    std::atomic<bool> returned{false};
    pa::TThreadPa* thread = pa::startThread(
        [&](pa::TThreadPa* self) {
            started.set_value();
            while (!self->terminated()) {
                std::this_thread::yield();
            }
            returned = true;
        },
        nullptr, 7, false);
    EXPECT_EQ(thread->tag(), 7);
    started.get_future().wait();
    EXPECT_FALSE(returned.load());
    delete thread;
    EXPECT_TRUE(returned.load());
}

TEST(TThreadPa, GuiDestroyingAWorkerBlockedInSynchronizeDoesNotDeadlock) {
    std::promise<void> synchronizing;
    std::atomic<int> ranOnGui{0};
    std::atomic<int> ranElsewhere{0};
    std::atomic<bool> terminatedSeen{false};
    pa::TThreadPa* thread = pa::startThread(
        [&](pa::TThreadPa* self) {
            synchronizing.set_value();
            // The GUI thread runs no event loop meanwhile: only its wait for
            // this worker can run the closure.
            pa::TThreadPa::synchronize(self,
                                       [&] { ++(pa::isGuiThread() ? ranOnGui : ranElsewhere); });
            terminatedSeen = self->terminated();
        },
        [&](pa::TThread*) { ++(pa::isGuiThread() ? ranOnGui : ranElsewhere); }, 0, false);
    synchronizing.get_future().wait();
    delete thread;
    EXPECT_EQ(ranOnGui.load(), 2); // the closure and OnTerminate
    EXPECT_EQ(ranElsewhere.load(), 0);
    EXPECT_TRUE(terminatedSeen.load());
}

TEST(TThreadPa, SynchronizeRunsThroughTheEventLoopAndReturnsTheClosuresError) {
    std::atomic<bool> ran{false};
    std::atomic<bool> errorSeen{false};
    bool ended = false; // set by OnTerminate, on this thread
    pa::TThreadPa* thread = pa::startThread(
        [&](pa::TThreadPa* self) {
            pa::TThreadPa::synchronize(self, [&] { ran = pa::isGuiThread(); });
            try {
                pa::TThreadPa::synchronize(self, [] { throw std::logic_error("gui side"); });
            } catch (const std::logic_error&) {
                errorSeen = true;
            }
        },
        [&](pa::TThread*) { ended = true; }, 0, false);
    runEventLoopUntil([&] { return ended; });
    EXPECT_TRUE(ended);
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(errorSeen.load());
    delete thread;
}

TEST(TThreadPa, SynchronizeOnTheGuiThreadRunsAtOnce) {
    bool ran = false;
    pa::TThreadPa::synchronize(nullptr, [&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(pa::checkSynchronize());
}

TEST(TThreadPa, NeverStartedThreadRunsNothingAndWaitReturns) {
    std::atomic<bool> ran{false};
    pa::TThreadPa* thread = pa::createThread([&](pa::TThreadPa*) { ran = true; },
                                             [&](pa::TThread*) { ran = true; }, 0, false);
    thread->waitFor();
    delete thread;
    EXPECT_FALSE(ran.load());
}

TEST(TThreadPa, FreeOnTerminateDeletesItselfOnTheGuiThread) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> alive = token;
    std::atomic<bool> terminated{false};
    pa::startThread([token](pa::TThreadPa*) { ++*token; }, [&](pa::TThread*) { terminated = true; },
                    0, true);
    token.reset();
    // The callback (and its copy of the token) goes with the thread object.
    runEventLoopUntil([&] { return alive.expired(); });
    EXPECT_TRUE(terminated.load());
    EXPECT_TRUE(alive.expired());
}

TEST(TThreadPa, MessageBoxFromAWorkerIsShownOnTheGuiThread) {
    BoxRecorder recorder;
    pa::TThreadPa* thread = pa::startThread(
        [](pa::TThreadPa*) { pa::applicationMessageBox("text", "caption", pa::kMbIconWarning); },
        nullptr, 0, false);
    delete thread;
    const auto boxes = recorder.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].onGuiThread);
    EXPECT_EQ(boxes[0].flags, 0x30);
}

TEST(TFileInfo, ProgramWithoutVersionRecordYieldsEmptyValues) {
    pa::Ref<pa::TFileInfo> info(new pa::TFileInfo());
    EXPECT_FALSE(info->hasVersionInfo());
    EXPECT_EQ(info->getValue("FileVersion"), "");
}

TEST(TFileInfo, ModuleRecordValuesAndAbsentKey) {
    pa::Ref<pa::TFileInfo> info(new pa::TFileInfo(PA_LIBRARY_FILE));
    ASSERT_TRUE(info->hasVersionInfo());
    EXPECT_EQ(info->getValue("FileVersion"), "1.0.0.0");
    EXPECT_EQ(info->getValue("ProductName"), "VELDON");
    EXPECT_EQ(info->getValue("FileDescription"), "Application framework library");
    EXPECT_EQ(info->getValue("Comments"), "");
}

TEST(TFileInfo, MissingFileYieldsEmptyValues) {
    pa::Ref<pa::TFileInfo> info(new pa::TFileInfo(pa::test::tempPath("absent.so")));
    EXPECT_FALSE(info->hasVersionInfo());
    EXPECT_EQ(info->getValue("FileVersion"), "");
}

} // namespace
