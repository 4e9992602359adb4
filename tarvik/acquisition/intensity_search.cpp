// The intensity search. Every step is a real acquisition; an ADC overflow
// comes back as warning 199, which is why the warnings are switched on for
// the search. What the search changes is put back before it returns.

#include "acquisition/intensity_search.h"

#include "acquisition/acquire_spectra.h"
#include "acquisition/measurement_parameters.h"
#include "core/export_frame.h"
#include "core/firmware_features.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/light_source_module.h"
#include "tarvik.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

namespace tarvik {
namespace {

constexpr const char* kName = "KORAL_DetermineMaxIntensity";
constexpr const char* kInttimeName = "KORAL_GetMaxInttime4ADC";

constexpr int32_t kCodeAdcOverflow = 199;
constexpr uint32_t kFeatureSearch = 0x1;
constexpr int kTimeCandidates = 13; // 1 .. 4096 ms
constexpr int kFlashCandidates = 8; // 1 .. 128 flashes
constexpr int32_t kMaxFlashCount = 254;
constexpr int32_t kRemoteFlashPosition = 1;

constexpr FlashModuleHooks kModuleHooks{.remoteFlashRate = &RemoteFlashRate,
                                        .getFlashCounter = &RemoteFlashCounter,
                                        .setFlashCounter = &RestoreRemoteFlashCounter,
                                        .lsSetFlashCounter = &SetRemoteFlashCounter};
FlashModuleHooks g_flashHooks = kModuleHooks;

// How a search ended; the export turns it into its result and record.
struct Outcome {
    int32_t result = 0;
    bool named = false; // the export's name goes into the record
    bool box = false;
    int32_t foundTimeMs = 0;
    int32_t foundFlashCount = 0;
};

Outcome failure() {
    return {-1, true, true};
}

class IntensitySearch {
public:
    IntensitySearch(DeviceSlot& slot, int32_t id) : slot_(slot), id_(id) {}

    Outcome run(int32_t lo, int32_t hi) {
        uint16_t rate = 0;
        flash_ =
            g_flashHooks.remoteFlashRate != nullptr && g_flashHooks.remoteFlashRate(id_, &rate);
        if (flash_) {
            rateMs_ = rate;
            savedFlashCounter_ =
                g_flashHooks.getFlashCounter != nullptr ? g_flashHooks.getFlashCounter(id_) : 0;
            ErrorBoxOff boxOff;
            if (KORAL_ParaGetHardwareFlashMode(&savedFlashMode_, uid()) != 0) {
                return failure();
            }
        }
        {
            ErrorBoxOff boxOff;
            if (KORAL_ParaGetIntegrationTimeLimits(&mn_, &mx_, uid()) != 0) {
                return failure();
            }
        }
        setCandidates();
        limitBounds(lo, hi);
        if (flash_) {
            ErrorBoxOff boxOff;
            if (KORAL_ParaSetHardwareFlashMode(1, uid()) != 0) {
                return failure();
            }
        }
        savedWarningFlag_ = slot_.warningFlag;
        savedWarningBox_ = warningBoxFlag();
        savedTimeMs_ = slot_.acquisitionIntegrationTime / 1000.0;
        Outcome outcome;
        {
            ErrorBoxOff boxOff;
            outcome = KORAL_WarningMessages(1, uid()) == 0 ? search(lo, hi) : failure();
            // The record of the search's end survives the restore.
            const LastErrorRecord kept = lastErrorRecord();
            restore();
            recordError(kept.interfaceId, kept.level, kept.code, kept.info);
        }
        return outcome;
    }

private:
    uint32_t uid() const { return static_cast<uint32_t>(id_); }

    void setCandidates() {
        if (!flash_) {
            for (int k = 0; k < kTimeCandidates; ++k) {
                candidate_[k] = 1 << k;
            }
            last_ = kTimeCandidates - 1;
            return;
        }
        for (int k = 0; k < kFlashCandidates; ++k) {
            counts_[k] = 1 << k;
            candidate_[k] = static_cast<int32_t>(FlashCountToTime(rateMs_, counts_[k]));
        }
        last_ = kFlashCandidates - 1;
        const auto lowest = static_cast<int32_t>(std::ceil(mn_));
        const auto highest = static_cast<int32_t>(std::floor(mx_));
        for (int k = 0; k < kFlashCandidates; ++k) {
            candidate_[k] = std::max(candidate_[k], lowest);
            if (candidate_[k] > highest) {
                // One more flash count is tried at the maximum time.
                candidate_[k] = highest;
                last_ = std::min(k + 1, kFlashCandidates - 1);
                break;
            }
        }
    }

