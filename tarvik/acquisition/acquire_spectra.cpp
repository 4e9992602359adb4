#include "acquisition/acquire_spectra.h"

#include "acquisition/acquisition_worker.h"
#include "acquisition/digital_lines.h"
#include "acquisition/prepare_spectrum.h"
#include "acquisition/raw_data.h"
#include "core/device_command.h"
#include "core/device_features.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/light_source_module.h"
#include "serial/qre_link.h"

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/last_error.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

namespace tarvik {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr const char* kGetSpectraName = "KORAL_GetSpectra";
constexpr const char* kGetDarkCurrentName = "KORAL_GetDarkCurrent";
constexpr const char* kGetDarkShutterName = "KORAL_GetDarkCurrentWithShutter";

constexpr int32_t kCodeCloseShutter = 402;    // "NOT ABLE TO CLOSE SHUTTER"
constexpr int32_t kCodeOpenShutter = 403;     // "NOT ABLE TO OPEN SHUTTER"
constexpr uint32_t kRequestScansToData = 0x4; // block flag: scans into the data area
constexpr uint16_t kMuxModeMulti = 2;
constexpr uint32_t kCtrlOneSwitchPerPass = 0x1;
constexpr uint32_t kCtrlAlternate = 0x2;

constexpr AcquisitionHooks kDefaultHooks{.prepareSpectrumData = &PrepareSpectrumData,
                                         .setDigOutput = &SetDigOutputLine,
                                         .lampShutter = &LampShutter,
                                         .slotHasLightSourceModule = &SlotHasLightSourceModule,
                                         .lampComponentPresent = &LampComponentPresent};
AcquisitionHooks g_hooks = kDefaultHooks;

bool isBoardType(uint32_t type) {
    return type == kTypeIsa || type == kTypePci || type == kTypeBoard5 || type == kTypeUsb ||
           type == kTypeUsb2 || type == kType111;
}

bool isSwitchedMux(uint32_t muxType) {
    return muxType == 6 || muxType == 7 || muxType == 9;
}

bool isMultiChannel(const DeviceSlot& slot) {
    return slot.muxPresent != 0 && slot.block()->MuxMode == kMuxModeMulti;
}

bool hasDarkPixels(const DeviceSlot& slot) {
    return slot.darkPixelRangeOn != 0;
}

void recordSerialMuxFailure(int32_t id, int32_t result) {
    const int32_t info = result > 0 ? result + 1000 : result == -2 ? code::kMuxKrTimeout : 0;
    recordError(id, KORAL_LEVEL_NOT_DONE, code::kMuxKrdCommunication, info);
}

// Output 2 drives the optical multiplexer.
int32_t setOpticalMuxLine(int32_t value, int32_t id) {
    if (g_hooks.setDigOutput == nullptr) {
        return 0;
    }
    ErrorBoxOff boxOff;
    return g_hooks.setDigOutput(2, value, id);
}

// The optical multiplexer's switch of pass 2 (alternating or to channel 2).
int32_t switchOpticalMux(DeviceSlot& slot, int32_t id, const LibraryState& state) {
    const bool alternate = (state.mux7wenCtrlMode & kCtrlAlternate) != 0;
    const int32_t value = alternate ? (slot.muxChannel == 1 ? 1 : 0) : 1;
    if (setOpticalMuxLine(value, id) != 0) {
        return -1;
    }
    platform::sleepMs(static_cast<uint32_t>(std::max(state.mux7wenDelayTime, 0)));
    slot.muxChannel = alternate ? (slot.muxChannel == 1 ? 2 : 1) : 2;
    return 0;
}

// The workers started in a pass, in start order; at most one per slot, kept
// without allocating since every spectrum starts one.
class StartedWorkers {
public:
    void add(int32_t id, platform::Event* done) {
        ids_[count_] = id;
        events_[count_] = done;
        ++count_;
    }
    bool empty() const { return count_ == 0; }
    std::span<platform::Waitable* const> events() const { return {events_.data(), count_}; }
    // Takes entry i out, keeping the order of the others; its ID and event.
    std::pair<int32_t, platform::Event*> take(size_t i) {
        const std::pair<int32_t, platform::Event*> taken{ids_[i],
                                                         static_cast<platform::Event*>(events_[i])};
        for (size_t k = i + 1; k < count_; ++k) {
            ids_[k - 1] = ids_[k];
            events_[k - 1] = events_[k];
        }
        --count_;
        return taken;
    }
    // Waits for workers started before a failure so none scans on
    // unobserved; their results are dropped with the call.
    void drain() {
        while (!empty()) {
            platform::Event* done = take(0).second;
            done->wait(platform::kInfinite);
            done->reset();
        }
    }

private:
    std::array<int32_t, kMaxInterfaceId> ids_{};
    std::array<platform::Waitable*, kMaxInterfaceId> events_{};
    size_t count_ = 0;
};

class BoardAcquisition {
public:
    BoardAcquisition(int32_t mode, int32_t id, LibraryState& state)
        : mode_(mode), id_(id), state_(state) {}

