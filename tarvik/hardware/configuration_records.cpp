// Reading the sensor parameters of the configuration EEPROM images, and the
// exports that hand them out. Changing them goes through the same images.

#include "hardware/configuration_records.h"

#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/actual_configuration.h"
#include "hardware/eeprom_image.h"

#include <cmath>
#include <mutex>

namespace tarvik {
namespace {

constexpr size_t kFrontEndImageOffset = 256;
constexpr size_t kMuxImageOffset = 512;
constexpr size_t kFrontEndEntry = 16;
constexpr size_t kFrontEndCoefficients = 24;
constexpr size_t kMuxEntryStride = 24;
constexpr size_t kMuxC4 = 208;
constexpr int32_t kMaxMuxChannel = 8;
constexpr uint32_t kSerialMux7 = 7;
constexpr uint32_t kSerialMux9 = 9;

constexpr int32_t kCodeInvalidFeeType = 803;       // "INVALID FEE TYPE"
constexpr int32_t kCodeInvalidInterfaceType = 804; // "INVALID INTERFACE TYPE"
constexpr int32_t kCodeInvalidEepromValue = 826;   // "INVALID EEPROM VALUE"
constexpr int32_t kInfoNotSupported = 819;         // "FUNCTION NOT SUPPORTED"
constexpr int32_t kInfoImageNotSupported = 843;    // "EEPROM IMAGE NOT SUPPORTED"
constexpr int32_t kInfoInvalidSize = 847;          // "INVALID PARAMETER SIZE"
constexpr double kC4Tolerance = 1e-7;

const uint8_t* image(const DeviceSlot& slot, size_t offset) {
    return slot.configuration.data() + offset;
}

// Entry words and five coefficients at the given image offsets.
void copyEntry(const uint8_t* bytes, size_t entry, const size_t (&coefficients)[5],
               SensorParamsEx2Record& record) {
    record.sensorType = imageU16(bytes, entry);
    record.pixelCount = imageU16(bytes, entry + 2);
    record.rows = imageU16(bytes, entry + 4);
    record.fourthSensorWord = imageU16(bytes, entry + 6);
    double* targets[5] = {&record.c0, &record.c1, &record.c2, &record.c3, &record.c4};
    for (size_t i = 0; i < 5; ++i) {
        *targets[i] = imageF32(bytes, coefficients[i]);
    }
}

// How the two readers differ.
struct ReadRules {
    bool serialMux9FromFrontEnd; // multiplexer type 9 reads the front end too
};

enum class ReadResult { kRead, kRefused, kDefaults };

// The reading shared by both full forms, under the DeviceLock the caller
// holds and after its flag checks. Refused and defaults write the
// LastErrorRecord; with defaults the record holds them.
ReadResult readSensorParams(const DeviceSlot& slot, int32_t id, int32_t channel, ReadRules rules,
                            SensorParamsEx2Record& record) {
    bool frontEnd = slot.muxType == 0 || slot.muxType == kSerialMux7 ||
                    (rules.serialMux9FromFrontEnd && slot.muxType == kSerialMux9);
    if (slot.muxType != 0 && (channel < 1 || static_cast<uint32_t>(channel) > slot.muxChannels)) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, channel);
        return ReadResult::kRefused;
    }
    const bool read = frontEnd ? ReadFrontEndSensorParams(slot, record)
                               : ReadMuxSensorParams(slot, channel, record);
    if (!read) {
        record = DefaultSensorParams();
        recordError(id, KORAL_LEVEL_DEFAULT_VALUE, kCodeInvalidEepromValue, 0);
        return ReadResult::kDefaults;
    }
    return ReadResult::kRead;
}

DeviceSlot* openSlot(int32_t id) {
    DeviceSlot* slot = deviceSlot(id);
    if (id == 0 || slot == nullptr || libraryState() == nullptr) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return nullptr;
    }
    return slot;
}

} // namespace

SensorParamsEx2Record DefaultSensorParams() {
    SensorParamsEx2Record record{};
    record.size = kSensorParamsEx2Size;
    record.pixelCount = 256;
    record.rows = 1;
    record.fourthSensorWord = 1;
    record.c0 = 300.0;
    record.c1 = 3.0;
    return record;
}

bool ReadFrontEndSensorParams(const DeviceSlot& slot, SensorParamsEx2Record& record) {
    const uint8_t* bytes = image(slot, kFrontEndImageOffset);
    if (imageKindWord(bytes) != kImageKindFrontEnd) {
        return false;
    }
    constexpr size_t c = kFrontEndCoefficients;
    copyEntry(bytes, kFrontEndEntry, {c, c + 4, c + 8, c + 12, c + 16}, record);
    return true;
}

bool ReadMuxSensorParams(const DeviceSlot& slot, int32_t channel, SensorParamsEx2Record& record) {
    const uint8_t* bytes = image(slot, kMuxImageOffset);
    if (channel < 1 || channel > kMaxMuxChannel ||
        imageKindWord(bytes) != kImageKindMux) {
        return false;
    }
    const size_t n = static_cast<size_t>(channel - 1);
    const size_t c = 24 + n * kMuxEntryStride;
    copyEntry(bytes, kFrontEndEntry + n * kMuxEntryStride,
              {c, c + 4, c + 8, c + 12, kMuxC4 + n * 4}, record);
    return true;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_HWConfig_GetSensorParamsEx2(uint32_t reserved,
                                                     SensorParamsEx2Record* record, int32_t channel,
                                                     uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_HWConfig_GetSensorParamsEx2";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (record == nullptr) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        if (record->size != kSensorParamsEx2Size) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              kInfoInvalidSize);
        }
        if (reserved != 0 || record->reserved != 0) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        std::lock_guard guard(deviceLock());
        const DeviceSlot* slot = openSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        if ((slot->configurationWord & kConfigFrontEndImage) == 0) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, kCodeInvalidFeeType,
                              kInfoNotSupported);
        }
        SensorParamsEx2Record read{};
        const ReadResult result = readSensorParams(*slot, id, channel, {false}, read);
        if (result == ReadResult::kRefused) {
            return failExport(kName);
        }
        read.size = kSensorParamsEx2Size;
        read.reserved = 0;
        *record = read;
        return result == ReadResult::kDefaults ? failExport(kName) : 0;
    });
}

