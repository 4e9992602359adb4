// Raw-data records, their handles, the channel mapping and the stored-value
// exports.
#include "acquisition/raw_data.h"

#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "tarvik.h"

#include "platform/handle_table.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace tarvik {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;
using RecordTable = platform::HandleTable<std::shared_ptr<RawDataRecord>>;

constexpr const char* kAllocName = "KORAL_AllocRawData";
constexpr const char* kFreeName = "KORAL_FreeRawData";
constexpr const char* kMappingName = "KORAL_ParaSetMapping";
constexpr const char* kCorrectionModeName = "KORAL_ParaSetDarkCurrentCorrectionMode";
constexpr const char* kRawDataName = "KORAL_GetStoredRawData";
constexpr const char* kPixelnumberName = "KORAL_GetStoredPixelnumber";
constexpr const char* kDarkcurrentName = "KORAL_GetStoredDarkcurrentData";
constexpr const char* kDarkModeName = "KORAL_GetStoredDarkModeSettings";
constexpr const char* kAverageName = "KORAL_GetStoredAverageNumber";
constexpr const char* kIntegrationtimeName = "KORAL_GetStoredIntegrationtime";
constexpr const char* kTimeName = "KORAL_GetStoredTime";
constexpr const char* kIntensityName = "KORAL_GetStoredIntensity";
constexpr const char* kDeleteDarkName = "KORAL_DeleteDarkcurrentData";
constexpr const char* kSaveDarkName = "KORAL_SaveDarkcurrentData";
constexpr const char* kRestoreDarkName = "KORAL_RestoreDarkcurrentData";
constexpr const char* kFirstPixelName = "KORAL_DarkCurrentCorrWithFirstPixel";
constexpr const char* kDarkRangeName = "KORAL_ParaSetDarkCurrCorrModeOverFirstPixel";

constexpr int32_t kLastDarkPixelLimit = 9;

RecordTable& recordTable() {
    // First built by the set-up at load (LibraryAttach), so it is destroyed
    // only after the tear-down at unload emptied it. Not leaked on purpose: a
    // library unloaded with dlclose would lose it on every cycle.
    static RecordTable table;
    return table;
}

std::atomic<RawDataAllocFault> g_allocFault{RawDataAllocFault::kNoFault};

// True once for the injected step.
bool faultAt(RawDataAllocFault step) {
    RawDataAllocFault expected = step;
    return g_allocFault.compare_exchange_strong(expected, RawDataAllocFault::kNoFault);
}

// A new record with its linearization object, or null when memory is short;
// nothing stays behind on a failure.
std::shared_ptr<RawDataRecord> makeRecord() {
    std::unique_ptr<RawDataRecord> record(
        faultAt(RawDataAllocFault::kRecord) ? nullptr : new (std::nothrow) RawDataRecord);
    if (record == nullptr) {
        return nullptr;
    }
    record->linearization.reset(
        faultAt(RawDataAllocFault::kLinearization) ? nullptr : new (std::nothrow) CLinearization);
    if (record->linearization == nullptr) {
        return nullptr;
    }
    return std::shared_ptr<RawDataRecord>(std::move(record));
}

// Every slot, 0 included: a mapping for ID 0 lands in the scratch slot, and
// no slot may keep a freed record. The caller holds both locks.
void unmapEverywhere(const RawDataRecord* record) {
    LibraryState* state = libraryState();
    if (state == nullptr) {
        return;
    }
    for (DeviceSlot* slot : state->slots) {
        if (slot == nullptr) {
            continue;
        }
        for (RawDataRecord*& mapped : slot->mappedRecords) {
            if (mapped == record) {
                mapped = nullptr;
            }
        }
    }
}

// A refusal of a record export (level 5), reported once the RawDataLock is
// left; code 0: done.
struct Refusal {
    int32_t code = 0;
    int32_t info = 0;
    bool shown = true;
};
constexpr Refusal kDone{};
constexpr Refusal kBadValue{code::kInvalidParameter, 0};

int32_t report(const char* name, const Refusal& refusal) {
    if (refusal.code == 0) {
        return 0;
    }
    recordError(0, KORAL_LEVEL_IGNORED, refusal.code, refusal.info);
    return refusal.shown ? failExport(name) : failExportQuietly(name);
}