    int32_t run() {
        for (;;) {
            if (startPass() != 0) {
                started_.drain();
                return -1;
            }
            if (!awaitPass()) {
                return -1;
            }
            if (switchBack() != 0 || errorSeen_) {
                return -1;
            }
            if (!muxInvolved_ || pass_ >= passes_ || !severalChannels_) {
                return warningSeen_ ? -2 : 0;
            }
            ++pass_;
        }
    }

private:
    bool selected(const DeviceSlot* slot, int32_t s) const {
        return slot != nullptr && (id_ == 0 || id_ == s) && slot->active != 0;
    }

    int32_t switchMux(DeviceSlot& slot, int32_t s) {
        if (!isSwitchedMux(slot.muxType) || slot.muxChannel > slot.muxChannels) {
            return 0;
        }
        muxInvolved_ = true;
        if (slot.block()->MuxMode != kMuxModeMulti) {
            return 0;
        }
        if (slot.muxChannels > 1) {
            severalChannels_ = true;
            passes_ = std::max(passes_, static_cast<int32_t>(slot.muxChannels));
        }
        if (slot.muxType == 7 || slot.muxType == 9) {
            const int32_t result = SelectMuxChannelSerial(pass_, s);
            if (result != 0) {
                recordSerialMuxFailure(id_, result);
                return -1;
            }
        } else if (pass_ == 2 && !switchedThisPass_) {
            if (switchOpticalMux(slot, s, state_) != 0) {
                return -1;
            }
            switchedThisPass_ = (state_.mux7wenCtrlMode & kCtrlOneSwitchPerPass) != 0;
        }
        return 0;
    }

    int32_t startPass() {
        switchedThisPass_ = false;
        for (int32_t s = 1; s <= kMaxInterfaceId; ++s) {
            DeviceSlot* slot = deviceSlot(s);
            if (!selected(slot, s)) {
                continue;
            }
            if (slot->initialised == 0) {
                recordError(s, KORAL_LEVEL_NOT_DONE, code::kNotInitialized, 0);
                return -1;
            }
            if (mode_ == kAcquireDarkCurrent && hasDarkPixels(*slot)) {
                continue;
            }
            if (mode_ == kAcquireSpectra && pass_ == 1) {
                ResetChannelIntensityLimits(s);
            }
            if (switchMux(*slot, s) != 0) {
                return -1;
            }
            AcquisitionThreadRow& row = state_.acquisitionThreads.rows[static_cast<size_t>(s)];
            if (!row.startEvent || !row.doneEvent) {
                // Initialised without a worker: nothing would ever answer.
                recordError(s, KORAL_LEVEL_NOT_DONE, kCodeAcqThread, 0);
                return -1;
            }
            const uint32_t words = PrepareDataArea(mode_, *slot, &savedModes_[s]);
            if (words == std::numeric_limits<uint32_t>::max()) {
                recordError(s, KORAL_LEVEL_MEMORY, code::kReallocMemory, 0);
                return -1;
            }
            if (ResizeRequestBlock(s, words) != 0) {
                return -1;
            }
            started_.add(s, row.doneEvent.get());
            row.state = kWorkerStarted;
            row.startEvent->set();
        }
        return 0;
    }

