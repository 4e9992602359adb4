#include "acquisition/acquisition_worker.h"

#include "core/last_error.h"
#include "core/library_state.h"

#include "platform/clock.h"
#include "platform/device.h"
#include "platform/event.h"
#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>

namespace tarvik {
namespace {

constexpr uint16_t kWarnFifoFull = 194;
constexpr uint16_t kWarnFifoOverflow = 195;
constexpr uint16_t kWarnSpecBufferOverflow = 196;
constexpr uint16_t kWarnFifoNotEmpty = 197;
constexpr uint16_t kWarnAdcUnderflow = 198;
constexpr uint16_t kWarnAdcOverflow = 199;

constexpr uint16_t kMaskAdc = 0x1;
constexpr uint16_t kMaskSpecBuffer = 0x2;
constexpr uint16_t kMaskFifo = 0x4;

constexpr uint32_t kRandomRange = 32768; // the C library's classic 0..32767

// Sets the seeds of workers that make demo scans at the same moment apart.
std::atomic<uint64_t> g_demoSeedSalt{0};

AcquisitionThreadRow* rowOf(int32_t interfaceId) {
    LibraryState* state = libraryState();
    if (state == nullptr || interfaceId < 1 || interfaceId > kMaxInterfaceId) {
        return nullptr;
    }
    return &state->acquisitionThreads.rows[static_cast<size_t>(interfaceId)];
}

int32_t runScanCommand(int32_t interfaceId, bool demo) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr || slot->block() == nullptr) {
        recordError(interfaceId, KORAL_LEVEL_DEVICE, code::kDeviceIo, 0);
        return -1;
    }
    DeviceRequestBlock* block = slot->block();
    if (demo) {
        const auto ticks =
            static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        fillDemoScan(*block, ticks + g_demoSeedSalt.fetch_add(1));
        return 0;
    }
    const uint32_t length = KORAL_REQUEST_BLOCK_SIZE + slot->extraBytes;
    std::atomic<uint64_t>& inFlight =
        libraryState()->acquisitionThreads.rows[static_cast<size_t>(interfaceId)].scanInFlight;
    inFlight.store(uint64_t{slot->deviceHandle} + 1, std::memory_order_release);
    const bool sent = platform::deviceIoControl(slot->deviceHandle, IOCTL_BOARD_GET_SCANS, block,
                                                length, block, length, nullptr);
    inFlight.store(0, std::memory_order_release);
    if (!sent) {
        recordError(interfaceId, KORAL_LEVEL_DEVICE, code::kDeviceIo, 0);
        return -1;
    }
    if (block->Status != 0) {
        recordError(interfaceId, KORAL_LEVEL_HARDWARE, block->Status, block->StatusInfo);
        return -1;
    }
    return mapDriverWarning(interfaceId, block->WarningCode, slot->warningMask);
}

uint32_t acquisitionThreadProc(platform::Thread& self, AcquisitionThreadTable& table,
                               int32_t interfaceId) {
    AcquisitionThreadRow& row = table.rows[static_cast<size_t>(interfaceId)];
    row.state = kWorkerIdle;
    self.signalRunning();
    for (;;) {
        // A stop of the thread object ends the wait as a stop request does.
        const platform::WaitResult woken = row.startEvent->wait(platform::kInfinite);
        if (row.stopRequest != 0 || woken != platform::WaitResult::Signalled) {
            row.state = kWorkerDone;
            row.exited = 1;
            row.doneEvent->set();
            return 0;
        }
        row.result = runScanCommand(interfaceId, row.demo != 0);
        row.state = kWorkerDone;
        row.doneEvent->set();
    }
}

} // namespace

int32_t mapDriverWarning(int32_t interfaceId, uint16_t warning, uint16_t warningMask) {
    if (warning == 0) {
        return 0;
    }
    int32_t level = KORAL_LEVEL_HARDWARE;
    bool recorded = true;
    switch (warning) {
    case kWarnFifoFull:
        level = KORAL_LEVEL_WARNING_LOST;
        break;
    case kWarnFifoOverflow:
        level = KORAL_LEVEL_WARNING_LOST;
        recorded = (warningMask & kMaskFifo) != 0;
        break;
    case kWarnSpecBufferOverflow:
        level = KORAL_LEVEL_WARNING_LOST;
        recorded = (warningMask & kMaskSpecBuffer) != 0;
        break;
    case kWarnFifoNotEmpty:
        level = KORAL_LEVEL_HARDWARE;
        break;
    case kWarnAdcUnderflow:
    case kWarnAdcOverflow:
        level = KORAL_LEVEL_WARNING_PIXELS;
        recorded = (warningMask & kMaskAdc) != 0;
        break;
    default:
        break;
    }
    if (!recorded) {
        return 0;
    }
    recordError(interfaceId, level, warning, 0);
    return warning;
}

