// Burst and buffered acquisition. The setters write the slot and its request
// block and send them; the acquisitions go through the one engine.

#include "acquisition/burst.h"

#include "acquisition/acquire_spectra.h"
#include "acquisition/measurement_parameters.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "tarvik.h"
#include "tarvik_request_block.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <mutex>

namespace tarvik {
namespace {

constexpr const char* kSetBurstName = "KORAL_ParaSetBurstNumber";
constexpr const char* kSetBurstExtName = "KORAL_ParaSetBurstNumberExt";
constexpr const char* kBurstName = "KORAL_GetSpectraBurst";
constexpr const char* kBurstLongName = "KORAL_GetSpectraBurstLong";
constexpr const char* kSpecBufferName = "KORAL_ParaSetSpecBuffer";
constexpr const char* kBufferedName = "KORAL_GetBufferedSpectra";
constexpr const char* kTimerName = "KORAL_ParaSetHardwareTimer";
constexpr const char* kTimeStampName = "KORAL_GetStoredTimeStamp";

constexpr uint16_t kAcquisitionBurst = 2;
constexpr int32_t kSpecBufferMaximum = 256;
constexpr int32_t kTimerMaximum = 0xFFFF;

constexpr std::initializer_list<uint32_t> kBurstBoardTypes{kTypeIsa, kTypePci, kTypeBoard5,
                                                           kTypeUsb, kType111};

bool oneOf(uint32_t value, std::initializer_list<uint32_t> allowed) {
    return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

bool burstWorkMode(uint16_t mode) {
    return (mode >= 1 && mode <= 5) || (mode >= 8 && mode <= 13) ||
           oneOf(mode, {0xFF01, 0xFF02, 0xFF03, 0xFF04, 0xFF26});
}

bool bufferedWorkMode(uint16_t mode, bool readOut) {
    return mode == 7 || mode == 0xFF21 || mode == 0xFF25 || (readOut && mode == 0xFF20);
}

bool clampBurstNumber(int32_t& n) {
    const int32_t limited = std::clamp(n, 1, kBurstNumberMaximum);
    const bool clamped = limited != n;
    n = limited;
    return clamped;
}

// The burst setters' common part; `clamp` limits *n (and says whether it
// did) once the slot passed its checks. With keepOnLimit a value that needs
// limiting is refused with the same record and changes nothing. *changed says
// whether the slot took the burst, sent or not.
template <class Clamp>
int32_t setBurst(const char* name, int32_t* n, uint32_t interfaceId,
                 std::initializer_list<uint32_t> boardTypes, bool (*modeAllowed)(uint16_t),
                 uint16_t blocks, Clamp&& clamp, bool keepOnLimit = false,
                 bool* changed = nullptr) {
    return runExport(name, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(name, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(name);
        }
        if (!oneOf(slot->boardType, boardTypes)) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidInterfaceType);
        }
        DeviceRequestBlock& block = *slot->block();
        if (!modeAllowed(block.WorkMode)) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                              code::kFunctionNotSupported);
        }
        if (n == nullptr) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        int32_t limited = *n;
        const bool clamped = clamp(limited);
        if (clamped && keepOnLimit) {
            return failExport(name, id, KORAL_LEVEL_LIMITED_VALUE, code::kInvalidParameter, 0);
        }
        *n = limited;
        slot->burstNumber = static_cast<uint32_t>(*n);
        slot->averageNumber = 1;
        block.AcquisitionMode = kAcquisitionBurst;
        block.NumScans = static_cast<uint16_t>(*n);
        block.BurstBlocks = blocks;
        if (changed != nullptr) {
            *changed = true;
        }
        if (clamped) {
            // The limited value is in force and goes to the board; a failed
            // send then leaves its own record.
            failExport(name, id, KORAL_LEVEL_LIMITED_VALUE, code::kInvalidParameter, 0);
        }
        if (SendDeviceCommand(KORAL_CMD_INIT) != 0) {
            return failExport(name);
        }
        return clamped ? -1 : 0;
    });
}