    bool awaitPass() {
        while (!started_.empty()) {
            const platform::WaitAnyResult waited =
                platform::waitForAny(started_.events(), platform::kInfinite);
            if (waited.result != platform::WaitResult::Signalled) {
                recordError(0, KORAL_LEVEL_NOT_DONE, kCodeAcqThread,
                            platformErrorInfo(platform::lastError()));
                started_.drain();
                return false;
            }
            const auto [id, event] = started_.take(waited.index);
            event->reset();
            finishSlot(id);
        }
        return true;
    }

    void finishSlot(int32_t s) {
        DeviceSlot* slot = deviceSlot(s);
        const int32_t result = state_.acquisitionThreads.rows[static_cast<size_t>(s)].result;
        if (mode_ == kAcquireDarkCurrent) {
            slot->block()->AcquisitionMode = savedModes_[s];
        }
        if (result < 0) {
            errorSeen_ = true;
            return;
        }
        state_.actualInterfaceId = s;
        if (mode_ == kAcquireSpectra) {
            StampRecordTime(s);
        }
        if (g_hooks.prepareSpectrumData != nullptr) {
            bool prepared = true;
            if (slot->boardType == kTypeUsb2) {
                prepared = g_hooks.prepareSpectrumData(kPrepareDarkCurrent) == 0;
            }
            prepared = g_hooks.prepareSpectrumData(mode_) == 0 && prepared;
            errorSeen_ = errorSeen_ || !prepared;
        }
        if (result >= 1) {
            warningSeen_ = true;
        }
    }

    int32_t switchBack() {
        bool lineSwitched = false;
        for (int32_t s = 1; s <= kMaxInterfaceId; ++s) {
            DeviceSlot* slot = deviceSlot(s);
            if (!selected(slot, s) || slot->initialised == 0 ||
                (mode_ == kAcquireDarkCurrent && hasDarkPixels(*slot)) ||
                !isSwitchedMux(slot->muxType) || slot->muxChannel > slot->muxChannels ||
                slot->block()->MuxMode != kMuxModeMulti) {
                continue;
            }
            if (slot->muxType == 7 || slot->muxType == 9) {
                if (slot->muxChannel >= slot->muxChannels) {
                    const int32_t result = SelectMuxChannelSerial(1, s);
                    if (result != 0) {
                        recordSerialMuxFailure(id_, result);
                        return -1;
                    }
                }
            } else if (pass_ == 2 && (state_.mux7wenCtrlMode & kCtrlAlternate) == 0) {
                if (!lineSwitched) {
                    if (setOpticalMuxLine(0, s) != 0) {
                        return -1;
                    }
                    platform::sleepMs(static_cast<uint32_t>(std::max(state_.mux7wenDelayTime, 0)));
                    lineSwitched = (state_.mux7wenCtrlMode & kCtrlOneSwitchPerPass) != 0;
                }
                slot->muxChannel = 1;
            }
        }
        return 0;
    }