// The frame of the exports that work on one record under the RawDataLock:
// onMissing() writes the output's default when no record is behind the
// handle, work(record) does the rest.
template <class Work, class Missing>
int32_t withRecord(const char* name, const uint32_t* handle, Work&& work, Missing&& onMissing) {
    return runExport(name, [&] {
        Refusal refusal;
        bool found = false;
        {
            Guard guard(rawDataLock());
            RawDataRecord* record = findRawDataRecord(handle);
            found = record != nullptr;
            if (found) {
                refusal = work(*record);
            } else {
                onMissing();
            }
        }
        return found ? report(name, refusal) : failNoRawDataRecord(name);
    });
}

template <class Work> int32_t withRecord(const char* name, const uint32_t* handle, Work&& work) {
    return withRecord(name, handle, std::forward<Work>(work), [] {});
}

// Values 0..n-1 of an array, when 0 < n <= its size; otherwise nothing.
void copyOut(const dorvel::SpectrumArray& from, int32_t n, double* out) {
    if (n > 0 && n <= from.GetSize()) {
        std::memcpy(out, from.GetElementPtr(0), static_cast<size_t>(n) * sizeof(double));
    }
}

// Values 0..n-1 from one array into the other, when both hold n.
void copyBetween(const dorvel::SpectrumArray& from, dorvel::SpectrumArray& to, int32_t n) {
    if (n > 0 && n <= from.GetSize() && n <= to.GetSize()) {
        std::memcpy(to.GetElementPtr(0), from.GetElementPtr(0),
                    static_cast<size_t>(n) * sizeof(double));
    }
}

// The stored-value exports that copy one array.
int32_t storedArray(const char* name, const uint32_t* handle, double* out,
                    dorvel::SpectrumArray RawDataRecord::*array) {
    return withRecord(name, handle, [&](RawDataRecord& record) {
        if (out == nullptr) {
            return kBadValue;
        }
        copyOut(record.*array, record.pixelCount, out);
        return kDone;
    });
}

// The stored-value exports of one value, with their null-handle default.
template <class T>
int32_t storedValue(const char* name, const uint32_t* handle, T* out, T RawDataRecord::*field,
                    T nullDefault) {
    return withRecord(
        name, handle,
        [&](RawDataRecord& record) {
            if (out == nullptr) {
                return kBadValue;
            }
            *out = record.*field;
            return kDone;
        },
        [&] {
            if (out != nullptr) {
                *out = nullDefault;
            }
        });
}

void writeIfGiven(double* out, double value) {
    if (out != nullptr) {
        *out = value;
    }
}