// The data area as far as the block really holds it.
uint32_t dataAreaWords(const DeviceSlot& slot) {
    const size_t size = slot.requestBlock.size();
    const size_t room =
        size > KORAL_REQUEST_BLOCK_DATA_OFFSET ? (size - KORAL_REQUEST_BLOCK_DATA_OFFSET) / 2 : 0;
    return static_cast<uint32_t>(std::min<size_t>(slot.block()->DataLength, room));
}

// A burst whose words go to out through store(out, index, word).
template <class Out, class Store>
int32_t burstInto(const char* name, int32_t n, Out* out, uint32_t interfaceId, Store&& store) {
    return runExport(name, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (id < 1 || id > kMaxInterfaceId) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidInterfaceId);
        }
        std::lock_guard guard(deviceLock());
        const LibraryState& state = *libraryState();
        if (deviceSlot(id) == nullptr || state.actualInterfaceId == 0) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        if (out == nullptr) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        if (AcquireBurst(n, id) != 0) {
            return failExport(name);
        }
        const DeviceSlot* slot = deviceSlot(id);
        const uint32_t words = dataAreaWords(*slot);
        const uint8_t* data = slot->data();
        for (uint32_t i = 0; i < words; ++i) {
            uint16_t word = 0;
            std::memcpy(&word, data + 2 * size_t{i}, sizeof word);
            store(out, i, word);
        }
        return 0;
    });
}

} // namespace

int32_t AcquireBurst(int32_t n, int32_t interfaceId) {
    if (CheckInterfaceState(kCheckSlotExists, interfaceId) != 0) {
        return -1;
    }
    std::lock_guard guard(deviceLock());
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return -1;
    }
    const auto savedBurst = static_cast<int32_t>(slot->burstNumber);
    const auto savedAverage = static_cast<int32_t>(slot->averageNumber);
    const uint16_t savedMode = slot->block()->AcquisitionMode;
    const auto id = static_cast<uint32_t>(interfaceId);
    bool changed = false;
    int32_t set = 0;
    {
        ErrorBoxOff boxOff;
        set = setBurst(kSetBurstName, &n, id, kBurstBoardTypes, &burstWorkMode, 1,
                       &clampBurstNumber, true, &changed);
    }
    if (set != 0 && !changed) {
        // Refused before the slot changed (a burst number out of range):
        // the caller's averaging and burst stay as they were.
        return -1;
    }
    // A burst whose INIT the driver refused is in the slot all the same.
    const bool acquired = set == 0 && AcquireSpectra(kAcquireSpectra, interfaceId) == 0;
    if (!acquired) {
        SaveLastError();
    }
    // However the burst ended, the slot gets its mode back. The setters put
    // the slot and its block back before they send: a board that is gone
    // refuses the send and gets them when it comes back.
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        int32_t restored = savedMode == kAcquisitionBurst ? savedBurst : savedAverage;
        result = savedMode == kAcquisitionBurst ? KORAL_ParaSetBurstNumber(&restored, id)
                                                : KORAL_ParaSetAverageNumber(&restored, id);
    }
    if (!acquired) {
        RestoreLastError(); // the burst's failure, not the restore's
        return -1;
    }
    return result == 0 ? 0 : -1;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ParaSetBurstNumber(int32_t* burstNumber, uint32_t interfaceId) {
    return setBurst(kSetBurstName, burstNumber, interfaceId, kBurstBoardTypes, &burstWorkMode, 1,
                    &clampBurstNumber);
}