    const int32_t mode_;
    const int32_t id_;
    LibraryState& state_;
    int32_t pass_ = 1;
    int32_t passes_ = 1;
    bool muxInvolved_ = false;
    bool severalChannels_ = false;
    bool switchedThisPass_ = false;
    bool warningSeen_ = false;
    bool errorSeen_ = false;
    StartedWorkers started_;
    std::array<uint16_t, kSlotCount> savedModes_{};
};

int32_t serialAcquisition(int32_t mode, int32_t id, LibraryState& state) {
    bool muxInvolved = false;
    bool severalChannels = false;
    bool warningSeen = false;
    const auto matching = [id](const DeviceSlot* slot, int32_t s) {
        return slot != nullptr && (id == 0 || id == s) && slot->initialised != 0 &&
               slot->active != 0;
    };
    for (int32_t pass = 1; pass <= 2; ++pass) {
        for (int32_t s = 1; s <= kMaxInterfaceId; ++s) {
            DeviceSlot* slot = deviceSlot(s);
            if (!matching(slot, s) || (mode == kAcquireDarkCurrent && hasDarkPixels(*slot))) {
                continue;
            }
            if (mode == kAcquireSpectra && pass == 1) {
                ResetChannelIntensityLimits(s);
            }
            if (slot->muxType != 6) {
                continue;
            }
            muxInvolved = true;
            severalChannels = severalChannels || (isMultiChannel(*slot) && slot->muxChannels > 1);
            if (pass >= 2) {
                const bool alternate = (state.mux7wenCtrlMode & kCtrlAlternate) != 0;
                if (setOpticalMuxLine(alternate ? (slot->muxChannel == 1 ? 1 : 0) : 1, s) != 0) {
                    return -1;
                }
                WaitMuxSwitchDelay(state.actualInterfaceId, state.mux7wenDelayTime, 1);
            }
        }
        const int32_t acquired = AcquireQreSpectra(id);
        if (acquired == -2) {
            warningSeen = true;
        } else if (acquired != 0) {
            return -1;
        }
        for (int32_t s = 1; pass >= 2 && s <= kMaxInterfaceId; ++s) {
            DeviceSlot* slot = deviceSlot(s);
            if (matching(slot, s) && slot->muxType == 6 && isMultiChannel(*slot)) {
                if (setOpticalMuxLine(0, s) != 0) {
                    return -1;
                }
                WaitMuxSwitchDelay(state.actualInterfaceId, state.mux7wenDelayTime, 1);
            }
        }
        const int32_t savedActual = state.actualInterfaceId;
        bool failed = false;
        for (int32_t s = 1; s <= kMaxInterfaceId; ++s) {
            DeviceSlot* slot = deviceSlot(s);
            if (!matching(slot, s) || (mode == kAcquireDarkCurrent && hasDarkPixels(*slot))) {
                continue;
            }
            state.actualInterfaceId = s;
            if (mode == kAcquireSpectra) {
                StampRecordTime(s);
            }
            if (g_hooks.prepareSpectrumData != nullptr && g_hooks.prepareSpectrumData(mode) != 0) {
                failed = true;
            }
            if (pass == 2 && slot->muxType == 6 && isMultiChannel(*slot)) {
                slot->muxChannel = 1;
            }
        }
        state.actualInterfaceId = savedActual;
        if (failed) {
            return -1;
        }
        if (!muxInvolved || !severalChannels) {
            break;
        }
    }
    return warningSeen ? -2 : 0;
}

// The channels (1-based) the last acquisition of the slot filled.
std::vector<int32_t> filledChannels(const DeviceSlot& slot) {
    const DeviceRequestBlock& block = *slot.block();
    std::vector<int32_t> channels;
    const auto upTo = [&channels](int32_t last) {
        for (int32_t c = 1; c <= last; ++c) {
            channels.push_back(c);
        }
    };
    if (block.MuxMode != kMuxModeMulti) {
        channels.push_back(block.MuxChanNum);
    } else if (slot.muxType == 0) {
    } else if (slot.muxType == 2 || slot.muxType == 4) {
        channels = {1, block.MuxChanNum};
    } else if (isSwitchedMux(slot.muxType)) {
        upTo(static_cast<int32_t>(slot.muxChannels));
    } else {
        upTo(block.MuxChanNum);
    }
    return channels;
}

int32_t reportResult(const char* name, int32_t result) {
    if (result == 0) {
        return 0;
    }
    recordFunctionName(name);
    ShowErrorMessage();
    return result == -2 ? -2 : -1;
}

// The spectrum and dark-current exports with the shutter around the
// acquisition: `shutterOpen` is the shutter's state during the acquisition.
int32_t acquireWithShutter(const char* name, int32_t mode, int32_t id, uint32_t delayMs,
                           bool shutterAround, int32_t shutterDuring) {
    std::lock_guard guard(deviceLock());
    if (shutterAround && SetAcquisitionShutter(id, delayMs, shutterDuring) != 0) {
        return failExport(name);
    }
    const int32_t result = AcquireSpectra(mode, id);
    if (result == -1) {
        SaveLastError();
    }
    if (shutterAround && SetAcquisitionShutter(id, delayMs, shutterDuring == 1 ? 0 : 1) != 0) {
        return failExport(name);
    }
    if (result == -1) {
        RestoreLastError();
    }
    return reportResult(name, result);
}

} // namespace

