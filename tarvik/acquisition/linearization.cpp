// Linearization: loading, releasing and applying each record's coefficients,
// and the three exports that switch it per interface or per record.

#include "acquisition/linearization.h"

#include "acquisition/measurement_parameters.h"
#include "acquisition/raw_data.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "tarvik.h"

#include "dorvel/linearization_file.h"

#include <mutex>

namespace tarvik {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr int32_t kCodeLoadFailed = 509;      // "FAILED TO LOAD LINEARIZATION COEFFICIENTS FILE"
constexpr int32_t kCodeLinearizeFailed = 510; // "LINEARIZATION FAILED"
constexpr int32_t kInfoPixelMismatch = 855;   // "LINEARIZATION PIXELNUMBER DOES NOT MATCH ..."
constexpr int32_t kInfoNoChannelMapped = 856; // "NO CHANNEL IS MAPPED"
constexpr uint32_t kLoaded = 0x1;
constexpr uint32_t kFromNamedFile = 0x2;

constexpr const char* kLinearizationName = "KORAL_Linearization";
constexpr const char* kChannelName = "KORAL_LinearizationChannel";
constexpr const char* kChannelExName = "KORAL_LinearizationChannelEx";

int32_t aborted() {
    recordError(0, KORAL_LEVEL_IGNORED, code::kAborted, 0);
    return -1;
}

// One record's switch under both locks, for the two channel exports.
int32_t switchRecord(const char* name, const uint32_t* handle, int32_t on, const char* fileName) {
    int32_t result = 0;
    bool found = false;
    {
        std::lock_guard device(deviceLock());
        Guard rawData(rawDataLock());
        RawDataRecord* record = findRawDataRecord(handle);
        found = record != nullptr;
        if (found) {
            result = on != 0 ? LoadLinearization(record, fileName) : ReleaseLinearization(record);
        }
    }
    if (!found) {
        return failNoRawDataRecord(name);
    }
    return result == 0 ? 0 : failExport(name);
}

} // namespace

int32_t GetLinearizationErrorInfo(int32_t result) {
    if (result == dorvel::kLinFileNotFound) {
        return 851; // "FILE COULD NOT BE FOUND"
    }
    if (result >= dorvel::kLinFileOpenFailed && result <= dorvel::kLinFileTooLarge) {
        return 852; // "FILE ACCESS FAILURE"
    }
    if (result >= dorvel::kLinBadSignature && result <= dorvel::kLinBadData) {
        return 853; // "INVALID LINEARIZATION COEFFICIENTS FILE"
    }
    if (result == dorvel::kLinNoFileForSensor) {
        return 854; // "NO TLC FILE AVAILABLE FOR SENSOR"
    }
    if (result == dorvel::kLinPixelCountMismatch) {
        return kInfoPixelMismatch;
    }
    return 0;
}

int32_t LoadLinearization(RawDataRecord* record, const char* fileName) {
    if (record == nullptr || record->sensorType == -1 || !record->linearization) {
        return aborted();
    }
    if ((record->linearizationFlags & kLoaded) != 0) {
        return 0; // whatever is loaded stays until it is released
    }
    CLinearization& linearization = *record->linearization;
    const bool loaded = fileName == nullptr ? linearization.LoadForSensor(record->sensorType,
                                                                          record->channelPixelCount)
                                            : linearization.LoadFile(fileName);
    if (!loaded) {
        recordError(0, KORAL_LEVEL_IGNORED, kCodeLoadFailed,
                    GetLinearizationErrorInfo(linearization.GetLastResult()));
        return -1;
    }
    if (linearization.GetPixelCount() != record->channelPixelCount) {
        linearization.Unload();
        recordError(0, KORAL_LEVEL_IGNORED, kCodeLoadFailed, kInfoPixelMismatch);
        return -1;
    }
    if (fileName == nullptr) {
        record->linearizationFlags &= ~kFromNamedFile;
    } else {
        record->linearizationFlags |= kFromNamedFile;
    }
    record->linearizationFlags |= kLoaded;
    return 0;
}

int32_t ReleaseLinearization(RawDataRecord* record) {
    if (record == nullptr || !record->linearization) {
        return aborted();
    }
    if ((record->linearizationFlags & kLoaded) != 0) {
        record->linearization->Unload();
        record->linearizationFlags &= ~kLoaded;
    }
    return 0;
}

int32_t ApplyLinearization(RawDataRecord* record, int32_t arrayKind, int32_t n, int32_t k) {
    if (record == nullptr || n <= 0 ||
        (arrayKind != kLinearizeDarkCurrent && arrayKind != kLinearizeSpectrum)) {
        return aborted();
    }
    if ((record->linearizationFlags & kLoaded) == 0 || !record->linearization) {
        return 0;
    }
    dorvel::SpectrumArray& array =
        arrayKind == kLinearizeSpectrum ? record->spectrum : record->darkCurrent;
    // The block must lie inside the array: nothing is written beyond it.
    if (k < 1 || int64_t{k} * n > array.GetSize()) {
        return aborted();
    }
    double* values = array.GetElementPtr(static_cast<int32_t>(int64_t{k - 1} * n));
    if (!record->linearization->Linearize(values, n)) {
        recordError(0, KORAL_LEVEL_IGNORED, kCodeLinearizeFailed,
                    GetLinearizationErrorInfo(record->linearization->GetLastResult()));
        return -1;
    }
    return 0;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_Linearization(int32_t on, uint32_t interfaceId) {
    return runExport(kLinearizationName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kLinearizationName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        std::lock_guard device(deviceLock());
        // ID 0 names no slot whose records could be switched.
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kLinearizationName);
        }
        const uint32_t requested = on != 0 ? 1 : 0;
        if (requested == (slot->linearization & 1u)) {
            return 0;
        }
        int mapped = 0;
        bool failed = false;
        {
            Guard rawData(rawDataLock());
            for (int32_t c = 0; c < kChannelCount && !failed; ++c) {
                RawDataRecord* record = mappedRawDataRecord(*slot, c);
                if (record == nullptr) {
                    continue;
                }
                ++mapped;
                failed = (requested != 0 ? LoadLinearization(record, nullptr)
                                         : ReleaseLinearization(record)) != 0;
            }
        }
        if (requested != 0 && mapped == 0) {
            return failExport(kLinearizationName, id, KORAL_LEVEL_IGNORED, code::kAborted,
                              kInfoNoChannelMapped);
        }
        if (failed) {
            const LastErrorRecord step = lastErrorRecord();
            return failExport(kLinearizationName, id, step.level, step.code, step.info);
        }
        slot->linearization = (slot->linearization & ~1u) | requested;
        return 0;
    });
}

extern "C" int32_t KORAL_LinearizationChannel(uint32_t* rawDataHandle, int32_t on) {
    return runExport(kChannelName, [&]() -> int32_t {
        if (rawDataHandle == nullptr) {
            return failNoRawDataRecord(kChannelName);
        }
        return switchRecord(kChannelName, rawDataHandle, on, nullptr);
    });
}

extern "C" int32_t KORAL_LinearizationChannelEx(uint32_t* rawDataHandle, int32_t on,
                                                const char* fileName) {
    return runExport(kChannelExName, [&]() -> int32_t {
        if (rawDataHandle == nullptr) {
            return failNoRawDataRecord(kChannelExName);
        }
        if (fileName == nullptr) {
            return failExport(kChannelExName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        return switchRecord(kChannelExName, rawDataHandle, on, fileName);
    });
}