extern "C" int32_t KORAL_ParaSetBurstNumberExt(int32_t* burstNumber, int32_t blocks,
                                               uint32_t interfaceId) {
    // Blocks outside 1..30000 would be stored wrapped to 16 bits and let the
    // data area grow without bound: refused before anything changes.
    if (blocks < 1 || blocks > kBurstNumberMaximum) {
        return runExport(kSetBurstExtName, [&] {
            return failExport(kSetBurstExtName, static_cast<int32_t>(interfaceId),
                              KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        });
    }
    return setBurst(
        kSetBurstExtName, burstNumber, interfaceId, {kTypePci},
        [](uint16_t mode) { return mode == 0xFF26; }, static_cast<uint16_t>(blocks),
        [blocks](int32_t& n) {
            int32_t limited = n;
            if (int64_t{n} * blocks > kBurstNumberMaximum) {
                limited = kBurstNumberMaximum / blocks;
            }
            limited = std::max(limited, 1);
            const bool clamped = limited != n;
            n = limited;
            return clamped;
        });
}

extern "C" int32_t KORAL_GetSpectraBurst(int32_t burstNumber, uint16_t* wordsOut,
                                         uint32_t interfaceId) {
    return burstInto(kBurstName, burstNumber, wordsOut, interfaceId,
                     [](uint16_t* out, uint32_t i, uint16_t word) { out[i] = word; });
}

extern "C" int32_t KORAL_GetSpectraBurstLong(int32_t burstNumber, uint32_t* valuesOut,
                                             uint32_t interfaceId) {
    return burstInto(kBurstLongName, burstNumber, valuesOut, interfaceId,
                     [](uint32_t* out, uint32_t i, uint16_t word) {
                         out[i] = static_cast<uint32_t>(int32_t{static_cast<int16_t>(word)});
                     });
}

extern "C" int32_t KORAL_ParaSetSpecBuffer(int32_t depth, uint32_t interfaceId) {
    return runExport(kSpecBufferName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kSpecBufferName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (depth < 1 || depth > kSpecBufferMaximum) {
            return failExport(kSpecBufferName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kSpecBufferName);
        }
        if (!bufferedWorkMode(slot->block()->WorkMode, false)) {
            return failExport(kSpecBufferName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidWorkMode);
        }
        slot->block()->RingCapacity = static_cast<uint16_t>(depth);
        const int32_t result = SendDeviceCommand(KORAL_CMD_INIT);
        if (result != 0) {
            failExport(kSpecBufferName);
        }
        return result;
    });
}

extern "C" int32_t KORAL_GetBufferedSpectra(uint32_t* scansHeld, uint32_t* scansLost,
                                            uint32_t interfaceId) {
    return runExport(kBufferedName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (id == 0) {
            return failExport(kBufferedName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidInterfaceId);
        }
        if (scansHeld == nullptr || scansLost == nullptr) {
            return failExport(kBufferedName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        if (checkInterfaceForExport(kBufferedName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kBufferedName);
        }
        if (!bufferedWorkMode(slot->block()->WorkMode, true)) {
            return failExport(kBufferedName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidWorkMode);
        }
        const int32_t result = AcquireSpectra(kAcquireSpectra, id);
        if (result != -1) {
            // The board's counters are signed 16-bit values.
            const DeviceRequestBlock& block = *deviceSlot(id)->block();
            *scansHeld = static_cast<uint32_t>(int32_t{static_cast<int16_t>(block.ScansInRing)});
            *scansLost = static_cast<uint32_t>(int32_t{static_cast<int16_t>(block.ScansLost)});
        }
        if (result != 0) {
            failExport(kBufferedName);
        }
        return result;
    });
}

extern "C" int32_t KORAL_ParaSetHardwareTimer(int32_t preCount, int32_t intervalCount,
                                              uint32_t interfaceId) {
    return runExport(kTimerName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kTimerName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        const DeviceSlot* typed = deviceSlot(id);
        if (typed == nullptr || typed->boardType != kTypePci) {
            return failExport(kTimerName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidInterfaceType);
        }
        if (preCount < 0 || preCount > kTimerMaximum || intervalCount < 0 ||
            intervalCount > kTimerMaximum) {
            return failExport(kTimerName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kTimerName);
        }
        DeviceRequestBlock& block = *slot->block();
        block.PreCnts = static_cast<uint16_t>(preCount);
        block.AcqIntCnts = static_cast<uint16_t>(intervalCount);
        block.DelIntCnts = static_cast<uint16_t>(intervalCount);
        const int32_t result = SendDeviceCommand(KORAL_CMD_INIT);
        if (result != 0) {
            failExport(kTimerName);
        }
        return result;
    });
}

extern "C" int32_t KORAL_GetStoredTimeStamp(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    return runExport(kTimeStampName, [] {
        return failExport(kTimeStampName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                          code::kFunctionNotSupported);
    });
}