extern "C" int32_t KORAL_HWConfig_GetSensorParams2(uint32_t* sensorType, uint32_t* pixels,
                                                   uint32_t* rows, double* c0, double* c1,
                                                   double* c2, double* c3, double* c4,
                                                   int32_t channel, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_HWConfig_GetSensorParams2";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (sensorType == nullptr || pixels == nullptr || rows == nullptr || c0 == nullptr ||
            c1 == nullptr || c2 == nullptr || c3 == nullptr || c4 == nullptr) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        std::lock_guard guard(deviceLock());
        const DeviceSlot* slot = openSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        const uint32_t flags = slot->configurationWord;
        switch (slot->boardType) {
        case kTypeSerial:
            if ((flags & kConfigInterfaceImage) == 0) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, kCodeInvalidInterfaceType,
                                  kInfoNotSupported);
            }
            [[fallthrough]];
        case kTypePci:
        case kTypeBoard5:
        case kTypeUsb:
        case kTypeUsb2:
            if ((flags & kConfigFrontEndImage) == 0) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, kCodeInvalidFeeType,
                                  kInfoNotSupported);
            }
            break;
        default:
            return failExport(kName, id, KORAL_LEVEL_IGNORED, kCodeInvalidInterfaceType,
                              kInfoNotSupported);
        }
        SensorParamsEx2Record read{};
        const ReadResult result = readSensorParams(*slot, id, channel, {true}, read);
        if (result == ReadResult::kRefused) {
            return failExport(kName);
        }
        *sensorType = read.sensorType;
        *pixels = read.pixelCount;
        *rows = read.rows == 0 || read.rows == 0xFFFF ? 1u : read.rows;
        *c0 = read.c0;
        *c1 = read.c1;
        *c2 = read.c2;
        *c3 = read.c3;
        *c4 = read.c4;
        return result == ReadResult::kDefaults ? failExport(kName) : 0;
    });
}

namespace {

// The older get forms: the full form with the box off, outputs on success
// only, and no stored c4 that they could not hand on.
int32_t getOlderForm(const char* name, uint32_t* sensorType, uint32_t* pixels, uint32_t* rows,
                     double* (&c)[4], int32_t channel, uint32_t interfaceId) {
    return runExport(name, [&]() -> int32_t {
        // Written through afterwards: refused here rather than dereferenced.
        if (sensorType == nullptr || pixels == nullptr || c[0] == nullptr || c[1] == nullptr ||
            c[2] == nullptr || c[3] == nullptr) {
            return failExport(name, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        uint32_t type = 0;
        uint32_t count = 0;
        uint32_t rowCount = 0;
        double values[5] = {};
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result = KORAL_HWConfig_GetSensorParams2(&type, &count, &rowCount, &values[0],
                                                     &values[1], &values[2], &values[3], &values[4],
                                                     channel, interfaceId);
        }
        if (result != 0) {
            failExport(name);
            return result;
        }
        if (std::fabs(values[4]) > kC4Tolerance) {
            return failExport(name, static_cast<int32_t>(interfaceId), KORAL_LEVEL_IGNORED,
                              code::kInvalidParameter, kInfoImageNotSupported);
        }
        *sensorType = type;
        *pixels = count;
        if (rows != nullptr) {
            *rows = rowCount;
        }
        for (size_t i = 0; i < 4; ++i) {
            *c[i] = values[i];
        }
        return 0;
    });
}

} // namespace

extern "C" int32_t KORAL_HWConfig_GetSensorParams(uint32_t* sensorType, uint32_t* pixels,
                                                  double* c0, double* c1, double* c2, double* c3,
                                                  int32_t channel, uint32_t interfaceId) {
    double* c[4] = {c0, c1, c2, c3};
    return getOlderForm("KORAL_HWConfig_GetSensorParams", sensorType, pixels, nullptr, c, channel,
                        interfaceId);
}

extern "C" int32_t KORAL_HWConfig_GetSensorParamsEx(uint32_t* sensorType, uint32_t* pixels,
                                                    uint32_t* rows, double* c0, double* c1,
                                                    double* c2, double* c3, int32_t channel,
                                                    uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_HWConfig_GetSensorParamsEx";
    if (rows == nullptr) {
        return runExport(kName, [&]() -> int32_t {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        });
    }
    double* c[4] = {c0, c1, c2, c3};
    return getOlderForm(kName, sensorType, pixels, rows, c, channel, interfaceId);
}

extern "C" int32_t KORAL_HWConfig_ChangeSensorParamsTemp(uint32_t, uint32_t, uint32_t, uint32_t) {
    constexpr const char* kName = "KORAL_HWConfig_ChangeSensorParamsTemp";
    return runExport(kName, [&]() -> int32_t {
        return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable, kInfoNotSupported);
    });
}
