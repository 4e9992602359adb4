#include "core/acquisition_table.h"

#include "core/library_state.h"
#include "core/locks.h"

#include "platform/clock.h"
#include "platform/device.h"

#include <chrono>

namespace tarvik {

void clearAcquisitionThreadRow(AcquisitionThreadRow& row) {
    row.thread.reset();
    row.threadId = 0;
    row.startEvent.reset();
    row.doneEvent.reset();
    row.stopRequest = 0;
    row.exited = 0;
    row.state = kWorkerNone;
    row.result = 0;
    row.demo = 0;
}

bool CancelScanInFlight(int32_t interfaceId) {
    LibraryState* state = libraryState();
    if (state == nullptr) {
        return false;
    }
    bool any = false;
    auto& rows = state->acquisitionThreads.rows;
    for (size_t id = 1; id < rows.size(); ++id) {
        if (interfaceId != 0 && static_cast<size_t>(interfaceId) != id) {
            continue;
        }
        const uint64_t inFlight = rows[id].scanInFlight.load(std::memory_order_acquire);
        if (inFlight != 0) {
            any = platform::cancelIo(static_cast<platform::DeviceHandle>(inFlight - 1)) || any;
        }
    }
    return any;
}

std::unique_lock<DeviceLock> LockDeviceForClose(int32_t interfaceId) {
    DeviceLock& device = deviceLock();
    if (device.tryLockAhead()) {
        return std::unique_lock(device, std::adopt_lock);
    }
    // From here on the acquisitions that come after the close wait behind
    // it; the one in flight ends and lets it in. One that has not ended when
    // a worker would have been given up on never will.
    const DeviceLock::CloseWaiting waiting(device);
    const platform::TimePoint deadline =
        platform::deadlineAfterMs(platform::clock(), kWorkerStopTimeoutMs);
    while (!device.tryLockAhead()) {
        if (platform::clock().now() >= deadline) {
            CancelScanInFlight(interfaceId);
        }
        platform::sleepMs(1);
    }
    return std::unique_lock(device, std::adopt_lock);
}

void resetAcquisitionThreadTable(AcquisitionThreadTable& table) {
    for (AcquisitionThreadRow& row : table.rows) {
        clearAcquisitionThreadRow(row);
    }
}

void StopAllAcquisitionThreads() {
    LibraryState* state = libraryState();
    if (state == nullptr) {
        return;
    }
    auto& rows = state->acquisitionThreads.rows;
    // A worker blocked in its scan request only wakes when the request ends.
    const auto cancelPending = [&](size_t id) {
        const DeviceSlot* slot = deviceSlot(static_cast<int32_t>(id));
        if (slot != nullptr && slot->deviceHandle != platform::kInvalidDeviceHandle &&
            slot->deviceHandle != platform::kPlaceholderDeviceHandle) {
            platform::cancelIo(slot->deviceHandle);
        }
    };
    for (size_t id = 0; id < rows.size(); ++id) {
        AcquisitionThreadRow& row = rows[id];
        if (row.thread && row.state >= kWorkerIdle) {
            row.stopRequest = 1;
            if (row.startEvent) {
                row.startEvent->set();
            }
            cancelPending(id);
        }
    }
    // One time-out for all of them together.
    const platform::TimePoint deadline =
        platform::deadlineAfterMs(platform::clock(), kWorkerStopTimeoutMs);
    for (size_t id = 0; id < rows.size(); ++id) {
        AcquisitionThreadRow& row = rows[id];
        if (!row.thread) {
            continue;
        }
        const platform::TimePoint now = platform::now();
        const auto left =
            deadline > now
                ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()
                : 0;
        if (!row.thread->stop(static_cast<uint32_t>(left))) {
            // The slots and their blocks go next: no worker may outlive them.
            cancelPending(id);
            row.thread->join();
        }
        clearAcquisitionThreadRow(row);
    }
}

} // namespace tarvik