uint32_t demoPixelValue(uint16_t integrationCount, uint32_t pixel, uint32_t random15) {
    return (static_cast<uint32_t>(integrationCount) + 20u * pixel) * 100u + random15 / 10u;
}

void fillDemoScan(DeviceRequestBlock& block, uint64_t seed) {
    // Our own 15-bit source: rand() runs to 2^31 - 1 here, which would push
    // the noise term far past the 0..3276 the demo data is made of.
    std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(seed % 2147483646u + 1u));
    const uint16_t count = block.AcqIntCnts;
    for (uint32_t i = 0; i < KORAL_SCAN_DATA_PIXELS; ++i) {
        const uint32_t random15 = static_cast<uint32_t>(generator()) % kRandomRange;
        const uint32_t value = demoPixelValue(count, i, random15);
        // The block is packed: no aligned store into it.
        std::memcpy(reinterpret_cast<uint8_t*>(&block) + offsetof(DeviceRequestBlock, ScanData) +
                        4u * i,
                    &value, sizeof value);
    }
}

bool StartAcquisitionThread(int32_t interfaceId, uint32_t boardType, uint8_t demo) {
    AcquisitionThreadRow* row = rowOf(interfaceId);
    if (row == nullptr) {
        return false;
    }
    AcquisitionThreadTable& table = libraryState()->acquisitionThreads;
    row->startEvent = std::make_unique<platform::Event>(platform::ResetMode::Auto);
    row->doneEvent = std::make_unique<platform::Event>(
        boardType == kTypeIsa ? platform::ResetMode::Manual : platform::ResetMode::Auto);
    row->stopRequest = 0;
    row->exited = 0;
    row->result = 0;
    row->demo = boardType == kTypeIsa ? 0 : demo;
    row->thread = std::make_unique<platform::Thread>();
    const bool started = row->thread->start(
        [&table, interfaceId](platform::Thread& self) {
            return acquisitionThreadProc(self, table, interfaceId);
        },
        platform::kInfinite);
    if (!started) {
        clearAcquisitionThreadRow(*row);
        return false;
    }
    row->threadId = row->thread->id();
    return true;
}

void StopAcquisitionThread(int32_t interfaceId) {
    LibraryState* state = libraryState();
    AcquisitionThreadRow* row = rowOf(interfaceId);
    if (state == nullptr || row == nullptr || state->openInterfaces <= 0 || !row->thread ||
        row->state < kWorkerIdle) {
        return;
    }
    row->stopRequest = 1;
    row->startEvent->set();
    const DeviceSlot* slot = deviceSlot(interfaceId);
    const platform::DeviceHandle handle =
        slot != nullptr ? slot->deviceHandle : platform::kInvalidDeviceHandle;
    const auto cancelPending = [handle] {
        if (handle != platform::kInvalidDeviceHandle &&
            handle != platform::kPlaceholderDeviceHandle) {
            platform::cancelIo(handle);
        }
    };
    cancelPending();
    if (!row->thread->stop(kWorkerStopTimeoutMs)) {
        // The caller frees the slot and its block next: the worker must not
        // outlive them, whatever the time-out says.
        cancelPending();
        row->thread->join();
    }
    clearAcquisitionThreadRow(*row);
}

bool InitializeType8Scaling(int32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr || slot->boardType != kTypeUsb2 || slot->hotPlug == 0) {
        return false;
    }
    constexpr size_t kScaleBytes = 810; // bytes 42..46 of the boot image
    for (size_t k = 0; k < slot->type8Scale.size(); ++k) {
        const uint8_t byte = slot->configuration[kScaleBytes + k];
        if (byte == 0) {
            break;
        }
        slot->type8Scale[k] = 65535.0 / (static_cast<double>(byte) * 243.0);
    }
    return true;
}

} // namespace tarvik