    void limitBounds(int32_t& lo, int32_t& hi) const {
        if (!flash_) {
            if (lo < mn_) {
                lo = static_cast<int32_t>(std::ceil(mn_));
            } else if (lo > mx_) {
                lo = static_cast<int32_t>(std::floor(mx_));
            }
            if (hi <= 0 || hi > mx_) {
                hi = static_cast<int32_t>(std::trunc(mx_));
            }
            return;
        }
        const auto largest = static_cast<int32_t>(FlashCountToTime(rateMs_, kMaxFlashCount));
        lo = std::clamp(lo, candidate_[0], std::max(candidate_[0], candidate_[last_]));
        if (hi <= 0 || hi > largest) {
            hi = largest;
        }
        hi = std::max(hi, lo);
    }

    // The first index at or above which candidates reach the bound.
    int firstIndex(int32_t bound, bool orEqual) const {
        for (int k = 0; k <= last_; ++k) {
            if (candidate_[k] > bound || (orEqual && candidate_[k] == bound)) {
                return k;
            }
        }
        return -1;
    }

    Outcome search(int32_t lo, int32_t hi) {
        if (const int k = firstIndex(hi, true); k >= 0) {
            last_ = k;
        }
        int start = last_;
        if (const int k = firstIndex(lo, flash_); k >= 0) {
            start = flash_ || k == 0 ? k : k - 1;
        }
        start = std::min(start, last_);
        for (;;) {
            bool overflowThisPass = false;
            const int32_t result = pass(start, overflowThisPass);
            if (result != 0) {
                return {result, true, result == -1};
            }
            if (overflowThisPass || start == last_) {
                break;
            }
            start = last_; // a pass without overflow is followed by one from the top
        }
        if (topReached_ && !saturated_) {
            return {kSearchNoOverflow, true, false};
        }
        if (time_ <= hi) {
            return {0, false, false, static_cast<int32_t>(time_), flashCount_};
        }
        return {kSearchNoOverflow, true, true};
    }

    // One pass from candidate i downward: 0, -1 or -5.
    int32_t pass(int i, bool& overflowThisPass) {
        time_ = candidate_[i];
        flashCount_ = flash_ ? counts_[i] : 0;
        topReached_ = topReached_ || i >= last_;
        const LibraryState& state = *libraryState();
        for (;;) {
            double excess = 0.0;
            if (time_ > mx_) {
                excess = time_ - mx_;
                time_ = mx_;
            }
            if (flash_ ? (flashCount_ == 0 && saturated_) : time_ <= mn_) {
                return kSearchOverflowAtMinimum;
            }
            if (i < 0) {
                return 0;
            }
            if (KORAL_ParaSetIntegrationTime(&time_, uid()) != 0) {
                return -1;
            }
            if (flash_ &&
                (g_flashHooks.lsSetFlashCounter == nullptr ||
                 g_flashHooks.lsSetFlashCounter(id_, kRemoteFlashPosition, flashCount_) != 0)) {
                return -1;
            }
            if (state.shutterControlMode == 1 &&
                SetAcquisitionShutter(id_, state.shutterDelay, 1) != 0) {
                return -1;
            }
            bool overflow = false;
            if (AcquireSpectra(kAcquireSpectra, id_) != 0) {
                const LastErrorRecord seen = lastErrorRecord();
                if (seen.level != KORAL_LEVEL_WARNING_PIXELS) {
                    return -1;
                }
                overflow = seen.code == kCodeAdcOverflow;
            }
            if (overflow) {
                saturated_ = true;
                overflowThisPass = true;
                if (flash_) {
                    // Flash times do not add up as counts do: the time is
                    // that of the count kept.
                    flashCount_ -= counts_[i];
                    time_ = FlashCountToTime(rateMs_, static_cast<uint32_t>(flashCount_));
                } else {
                    time_ -= candidate_[i] - excess;
                }
            } else if (excess > 0.0) {
                return 0; // the maximum time itself does not overflow
            }
            if (--i >= 0) {
                if (flash_) {
                    flashCount_ = std::min(flashCount_ + counts_[i], kMaxFlashCount);
                    time_ = FlashCountToTime(rateMs_, static_cast<uint32_t>(flashCount_));
                } else {
                    time_ += candidate_[i];
                }
            }
        }
    }

