// Open, close and device-control requests: buffered copies, pending requests
// completed from another thread, cancellation by cancelIo and by close.

#include "device_test_driver.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <mutex>
#include <thread>

namespace devtest {
namespace {

using Bytes = std::array<uint8_t, 16>;

class DeviceIoTest : public DeviceLayerTest {};

TEST_F(DeviceIoTest, OpensByPathAndRefusesUnknownPaths) {
    const std::string path = startOneDevice();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(openDevice(path + "x"), kInvalidDeviceHandle);
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
    EXPECT_EQ(openDevice("\\\\.\\NOSUCHDEVICE"), kInvalidDeviceHandle);
    EXPECT_EQ(lastError(), uint32_t{ENOENT});

    // Paths compare without case, as callers copy them around.
    std::string upper = path;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const DeviceHandle handle = openDevice(upper);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    EXPECT_NE(handle, kPlaceholderDeviceHandle);
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, ExclusiveDeviceRefusesSecondOpenUntilClosed) {
    const std::string path = startOneDevice();
    const DeviceHandle first = openDevice(path);
    ASSERT_NE(first, kInvalidDeviceHandle);
    EXPECT_EQ(openDevice(path), kInvalidDeviceHandle);
    EXPECT_EQ(lastError(), uint32_t{EBUSY});
    EXPECT_EQ(driver.count("create"), 1u); // the driver never saw the refused open
    ASSERT_TRUE(closeDevice(first));
    const DeviceHandle second = openDevice(path);
    ASSERT_NE(second, kInvalidDeviceHandle);
    EXPECT_NE(second, first); // a closed handle's value is not handed out again at once
    EXPECT_TRUE(closeDevice(second));
}

TEST_F(DeviceIoTest, SharedDeviceAllowsSeveralOpens) {
    driver.exclusive = false;
    const std::string path = startOneDevice();
    const DeviceHandle a = openDevice(path);
    const DeviceHandle b = openDevice(path);
    ASSERT_NE(a, kInvalidDeviceHandle);
    ASSERT_NE(b, kInvalidDeviceHandle);
    EXPECT_TRUE(closeDevice(a));
    EXPECT_TRUE(closeDevice(b));
}

TEST_F(DeviceIoTest, ClosedPlaceholderAndInvalidHandlesAreRefused) {
    const DeviceHandle handle = openDevice(startOneDevice());
    ASSERT_TRUE(closeDevice(handle));
    Bytes block{};
    for (DeviceHandle bad : {handle, kPlaceholderDeviceHandle, kInvalidDeviceHandle, 0u}) {
        EXPECT_FALSE(
            deviceIoControl(bad, kIoctlIncrement, block.data(), 16, block.data(), 16, nullptr));
        EXPECT_EQ(lastError(), uint32_t{EBADF});
        EXPECT_FALSE(closeDevice(bad));
        EXPECT_EQ(lastError(), uint32_t{EBADF});
    }
}

TEST_F(DeviceIoTest, SameBufferInAndOutIsAnsweredThroughTheDriversCopy) {
    const DeviceHandle handle = openDevice(startOneDevice());
    Bytes block{};
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i);
    }
    uint32_t returned = 99;
    ASSERT_TRUE(
        deviceIoControl(handle, kIoctlIncrement, block.data(), 16, block.data(), 16, &returned));
    EXPECT_EQ(returned, 16u);
    for (size_t i = 0; i < block.size(); ++i) {
        EXPECT_EQ(block[i], i + 1);
    }
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, FailedRequestCopiesNothingBack) {
    const DeviceHandle handle = openDevice(startOneDevice());
    Bytes out{};
    out.fill(0x11);
    uint32_t returned = 99;
    EXPECT_FALSE(deviceIoControl(handle, kIoctlFail, out.data(), 16, out.data(), 16, &returned));
    EXPECT_EQ(lastError(), uint32_t{kStatusUnsuccessful});
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(out[0], 0x11); // the driver scribbled 0xEE on its own copy only
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, AnswerLongerThanTheOutputIsCutToIt) {
    const DeviceHandle handle = openDevice(startOneDevice());
    std::array<uint8_t, 8> in{};
    std::array<uint8_t, 12> out{};
    uint32_t returned = 0;
    ASSERT_TRUE(deviceIoControl(handle, kIoctlOverlong, in.data(), 8, out.data(), 4, &returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_TRUE(closeDevice(handle));
}

// The system buffer serves the thread's next request again: what a larger
// earlier request left in it must not show in a later answer's output.
TEST_F(DeviceIoTest, OutputBeyondTheInputStartsClearedAfterAnEarlierRequest) {
    const DeviceHandle handle = openDevice(startOneDevice());
    Bytes block{};
    block.fill(0x11);
    ASSERT_TRUE(
        deviceIoControl(handle, kIoctlIncrement, block.data(), 16, block.data(), 16, nullptr));
    std::array<uint8_t, 4> in{1, 2, 3, 4};
    Bytes out{};
    out.fill(0x55);
    uint32_t returned = 0;
    ASSERT_TRUE(deviceIoControl(handle, kIoctlOverlong, in.data(), 4, out.data(), 16, &returned));
    EXPECT_EQ(returned, 16u);
    const Bytes expected{1, 2, 3, 4};
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(closeDevice(handle));
}

// A request the driver still holds after its caller was released keeps its
// buffer: the caller's next request must get other bytes, or the late answer
// would land in them.
TEST_F(DeviceIoTest, AHeldRequestKeepsItsBufferFromTheCallersNextRequest) {
    driver.useCancelRoutine = false;
    const DeviceHandle handle = openDevice(startOneDevice());
    Bytes second{};
    second.fill(0x22);
    bool firstOk = true;
    bool secondOk = false;
    std::thread caller([&] {
        Bytes first{};
        first.fill(0x11);
        firstOk = deviceIoControl(handle, kIoctlHold, first.data(), 16, first.data(), 16, nullptr);
        secondOk =
            deviceIoControl(handle, kIoctlHold, second.data(), 16, second.data(), 16, nullptr);
    });
    ASSERT_TRUE(driver.waitHeld(1));
    EXPECT_TRUE(cancelIo(handle));
    ASSERT_TRUE(driver.waitHeld(2));
    EXPECT_TRUE(driver.completeHeld(0x42)); // the first, late
    {
        std::lock_guard lock(driver.mutex);
        ASSERT_EQ(driver.held.size(), 1u);
        EXPECT_EQ(driver.held.front()->systemBuffer()[0], 0x22);
    }
    EXPECT_TRUE(driver.completeHeld(0x33));
    caller.join();
    EXPECT_FALSE(firstOk);
    EXPECT_TRUE(secondOk);
    EXPECT_EQ(second[15], 0x33);
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, NullBufferWithLengthIsRefused) {
    const DeviceHandle handle = openDevice(startOneDevice());
    Bytes block{};
    EXPECT_FALSE(deviceIoControl(handle, kIoctlIncrement, nullptr, 4, block.data(), 4, nullptr));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
    EXPECT_FALSE(deviceIoControl(handle, kIoctlIncrement, block.data(), 4, nullptr, 4, nullptr));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, PendingRequestIsCompletedFromAnotherThread) {
    const DeviceHandle handle = openDevice(startOneDevice());
    Bytes block{};
    HeldCall call(handle, block.data(), 16);
    ASSERT_TRUE(driver.waitHeld(1));
    std::thread completer([&] { driver.completeHeld(0x42); });
    completer.join();
    call.join();
    EXPECT_TRUE(call.ok);
    EXPECT_EQ(call.returned, 16u);
    EXPECT_EQ(block[15], 0x42);
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, CancelIoFromAnotherThreadRunsTheCancelRoutine) {
    const DeviceHandle handle = openDevice(startOneDevice());
    EXPECT_FALSE(cancelIo(handle));
    EXPECT_EQ(lastError(), uint32_t{ENOENT});

    Bytes block{};
    block.fill(0x11);
    HeldCall call(handle, block.data(), 16);
    ASSERT_TRUE(driver.waitHeld(1));
    EXPECT_TRUE(cancelIo(handle));
    call.join();
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, uint32_t{ECANCELED});
    EXPECT_TRUE(driver.logged("cancel"));
    EXPECT_EQ(block[0], 0x11);
    // The handle stays usable.
    EXPECT_TRUE(
        deviceIoControl(handle, kIoctlIncrement, block.data(), 16, block.data(), 16, nullptr));
    EXPECT_EQ(block[0], 0x12);
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, LateCompletionAfterCancelNeverTouchesTheCallersBuffer) {
    driver.useCancelRoutine = false; // the driver keeps the request after the cancel
    const DeviceHandle handle = openDevice(startOneDevice());
    auto block = std::make_unique<Bytes>();
    block->fill(0x11);
    HeldCall call(handle, block->data(), 16);
    ASSERT_TRUE(driver.waitHeld(1));
    ASSERT_TRUE(cancelIo(handle));
    call.join();
    EXPECT_FALSE(call.ok);

    // The caller reuses its buffer, then frees it (ASan sees any late write).
    block->fill(0x77);
    const Bytes reused = *block;
    ASSERT_TRUE(driver.completeHeld(0x42));
    EXPECT_EQ(*block, reused);
    block.reset();
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, CloseCancelsPendingRequestAndClosesAfterTheCallerLeft) {
    const std::string path = startOneDevice();
    const DeviceHandle handle = openDevice(path);
    Bytes block{};
    block.fill(0x11);
    HeldCall call(handle, block.data(), 16);
    ASSERT_TRUE(driver.waitHeld(1));
    ASSERT_TRUE(closeDevice(handle));
    call.join();
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, uint32_t{ECANCELED});
    EXPECT_EQ(block[0], 0x11);
    const std::vector<std::string> log = driver.entries();
    const auto cleanup = std::find(log.begin(), log.end(), "cleanup");
    const auto cancel = std::find(log.begin(), log.end(), "cancel");
    const auto close = std::find(log.begin(), log.end(), "close");
    ASSERT_NE(close, log.end());
    EXPECT_LT(cleanup, cancel);
    EXPECT_LT(cancel, close);
    EXPECT_EQ(driver.count("close"), 1u);
    // Exclusive device: free again once closed.
    EXPECT_NE(openDevice(path), kInvalidDeviceHandle);
}