int32_t allocRawData(uint32_t* handle) {
    if (handle == nullptr || *handle != 0) {
        return failNoRawDataRecord(kAllocName);
    }
    std::shared_ptr<RawDataRecord> record = makeRecord();
    if (record == nullptr) {
        return failExport(kAllocName, 0, KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
    }
    // No lock: nobody knows the record before its handle reaches the client.
    RawDataRecord* raw = record.get();
    const uint32_t value = recordTable().insert(std::move(record));
    if (value == 0) { // every handle in use
        return failExport(kAllocName, 0, KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
    }
    raw->self = value;
    *handle = value;
    return 0;
}

int32_t freeRawData(uint32_t* handle) {
    if (handle == nullptr || *handle == 0) {
        return failNoRawDataRecord(kFreeName);
    }
    std::optional<std::shared_ptr<RawDataRecord>> removed;
    {
        // The DeviceLock keeps the slots from going away under the walk.
        std::lock_guard device(deviceLock());
        Guard raw(rawDataLock());
        RawDataRecord* record = findRawDataRecord(*handle);
        if (record != nullptr) {
            unmapEverywhere(record);
            removed = recordTable().remove(*handle);
            *handle = 0;
        }
    }
    // The record, unreachable now, goes here.
    return removed ? 0 : failNoRawDataRecord(kFreeName);
}

int32_t setMapping(const uint32_t* handle, int32_t channel, int32_t id) {
    if (checkInterfaceForExport(kMappingName, kCheckSlotExists, id) != 0) {
        return -1;
    }
    if (channel < 1 || channel > kChannelCount) {
        return failExport(kMappingName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
    }
    bool noRecord = false;
    bool noSlot = false;
    {
        // The slot's tables are written under the DeviceLock, and a close
        // frees the slot under it.
        std::lock_guard device(deviceLock());
        Guard raw(rawDataLock());
        RawDataRecord* record = findRawDataRecord(handle);
        DeviceSlot* slot = deviceSlot(id);
        noRecord = record == nullptr;
        noSlot = slot == nullptr;
        if (!noRecord && !noSlot) {
            slot->mappedRecords[static_cast<size_t>(channel - 1)] = record;
            copyChannelDescription(*record, *slot, channel - 1);
        }
    }
    if (noRecord) {
        return failNoRawDataRecord(kMappingName, id);
    }
    if (noSlot) { // closed since the check
        return failExport(kMappingName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
    }
    return 0;
}

int32_t setDarkPixelRange(int32_t on, int32_t first, int32_t last, int32_t id) {
    if (checkInterfaceForExport(kDarkRangeName, kCheckInitialised, id) != 0) {
        return -1;
    }
    if (on != 0 && (first < 0 || last < 0 || last > kLastDarkPixelLimit || first > last)) {
        return failExport(kDarkRangeName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          kInfoInvalidIndex);
    }
    {
        // The acquisition reads the range under the DeviceLock.
        std::lock_guard device(deviceLock());
        DeviceSlot* slot = deviceSlot(id);
        if (slot != nullptr) {
            slot->darkPixelRangeOn = on != 0 ? 1 : 0;
            slot->firstDarkPixel = on != 0 ? static_cast<uint32_t>(first) : 0;
            slot->lastDarkPixel = on != 0 ? static_cast<uint32_t>(last) : 0;
            return 0;
        }
    }
    return failExport(kDarkRangeName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
}

Refusal correctWithFirstPixels(RawDataRecord& record, int32_t n) {
    dorvel::SpectrumArray& spectrum = record.spectrum;
    const int32_t size = spectrum.GetSize();
    if (n <= 0 || n >= size) {
        return kBadValue;
    }
    double* values = spectrum.GetElementPtr(0);
    double sum = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        sum += values[i];
    }
    const double mean = sum / n;
    // Only the values that have a pixel number.
    const int32_t end = std::min(size, record.pixelNumbers.GetSize());
    for (int32_t i = 0; i < end; ++i) {
        values[i] -= mean;
    }
    record.darkState = 1;
    return kDone;
}

} // namespace

RawDataRecord* findRawDataRecord(uint32_t handle) {
    if (handle == 0) {
        return nullptr;
    }
    const std::optional<std::shared_ptr<RawDataRecord>> found = recordTable().get(handle);
    return found ? found->get() : nullptr;
}

RawDataRecord* findRawDataRecord(const uint32_t* handleVariable) {
    return handleVariable != nullptr ? findRawDataRecord(*handleVariable) : nullptr;
}

int32_t failNoRawDataRecord(const char* exportName, int32_t interfaceId) {
    return failExport(exportName, interfaceId, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                      kInfoInvalidChannelIdentity);
}

RawDataRecord* mappedRawDataRecord(const DeviceSlot& slot, int32_t channelIndex) {
    if (channelIndex < 0 || channelIndex >= kChannelCount) {
        return nullptr;
    }
    return slot.mappedRecords[static_cast<size_t>(channelIndex)];
}

void copyChannelDescription(RawDataRecord& record, const DeviceSlot& slot, int32_t channelIndex) {
    const auto c = static_cast<size_t>(channelIndex);
    record.sensorType = static_cast<int32_t>(slot.sensorType[c]);
    record.channelPixelCount = static_cast<int32_t>(slot.pixelCount[c]);
    record.rows = static_cast<int32_t>(slot.rows[c]);
    record.fourthSensorWord = static_cast<int32_t>(slot.fourthSensorWord[c]);
}

void resetIntensityLimits(RawDataRecord& record) {
    record.maximum = kResetMaximum;
    record.minimum = kResetMinimum;
    record.maximumPercent = kResetMaximumPercent;
    record.minimumPercent = kResetMinimumPercent;
}

bool ResetChannelIntensityLimits(int32_t interfaceId) {
    // The stored-value exports read the extremes under the RawDataLock only.
    Guard guard(rawDataLock());
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot != nullptr) {
        for (RawDataRecord* record : slot->mappedRecords) {
            if (record != nullptr) {
                resetIntensityLimits(*record);
            }
        }
    }
    return true;
}

void stampRecordTime(RawDataRecord& record, const RecordTime& time) {
    record.time = time;
}

RecordTime localRecordTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return {};
    }
    return {static_cast<uint16_t>(local.tm_sec),     static_cast<uint16_t>(local.tm_min),
            static_cast<uint16_t>(local.tm_hour),    static_cast<uint16_t>(local.tm_mday),
            static_cast<uint16_t>(local.tm_mon + 1), static_cast<uint16_t>(local.tm_year + 1900)};
}

