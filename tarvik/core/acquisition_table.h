#pragma once
// AcquisitionThreadTable: one row per interface ID 0..15 (row 0 stays empty)
// for the slot's acquisition worker. The rows are set up at load and stopped
// at unload here; the workers themselves are started by the initialise and
// run by the acquisition engine.

#include "core/locks.h"

#include "platform/event.h"
#include "platform/thread.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tarvik {

// Worker states.
inline constexpr int32_t kWorkerNone = 0;
inline constexpr int32_t kWorkerIdle = 1; // waiting for its start event
inline constexpr int32_t kWorkerStarted = 2;
inline constexpr int32_t kWorkerDone = 3;

inline constexpr uint32_t kWorkerStopTimeoutMs = 5000;

struct AcquisitionThreadRow {
    std::unique_ptr<platform::Thread> thread; // none: no worker
    uint32_t threadId = 0;
    std::unique_ptr<platform::Event> startEvent; // auto-reset; none = closed
    std::unique_ptr<platform::Event> doneEvent;  // none = closed
    std::atomic<int32_t> stopRequest{0};
    std::atomic<int32_t> exited{0};
    std::atomic<int32_t> state{kWorkerNone};
    std::atomic<int32_t> result{0}; // 0 ok, -1 error, a driver warning code 194..199
    uint8_t demo = 0;               // synthetic data instead of the board
    // The device handle + 1 of the scan command the worker has in flight, 0
    // when none: read without the DeviceLock, which its caller holds.
    std::atomic<uint64_t> scanInFlight{0};
};

struct AcquisitionThreadTable {
    std::array<AcquisitionThreadRow, 16> rows;
};

// Closes the events, clears the fields; the row's thread must have ended.
void clearAcquisitionThreadRow(AcquisitionThreadRow& row);
// Every row without worker (at load).
void resetAcquisitionThreadTable(AcquisitionThreadTable& table);
// Asks every worker to end and waits up to 5000 ms in all; rows whose worker
// ended are cleared, the others keep their worker (it is joined when the table
// goes).
void StopAllAcquisitionThreads();

// Cancels the scan command that the worker of the ID (0: of every ID) has in
// flight; true when there was one. Needs no lock.
bool CancelScanInFlight(int32_t interfaceId);
// Takes the DeviceLock for a close or the unload of the ID (0: all). While
// another thread holds it, the close waits, ahead of every thread that asks
// for the lock after it, up to the workers' stop time-out
// on the platform clock; after that it cancels the scan command of the ID in
// flight (again, should a new one start), so that an acquisition waiting for
// a board that never answers gives the lock up. The close would cancel that
// command anyway.
std::unique_lock<DeviceLock> LockDeviceForClose(int32_t interfaceId);

} // namespace tarvik