AcquisitionHooks& acquisitionHooks() {
    return g_hooks;
}

void resetAcquisitionHooks() {
    g_hooks = kDefaultHooks;
}

uint32_t PrepareDataArea(int32_t mode, DeviceSlot& slot, uint16_t* savedMode) {
    DeviceRequestBlock& block = *slot.block();
    const uint64_t pixels = block.NumberPixel2Long;
    const bool multi = isMultiChannel(slot);
    uint64_t words = 0;
    if (mode == kAcquireSpectra && block.AcquisitionMode == 2) {
        block.NumScans = static_cast<uint16_t>(slot.burstNumber);
        const uint64_t base = uint64_t{block.BurstBlocks} * slot.burstNumber * pixels;
        if (!multi) {
            words = base;
        } else if (slot.muxType == 2 || slot.muxType == 4) {
            words = base * 2;
        } else if (isSwitchedMux(slot.muxType)) {
            words = base;
        } else {
            words = base * block.MuxChanNum;
        }
    } else {
        if (mode == kAcquireDarkCurrent && savedMode != nullptr) {
            *savedMode = block.AcquisitionMode;
        }
        block.NumScans = static_cast<uint16_t>(slot.averageNumber);
        block.AcquisitionMode = slot.averageNumber < 2 ? 0 : 1;
        if ((block.RequestFlags & kRequestScansToData) == 0) {
            words = 0;
        } else if (!multi || isSwitchedMux(slot.muxType)) {
            words = pixels * 2;
        } else if (slot.muxType == 2 || slot.muxType == 4) {
            words = pixels * 4;
        } else {
            words = uint64_t{block.MuxChanNum} * pixels * 2;
        }
    }
    // A block past 4 GiB is refused as memory that cannot be had.
    const uint64_t limit = (std::numeric_limits<uint32_t>::max() - KORAL_REQUEST_BLOCK_SIZE) / 2;
    return words > limit ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(words);
}

int32_t AcquireSpectra(int32_t mode, int32_t interfaceId) {
    if (CheckInterfaceState(kCheckInitialised, interfaceId) != 0) {
        return -1;
    }
    const bool single = interfaceId >= 1 && interfaceId <= kMaxInterfaceId;
    if (mode == kAcquireDarkCurrent) {
        const DeviceSlot* slot = single ? deviceSlot(interfaceId) : nullptr;
        if (slot != nullptr && slot->boardType == kTypeUsb2) {
            recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                        code::kInvalidInterfaceType);
            return -1;
        }
        if (slot != nullptr && hasDarkPixels(*slot)) {
            recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kNotAvailable, code::kInvalidUse);
            return -1;
        }
    } else if (mode != kAcquireSpectra) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return -1;
    }
    std::lock_guard guard(deviceLock());
    LibraryState& state = *libraryState();
    if (single && (deviceSlot(interfaceId) == nullptr || state.actualInterfaceId == 0)) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return -1;
    }
    const uint32_t type = state.interfaceTypeInUse;
    if (isBoardType(type)) {
        return BoardAcquisition(mode, interfaceId, state).run();
    }
    if (type == kTypeSerial) {
        return serialAcquisition(mode, interfaceId, state);
    }
    recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kNotAvailable, code::kInvalidInterfaceType);
    return -1;
}

bool StampRecordTime(int32_t interfaceId) {
    const RecordTime time = localRecordTime();
    if (CheckInterfaceState(kCheckSlotExists, interfaceId) != 0) {
        return false;
    }
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return false;
    }
    Guard guard(rawDataLock());
    for (const int32_t channel : filledChannels(*slot)) {
        RawDataRecord* record = mappedRawDataRecord(*slot, channel - 1);
        if (record == nullptr) {
            return false;
        }
        stampRecordTime(*record, time);
    }
    return true;
}