TEST_F(DeviceIoTest, RequestAnsweredAtCleanupReachesTheCaller) {
    driver.answerHeldAtCleanup = true;
    const DeviceHandle handle = openDevice(startOneDevice());
    Bytes block{};
    HeldCall call(handle, block.data(), 16);
    ASSERT_TRUE(driver.waitHeld(1));
    ASSERT_TRUE(closeDevice(handle));
    call.join();
    EXPECT_TRUE(call.ok);
    EXPECT_EQ(block[0], 0x55);
    EXPECT_FALSE(driver.logged("cancel"));
}

TEST_F(DeviceIoTest, DriverWithoutDeviceControlAnswersInvalidRequest) {
    ASSERT_TRUE(registerDriver("plain", [](DriverObject& object) {
        DeviceObject* device = nullptr;
        DeviceOptions options;
        options.name = "VELDON-PLAIN";
        return createDevice(object, nullptr, options, nullptr, device);
    }));
    const DeviceHandle handle = openDevice("\\\\.\\veldon-plain");
    ASSERT_NE(handle, kInvalidDeviceHandle);
    Bytes block{};
    EXPECT_FALSE(deviceIoControl(handle, 0x90002000, block.data(), 16, block.data(), 16, nullptr));
    EXPECT_EQ(lastError(), uint32_t{ENOTTY});
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DeviceIoTest, DeviceNamesAreUniqueAndNeverPaths) {
    ASSERT_TRUE(registerDriver("named", [](DriverObject& object) {
        DeviceObject* device = nullptr;
        DeviceOptions options;
        options.name = "KX-NAMED";
        EXPECT_EQ(createDevice(object, nullptr, options, nullptr, device), kStatusSuccess);
        options.name = "kx-named";
        EXPECT_EQ(createDevice(object, nullptr, options, nullptr, device),
                  kStatusObjectNameCollision);
        options.name = "A\\B";
        EXPECT_EQ(createDevice(object, nullptr, options, nullptr, device), kStatusInvalidParameter);
        return kStatusSuccess;
    }));
    EXPECT_EQ(openDevice("KX-NAMED"), kInvalidDeviceHandle); // a name needs its prefix
    const DeviceHandle handle = openDevice("\\\\.\\KX-NAMED");
    EXPECT_NE(handle, kInvalidDeviceHandle);
    EXPECT_FALSE(registerDriver("named", [](DriverObject&) { return kStatusSuccess; }));
    EXPECT_EQ(lastError(), uint32_t{EEXIST});
}

} // namespace
} // namespace devtest