void ReleaseAllRawData() {
    std::vector<std::shared_ptr<RawDataRecord>> records;
    {
        std::lock_guard device(deviceLock());
        Guard raw(rawDataLock());
        if (LibraryState* state = libraryState(); state != nullptr) {
            for (DeviceSlot* slot : state->slots) {
                if (slot != nullptr) {
                    slot->mappedRecords.fill(nullptr);
                }
            }
        }
        records = recordTable().clear();
    }
}

size_t rawDataRecordCount() {
    return recordTable().size();
}

void injectRawDataAllocFault(RawDataAllocFault fault) {
    g_allocFault = fault;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_AllocRawData(uint32_t* rawDataHandle) {
    return runExport(kAllocName, [&] { return allocRawData(rawDataHandle); });
}

extern "C" int32_t KORAL_FreeRawData(uint32_t* rawDataHandle) {
    return runExport(kFreeName, [&] { return freeRawData(rawDataHandle); });
}

extern "C" int32_t KORAL_ParaSetMapping(uint32_t* rawDataHandle, int32_t channel,
                                        uint32_t interfaceId) {
    return runExport(kMappingName, [&] {
        return setMapping(rawDataHandle, channel, static_cast<int32_t>(interfaceId));
    });
}

extern "C" int32_t KORAL_ParaSetDarkCurrentCorrectionMode(uint32_t* rawDataHandle, int32_t mode) {
    return withRecord(kCorrectionModeName, rawDataHandle, [&](RawDataRecord& record) {
        if (mode != 0 && mode != 1 && mode != -1) {
            return Refusal{code::kInvalidParameter, 0, false};
        }
        record.DarkCurrentCorrectionMode = mode != 0 ? 1 : 0;
        return kDone;
    });
}

extern "C" int32_t KORAL_GetStoredRawData(uint32_t* rawDataHandle, double* spectrumOut) {
    return storedArray(kRawDataName, rawDataHandle, spectrumOut, &RawDataRecord::spectrum);
}

extern "C" int32_t KORAL_GetStoredPixelnumber(uint32_t* rawDataHandle, double* pixelNumbersOut) {
    return storedArray(kPixelnumberName, rawDataHandle, pixelNumbersOut,
                       &RawDataRecord::pixelNumbers);
}

extern "C" int32_t KORAL_GetStoredDarkcurrentData(uint32_t* rawDataHandle, double* darkOut) {
    return storedArray(kDarkcurrentName, rawDataHandle, darkOut, &RawDataRecord::darkCurrent);
}

extern "C" int32_t KORAL_GetStoredDarkModeSettings(uint32_t* rawDataHandle, int32_t* darkState) {
    return storedValue(kDarkModeName, rawDataHandle, darkState, &RawDataRecord::darkState, 0);
}

extern "C" int32_t KORAL_GetStoredAverageNumber(uint32_t* rawDataHandle, int32_t* averageNumber) {
    return storedValue(kAverageName, rawDataHandle, averageNumber, &RawDataRecord::averageNumber,
                       0);
}

extern "C" int32_t KORAL_GetStoredIntegrationtime(uint32_t* rawDataHandle,
                                                  double* integrationTimeMs) {
    return storedValue(kIntegrationtimeName, rawDataHandle, integrationTimeMs,
                       &RawDataRecord::integrationTime, 0.0);
}

extern "C" int32_t KORAL_GetStoredTime(uint32_t* rawDataHandle, uint16_t* timeOut) {
    return withRecord(
        kTimeName, rawDataHandle,
        [&](RawDataRecord& record) {
            if (timeOut == nullptr) {
                return kBadValue;
            }
            if (record.time.year == 0) { // never stamped
                return Refusal{code::kNotAvailable, code::kInvalidUse};
            }
            const RecordTime& t = record.time;
            const uint16_t values[6] = {t.second, t.minute, t.hour, t.day, t.month, t.year};
            std::memcpy(timeOut, values, sizeof values);
            return kDone;
        },
        [&] {
            if (timeOut != nullptr) {
                std::memset(timeOut, 0, 6 * sizeof(uint16_t));
            }
        });
}

extern "C" int32_t KORAL_GetStoredIntensity(uint32_t* rawDataHandle, double* minimum,
                                            double* maximum, double* minimumPercent,
                                            double* maximumPercent) {
    return withRecord(kIntensityName, rawDataHandle, [&](RawDataRecord& record) {
        writeIfGiven(minimum, record.minimum);
        writeIfGiven(maximum, record.maximum);
        writeIfGiven(minimumPercent, record.minimumPercent);
        writeIfGiven(maximumPercent, record.maximumPercent);
        return kDone;
    });
}

extern "C" int32_t KORAL_DeleteDarkcurrentData(uint32_t* rawDataHandle) {
    return withRecord(kDeleteDarkName, rawDataHandle, [&](RawDataRecord& record) {
        record.darkCurrent.RemoveAll();
        return kDone;
    });
}

extern "C" int32_t KORAL_SaveDarkcurrentData(uint32_t* rawDataHandle) {
    return withRecord(kSaveDarkName, rawDataHandle, [&](RawDataRecord& record) {
        copyBetween(record.darkCurrent, record.savedDarkCurrent, record.pixelCount);
        return kDone;
    });
}

extern "C" int32_t KORAL_RestoreDarkcurrentData(uint32_t* rawDataHandle) {
    return withRecord(kRestoreDarkName, rawDataHandle, [&](RawDataRecord& record) {
        copyBetween(record.savedDarkCurrent, record.darkCurrent, record.pixelCount);
        return kDone;
    });
}

extern "C" int32_t KORAL_DarkCurrentCorrWithFirstPixel(uint32_t* rawDataHandle, int32_t n) {
    return withRecord(kFirstPixelName, rawDataHandle,
                      [&](RawDataRecord& record) { return correctWithFirstPixels(record, n); });
}

extern "C" int32_t KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(int32_t on, int32_t firstPixel,
                                                               int32_t lastPixel,
                                                               uint32_t interfaceId) {
    return runExport(kDarkRangeName, [&] {
        return setDarkPixelRange(on, firstPixel, lastPixel, static_cast<int32_t>(interfaceId));
    });
}

// The stored spectra of a burst, beside the stored values they belong with.

extern "C" int32_t KORAL_GetStoredBurstNumber(uint32_t* rawDataHandle, uint32_t* burstNumber) {
    // The stored number is never negative: the unsigned output aliases it.
    return storedValue("KORAL_GetStoredBurstNumber", rawDataHandle,
                       reinterpret_cast<int32_t*>(burstNumber), &RawDataRecord::burstNumber, 0);
}

extern "C" int32_t KORAL_GetStoredRawDataBurst(uint32_t* rawDataHandle, int32_t k, double* out) {
    return withRecord("KORAL_GetStoredRawDataBurst", rawDataHandle, [&](RawDataRecord& record) {
        if (out == nullptr) {
            return kBadValue;
        }
        // The index is also bounded by what the spectrum array holds.
        const int64_t n = record.pixelCount;
        if (k < 1 || k > record.burstNumber || n < 1 ||
            int64_t{k} * n > record.spectrum.GetSize()) {
            return Refusal{code::kInvalidParameter, kInfoInvalidIndex};
        }
        std::memcpy(out, record.spectrum.GetElementPtr(static_cast<int32_t>((k - 1) * n)),
                    static_cast<size_t>(n) * sizeof(double));
        return kDone;
    });
}