namespace {

bool flashSwitchedOffInit = false;
std::array<uint8_t, kSlotCount> flashSwitchedOff{};

bool hasModule(int32_t id, int32_t kind) {
    return g_hooks.slotHasLightSourceModule != nullptr &&
           g_hooks.slotHasLightSourceModule(id, kind);
}

// One slot's shutter step; 0 or -1 with the record written.
int32_t shutterSlot(DeviceSlot& slot, int32_t s, bool lamp, bool flash, bool open) {
    const int32_t failCode = open ? kCodeOpenShutter : kCodeCloseShutter;
    if (lamp) {
        for (int32_t i = 1; i <= slot.componentCount; ++i) {
            if (g_hooks.lampComponentPresent == nullptr || !g_hooks.lampComponentPresent(s, i) ||
                g_hooks.lampShutter == nullptr) {
                continue;
            }
            ErrorBoxOff boxOff;
            if (g_hooks.lampShutter(s, i, open) != 0) {
                recordError(s, KORAL_LEVEL_NOT_DONE, failCode, i);
                return -1;
            }
        }
        return 0;
    }
    if (flash) {
        const auto setFlash = [s](int32_t mode) {
            if (g_hooks.setHardwareFlashMode == nullptr) {
                return 0;
            }
            ErrorBoxOff boxOff;
            return g_hooks.setHardwareFlashMode(mode, s);
        };
        uint8_t& switchedOff = flashSwitchedOff[static_cast<size_t>(s)];
        if (slot.block()->FlashHW != 1) {
            if (open && switchedOff != 0) {
                switchedOff = 0;
                return setFlash(1);
            }
        } else if (!open) {
            switchedOff = 1;
            return setFlash(0);
        }
        return 0;
    }
    if (libraryState()->interfaceTypeInUse == kTypeSerial && slot.muxType == 6) {
        return 0;
    }
    const int32_t value =
        open ? (slot.shutterPolarity == 1 ? 1 : 0) : (slot.shutterPolarity == 0 ? 1 : 0);
    int32_t result = 0;
    if (g_hooks.setDigOutput != nullptr) {
        ErrorBoxOff boxOff;
        result = g_hooks.setDigOutput(slot.muxType == 6 ? 1 : 2, value, s);
    }
    if (result != 0) {
        recordError(s, KORAL_LEVEL_NOT_DONE, failCode, 0);
        return -1;
    }
    return 0;
}

} // namespace

int32_t SetAcquisitionShutter(int32_t interfaceId, uint32_t delayMs, int32_t open) {
    if (CheckInterfaceState(kCheckInitialised, interfaceId) != 0) {
        return -1;
    }
    if (interfaceId < 0 || interfaceId > kMaxInterfaceId) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                    code::kInvalidInterfaceId);
        return -1;
    }
    std::lock_guard guard(deviceLock());
    LibraryState& state = *libraryState();
    const uint32_t type = state.interfaceTypeInUse;
    if (type != kTypeIsa && type != kTypeSerial && type != kTypePci && type != kTypeBoard5 &&
        type != kTypeUsb && type != kTypeUsb2) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                    code::kInvalidInterfaceType);
        return -1;
    }
    if (!flashSwitchedOffInit) {
        flashSwitchedOff.fill(0);
        flashSwitchedOffInit = true;
    }
    bool lamp = false;
    bool flash = false;
    if (interfaceId == 0) {
        lamp = hasModule(0, 0);
        flash = std::any_of(flashSwitchedOff.begin(), flashSwitchedOff.end(),
                            [](uint8_t b) { return b != 0; });
        for (int32_t s = 1; s <= kMaxInterfaceId && !flash; ++s) {
            const DeviceSlot* slot = deviceSlot(s);
            flash = slot != nullptr && slot->block()->FlashHW > 0;
        }
        flash = flash || hasModule(0, 1);
    }
    const int32_t savedActual = state.actualInterfaceId;
    for (int32_t s = 1; s <= kMaxInterfaceId; ++s) {
        DeviceSlot* slot = deviceSlot(s);
        if (slot == nullptr || (interfaceId != 0 && interfaceId != s) || slot->initialised == 0 ||
            slot->active == 0) {
            continue;
        }
        state.actualInterfaceId = s;
        if (interfaceId != 0) {
            lamp = hasModule(s, 0);
            flash = hasModule(s, 1) || slot->block()->FlashHW > 0 ||
                    flashSwitchedOff[static_cast<size_t>(s)] != 0;
        }
        if (shutterSlot(*slot, s, lamp, flash, open != 0) != 0) {
            state.actualInterfaceId = savedActual;
            return -1;
        }
    }
    state.actualInterfaceId = savedActual;
    return WaitAfterShutterSwitch(interfaceId, delayMs) ? 0 : -1;
}