    void restore() {
        const LibraryState& state = *libraryState();
        double saved = savedTimeMs_;
        KORAL_ParaSetIntegrationTime(&saved, uid());
        if (state.shutterControlMode == 1) {
            SetAcquisitionShutter(id_, state.shutterDelay, 0);
        }
        if (flash_) {
            if (g_flashHooks.setFlashCounter != nullptr) {
                g_flashHooks.setFlashCounter(id_, savedFlashCounter_);
            }
            KORAL_ParaSetHardwareFlashMode(static_cast<int32_t>(savedFlashMode_), uid());
        }
        if (savedWarningFlag_ == 0) {
            KORAL_WarningMessages(0, uid());
        }
        // Switching the warnings also sets the warning box: it is put back.
        setWarningBoxFlag(savedWarningBox_);
    }

    DeviceSlot& slot_;
    const int32_t id_;
    bool flash_ = false;
    double rateMs_ = 0.0;
    uint8_t savedFlashCounter_ = 0;
    uint32_t savedFlashMode_ = 0;
    uint8_t savedWarningFlag_ = 0;
    uint32_t savedWarningBox_ = 0;
    double savedTimeMs_ = 0.0;
    double mn_ = 0.0;
    double mx_ = 0.0;
    std::array<int32_t, kTimeCandidates> candidate_{};
    std::array<int32_t, kFlashCandidates> counts_{};
    int last_ = 0;
    double time_ = 0.0;
    int32_t flashCount_ = 0;
    bool saturated_ = false;
    bool topReached_ = false;
};

int32_t determineMaxIntensity(int32_t lo, int32_t hi, int32_t* foundTime, int32_t* foundFlash,
                              uint32_t interfaceId) {
    const auto id = static_cast<int32_t>(interfaceId);
    if (checkInterfaceForExport(kName, kCheckInitialised, id) != 0) {
        return -1;
    }
    const LibraryState& state = *libraryState();
    if (state.interfaceTypeInUse == kTypeUsb2) {
        return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                          code::kInvalidInterfaceType);
    }
    if (foundTime == nullptr && foundFlash == nullptr) {
        return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
    }
    std::lock_guard guard(deviceLock());
    // ID 0 names no one slot to search on.
    DeviceSlot* slot = checkedSlot(id);
    if (slot == nullptr) {
        return failExport(kName);
    }
    if (!IsFirmwareFeatureAvailable(id, kFeatureSearch)) {
        failExport(kName, id, KORAL_LEVEL_HARDWARE, code::kFirmwareNoSupport,
                   firmwareVersionInfo(*slot, state.interfaceTypeInUse));
        return kSearchNoFirmware;
    }
    const Outcome outcome = IntensitySearch(*slot, id).run(lo, hi);
    if (outcome.named) {
        recordFunctionName(kName);
    }
    if (outcome.box) {
        ShowErrorMessage();
    }
    if (outcome.result == 0) {
        if (foundTime != nullptr) {
            *foundTime = outcome.foundTimeMs;
        }
        if (foundFlash != nullptr) {
            *foundFlash = outcome.foundFlashCount;
        }
    }
    return outcome.result;
}

} // namespace

FlashModuleHooks& flashModuleHooks() {
    return g_flashHooks;
}

void resetFlashModuleHooks() {
    g_flashHooks = kModuleHooks;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_DetermineMaxIntensity(int32_t lowerMs, int32_t upperMs,
                                               int32_t* foundTimeMs, int32_t* foundFlashCount,
                                               uint32_t interfaceId) {
    return runExport(kName, [&] {
        return determineMaxIntensity(lowerMs, upperMs, foundTimeMs, foundFlashCount, interfaceId);
    });
}

extern "C" int32_t KORAL_GetMaxInttime4ADC(uint32_t interfaceId, int32_t lowerMs, int32_t upperMs,
                                           double* foundTimeMs) {
    return runExport(kInttimeName, [&] {
        int32_t time = 0;
        int32_t flashCount = 0;
        const int32_t result =
            determineMaxIntensity(lowerMs, upperMs, &time, &flashCount, interfaceId);
        if (result == 0 && foundTimeMs != nullptr) {
            *foundTimeMs = time;
        }
        recordFunctionName(kInttimeName);
        return result;
    });
}