bool WaitAfterShutterSwitch(int32_t interfaceId, uint32_t delayMs) {
    if (interfaceId < 0 || interfaceId > kMaxInterfaceId) {
        return false;
    }
    std::lock_guard guard(deviceLock());
    LibraryState& state = *libraryState();
    const uint32_t type = state.interfaceTypeInUse;
    if (type == kTypeSerial) {
        WaitMuxSwitchDelay(state.actualInterfaceId, static_cast<int32_t>(delayMs), 1);
        return true;
    }
    DelayMilliseconds(delayMs);
    if (type != kTypePci && type != kTypeBoard5 && type != kTypeUsb && type != kTypeUsb2) {
        return true;
    }
    const DeviceSlot* actual = actualSlot();
    if (actual == nullptr || !isContinuousWorkMode(actual->block()->WorkMode)) {
        return true;
    }
    const int32_t savedActual = state.actualInterfaceId;
    bool sent = true;
    for (int32_t s = 1; s <= kMaxInterfaceId && sent; ++s) {
        const DeviceSlot* slot = deviceSlot(s);
        if (slot == nullptr || (interfaceId != 0 && interfaceId != s) || slot->initialised == 0 ||
            slot->active == 0) {
            continue;
        }
        state.actualInterfaceId = s;
        sent = SendDeviceCommand(KORAL_CMD_INIT) == 0;
    }
    state.actualInterfaceId = savedActual;
    return sent;
}

void RoundIntegrationTime(double& value, double step, int32_t mode) {
    const double q = value / step;
    if (mode == 0) {
        value = std::floor(q + 0.5) * step;
    } else if (mode == 1) {
        value = std::ceil(q) * step;
    } else {
        value = std::floor(q) * step;
    }
}

double FlashCountToTime(double interval, uint32_t code) {
    return code > 255 ? 0.0 : (code + 1.0) * interval;
}

} // namespace tarvik

extern "C" int32_t KORAL_GetSpectra(uint32_t interfaceId) {
    using namespace tarvik;
    return runExport(kGetSpectraName, [&] {
        const LibraryState& state = *libraryState();
        return acquireWithShutter(kGetSpectraName, kAcquireSpectra,
                                  static_cast<int32_t>(interfaceId), state.shutterDelay,
                                  state.shutterControlMode == 1, 1);
    });
}

extern "C" int32_t KORAL_GetDarkCurrent(uint32_t interfaceId) {
    using namespace tarvik;
    return runExport(kGetDarkCurrentName, [&] {
        return reportResult(kGetDarkCurrentName,
                            AcquireSpectra(kAcquireDarkCurrent, static_cast<int32_t>(interfaceId)));
    });
}

extern "C" int32_t KORAL_GetDarkCurrentWithShutter(uint32_t shutterDelayMs, uint32_t interfaceId) {
    using namespace tarvik;
    return runExport(kGetDarkShutterName, [&] {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kGetDarkShutterName, kCheckInitialised, id) != 0) {
            return -1;
        }
        const LibraryState& state = *libraryState();
        if (state.interfaceTypeInUse == kTypeUsb2) {
            return failExport(kGetDarkShutterName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidInterfaceType);
        }
        if (id < 0 || id > kMaxInterfaceId) {
            return failExport(kGetDarkShutterName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidInterfaceId);
        }
        return acquireWithShutter(kGetDarkShutterName, kAcquireDarkCurrent, id, shutterDelayMs,
                                  state.shutterControlMode == 0, 0);
    });
}
