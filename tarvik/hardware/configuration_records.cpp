// Reading the sensor parameters of the configuration EEPROM images, and the
// exports that hand them out. Changing them goes through the same images.

#include "hardware/configuration_records.h"

#include "acquisition/acquisition_helpers.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/actual_configuration.h"
#include "hardware/eeprom_image.h"
#include "hardware/sensor_tables.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

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

constexpr int32_t kCodeInvalidFeeType = 803;    // "INVALID FEE TYPE"
constexpr int32_t kInfoImageNotSupported = 843; // "EEPROM IMAGE NOT SUPPORTED"
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
        recordError(id, KORAL_LEVEL_DEFAULT_VALUE, code::kInvalidEepromValue, 0);
        return ReadResult::kDefaults;
    }
    return ReadResult::kRead;
}

// The interface types that hold sensor parameters, and the images they need:
// 0, or -1 with the record written. serialCheck adds what the serial
// electronics need beyond the front-end image.
template <class SerialCheck>
int32_t checkSensorInterface(const DeviceSlot& slot, int32_t id, SerialCheck&& serialCheck) {
    switch (slot.boardType) {
    case kTypeSerial:
        if (!serialCheck()) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType,
                        code::kFunctionNotSupported);
            return -1;
        }
        [[fallthrough]];
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2:
        if ((slot.configurationWord & kConfigFrontEndImage) == 0) {
            recordError(id, KORAL_LEVEL_IGNORED, kCodeInvalidFeeType, code::kFunctionNotSupported);
            return -1;
        }
        return 0;
    default:
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType,
                    code::kFunctionNotSupported);
        return -1;
    }
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
    if (channel < 1 || channel > kMaxMuxChannel || imageKindWord(bytes) != kImageKindMux) {
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

namespace {
// The checks both Ex2 exports make of the caller's record: present, its size,
// the reserved words. 0 or the failed export's -1.
int32_t refuseEx2Record(const char* name, uint32_t reserved, const SensorParamsEx2Record* record) {
    if (record == nullptr) {
        return failExport(name, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
    }
    if (record->size != kSensorParamsEx2Size) {
        return failExport(name, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          code::kInvalidParameterSize);
    }
    if (reserved != 0 || record->reserved != 0) {
        return failExport(name, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
    }
    return 0;
}
} // namespace

extern "C" int32_t KORAL_HWConfig_GetSensorParamsEx2(uint32_t reserved,
                                                     SensorParamsEx2Record* record, int32_t channel,
                                                     uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_HWConfig_GetSensorParamsEx2";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (refuseEx2Record(kName, reserved, record) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        const DeviceSlot* slot = openSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        if ((slot->configurationWord & kConfigFrontEndImage) == 0) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, kCodeInvalidFeeType,
                              code::kFunctionNotSupported);
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
        if (checkSensorInterface(*slot, id, [&] {
                return (slot->configurationWord & kConfigInterfaceImage) != 0;
            }) != 0) {
            return failExport(kName);
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
        return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                          code::kFunctionNotSupported);
    });
}

// --- changing sensor parameters

namespace tarvik {
namespace {

constexpr int32_t kFrontEndAddress = 0xA0;
constexpr int32_t kMuxAddress = 0xA4;
constexpr size_t kInterfaceType = 6; // type word of the interface image
constexpr uint16_t kSerialInterfaceImageKind = kImageKindInterface;
constexpr uint16_t kSerialFrontEndLength = 36;
constexpr uint32_t kTwoChannelOptical = 6;
constexpr uint16_t kTechnologyArea = 3;
constexpr uint16_t kAreaFourthWord = 64;
constexpr int32_t kCodeIoFailed = code::kDeviceIo; // 303
constexpr int32_t kCodeI2cWrite = 307;             // "I2C ERROR WRITE DATA"
constexpr int32_t kCodeImageNotSupported = 843;    // "EEPROM IMAGE NOT SUPPORTED"
constexpr int32_t kInfoInvalidChannelNumber = 827; // "INVALID CHANNEL NUMBER"
constexpr int32_t kRevisionShift = 12;
constexpr size_t kRevisionWord = 8;

using Image = std::array<uint8_t, kConfigurationImageSize>;

struct Change {
    int32_t id = 0;
    uint32_t interfaceType = 0;
    bool serial = false;
    uint16_t type = 0; // remapped
    uint16_t technology = 0;
    SensorParamsEx2Record values{};
};

uint16_t revisionOf(const uint8_t* image) {
    return static_cast<uint16_t>(imageU16(image, kRevisionWord) >> kRevisionShift);
}

void setRevision(uint8_t* image, uint16_t revision) {
    const uint16_t word = imageU16(image, kRevisionWord);
    setImageU16(image, kRevisionWord,
                static_cast<uint16_t>((word & 0x0FFF) | (revision << kRevisionShift)));
}

// Steps shared by both targets on the working copy: the revision, the fourth
// word the older layouts cannot hold, and the serial electronics' layout.
// 0, or -1 with the record written.
int32_t checkRevision(const Change& change, uint8_t* working, int32_t imageInfo) {
    uint16_t revision = revisionOf(working);
    if (revision == 0 && !change.serial) {
        revision = 1;
        setRevision(working, revision);
    }
    if (revision > 2) {
        recordError(change.id, KORAL_LEVEL_IGNORED, kCodeImageNotSupported, imageInfo);
        return -1;
    }
    if (revision < 2 && change.type != kFileSensorType) {
        const uint16_t expected =
            change.technology == kTechnologyArea ? kAreaFourthWord : uint16_t{1};
        if (change.values.fourthSensorWord != expected) {
            recordError(change.id, KORAL_LEVEL_IGNORED, kCodeImageNotSupported,
                        code::kInvalidParameter);
            return -1;
        }
    }
    if (change.serial) {
        if (revision > 1) {
            recordError(change.id, KORAL_LEVEL_IGNORED, kCodeImageNotSupported,
                        code::kInvalidParameter);
            return -1;
        }
        setRevision(working, 0);
        setImageU16(working, 0, kSerialFrontEndLength);
    }
    return 0;
}

void writeEntry(uint8_t* image, size_t entry, size_t coefficients, size_t c4At, bool withC4,
                const Change& change) {
    const SensorParamsEx2Record& v = change.values;
    setImageU16(image, entry, change.type);
    setImageU16(image, entry + 2, v.pixelCount);
    setImageU16(image, entry + 4, v.rows);
    setImageU16(image, entry + 6, v.fourthSensorWord);
    const double c[4] = {v.c0, v.c1, v.c2, v.c3};
    for (size_t i = 0; i < 4; ++i) {
        setImageF32(image, coefficients + 4 * i, static_cast<float>(c[i]));
    }
    if (withC4) {
        setImageF32(image, c4At, static_cast<float>(v.c4));
    }
}

// The slot's image checked and brought up to date, then the working copy's
// checksum; false with 5/303/info written.
bool storeChecksums(const Change& change, uint8_t* slotImage, uint8_t* working, uint8_t kind,
                    int32_t info, const std::function<void(uint8_t*)>& writeSlot) {
    CEepromImage slotView;
    if (!slotView.Attach(slotImage, kind) || (!change.serial && !slotView.Verify()) ||
        !slotView.UpgradeLayout(false)) {
        recordError(change.id, KORAL_LEVEL_IGNORED, kCodeIoFailed, info);
        return false;
    }
    writeSlot(slotImage);
    CEepromImage workingView;
    if (!slotView.ComputeChecksum(true) || !workingView.Attach(working, kind) ||
        !workingView.ComputeChecksum(true)) {
        recordError(change.id, KORAL_LEVEL_IGNORED, kCodeIoFailed, info);
        return false;
    }
    return true;
}

bool rereadImage(int32_t address, uint8_t* slotImage, uint32_t interfaceId) {
    Image read{};
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        result = KORAL_I2C_Read_EEPROM_X(address, read.data(), interfaceId);
    }
    if (result != 0) {
        return false;
    }
    std::copy(read.begin(), read.end(), slotImage);
    return true;
}

bool writeImage(int32_t address, const Image& working, uint32_t interfaceId) {
    ErrorBoxOff boxOff;
    return KORAL_I2C_Write_EEPROM_X(address, working.data(), interfaceId) == 0;
}

int32_t changeFrontEnd(const Change& change, uint32_t interfaceId) {
    Image working{};
    {
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = deviceSlot(change.id);
        if (slot == nullptr) {
            recordError(change.id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
            return -1;
        }
        uint8_t* slotImage = slot->configuration.data() + kFrontEndImageOffset;
        if (!change.serial && !rereadImage(kFrontEndAddress, slotImage, interfaceId)) {
            recordError(change.id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                        kInfoInvalidChannelNumber);
            return -1;
        }
        std::copy(slotImage, slotImage + working.size(), working.begin());
        if (checkRevision(change, working.data(), code::kReadingEepromFrontEnd) != 0) {
            return -1;
        }
        const bool withC4 = revisionOf(working.data()) != 0 && !change.serial;
        writeEntry(working.data(), kFrontEndEntry, kFrontEndCoefficients, 40, withC4, change);
        if (!withC4) {
            std::fill(working.begin() + 40, working.begin() + 46, uint8_t{0xFF});
        }
        if (!storeChecksums(change, slotImage, working.data(), kImageKindFrontEnd,
                            code::kReadingEepromFrontEnd, [&](uint8_t* image) {
                                writeEntry(image, kFrontEndEntry, kFrontEndCoefficients, 40, true,
                                           change);
                            })) {
            return -1;
        }
    }
    if (!writeImage(kFrontEndAddress, working, interfaceId)) {
        recordError(change.id, KORAL_LEVEL_NOT_DONE, kCodeI2cWrite, code::kReadingEepromFrontEnd);
        return -1;
    }
    return 0;
}

int32_t changeMux(const Change& change, int32_t channel, uint32_t interfaceId) {
    if (channel < 1 || channel > kMaxMuxChannel) {
        recordError(change.id, KORAL_LEVEL_NOT_DONE, kCodeI2cWrite, code::kReadingEepromFrontEnd);
        return -1;
    }
    Image working{};
    working.fill(0xFF);
    {
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = deviceSlot(change.id);
        if (slot == nullptr) {
            recordError(change.id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
            return -1;
        }
        uint8_t* slotImage = slot->configuration.data() + kMuxImageOffset;
        // Nothing is changed when the multiplexer's image cannot be read.
        if (!change.serial && !rereadImage(kMuxAddress, slotImage, interfaceId)) {
            recordError(change.id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                        code::kReadingEepromMux);
            return -1;
        }
        size_t copied = working.size();
        if (change.serial) {
            const int32_t channels = GetFrontEndChannelCount(
                slot->muxType, imageU16(slotImage, kRevisionWord) & 0x0FFF, change.id);
            copied = std::min(working.size(),
                              static_cast<size_t>(std::max(channels, 0)) * kMuxEntryStride + 16);
        }
        std::copy(slotImage, slotImage + copied, working.begin());
        if (revisionOf(working.data()) == 0 && !change.serial) {
            const int32_t channels = GetFrontEndChannelCount(
                imageU16(working.data(), kInterfaceType),
                imageU16(working.data(), kRevisionWord) & 0x0FFF, change.id);
            for (int32_t i = 0; i < std::min(channels, kMaxMuxChannel); ++i) {
                setImageF32(working.data(), kMuxC4 + static_cast<size_t>(i) * 4, 0.0f);
            }
        }
        if (checkRevision(change, working.data(), code::kReadingEepromMux) != 0) {
            return -1;
        }
        const bool withC4 = revisionOf(working.data()) != 0 && !change.serial;
        // The two-channel optical multiplexer keeps both entries equal.
        std::vector<size_t> channels{static_cast<size_t>(channel)};
        if (slot->muxType == kTwoChannelOptical) {
            channels.push_back(channel == 1 ? 2 : 1);
        }
        auto write = [&](uint8_t* image, bool c4) {
            for (size_t n : channels) {
                const size_t base = (n - 1) * kMuxEntryStride;
                writeEntry(image, kFrontEndEntry + base, kFrontEndCoefficients + base,
                           kMuxC4 + (n - 1) * 4, c4, change);
            }
        };
        write(working.data(), withC4);
        if (!storeChecksums(change, slotImage, working.data(), kImageKindMux,
                            code::kReadingEepromMux, [&](uint8_t* image) { write(image, true); })) {
            return -1;
        }
    }
    if (!writeImage(kMuxAddress, working, interfaceId)) {
        recordError(change.id, KORAL_LEVEL_NOT_DONE, kCodeI2cWrite, code::kReadingEepromMux);
        return -1;
    }
    return 0;
}

// What float can hold: anything else would be lost (or undefined) on the way
// into the image.
bool isStorable(double value) {
    return std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max();
}

} // namespace
} // namespace tarvik

extern "C" int32_t KORAL_HWConfig_ChangeSensorParamsEx2(uint32_t reserved,
                                                        SensorParamsEx2Record* record,
                                                        int32_t channel, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_HWConfig_ChangeSensorParamsEx2";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (refuseEx2Record(kName, reserved, record) != 0) {
            return -1;
        }
        Change change;
        change.id = id;
        change.values = *record;
        const SensorParamsEx2Record& v = change.values;
        if (!isStorable(v.c0) || !isStorable(v.c1) || !isStorable(v.c2) || !isStorable(v.c3) ||
            !isStorable(v.c4)) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        change.type = RemapSensorTypeCode(v.sensorType);
        const SensorTypeRow* row = FindSensorType(change.type);
        change.technology = row != nullptr ? row->technology() : 0;
        bool toMux = false;
        {
            std::lock_guard guard(deviceLock());
            const DeviceSlot* slot = openSlot(id);
            if (slot == nullptr) {
                return failExport(kName);
            }
            change.interfaceType = slot->boardType;
            change.serial = slot->boardType == kTypeSerial;
            // The serial electronics store no c4.
            if (change.serial && v.c4 != 0.0) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidUse);
            }
            const uint8_t* interfaceImage = slot->configuration.data();
            if (checkSensorInterface(*slot, id, [&] {
                    return imageKindWord(interfaceImage) == kSerialInterfaceImageKind &&
                           imageU16(interfaceImage, kInterfaceType) == kTypeSerial;
                }) != 0) {
                return failExport(kName);
            }
            toMux = slot->muxPresent == 1 && slot->muxType != kSerialMux7;
        }
        if (change.type == kFileSensorType) {
            change.values.pixelCount = 0;
            change.values.rows = 0;
            change.values.fourthSensorWord = 0;
        }
        const int32_t result =
            toMux ? changeMux(change, channel, interfaceId) : changeFrontEnd(change, interfaceId);
        return result != 0 ? failExport(kName) : 0;
    });
}

extern "C" int32_t KORAL_HWConfig_ChangeSensorParams2X(uint32_t, uint16_t sensorType,
                                                       uint16_t pixels, double c0, double c1,
                                                       double c2, double c3, double c4,
                                                       uint32_t channel, uint32_t interfaceId) {
    // The name this export has always reported under.
    constexpr const char* kName = "KORAL_HWConfig_ChangeSensorParams";
    return runExport(kName, [&]() -> int32_t {
        const SensorTypeRow* row = FindSensorType(sensorType);
        if (row == nullptr) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorType);
        }
        SensorParamsEx2Record record{};
        record.size = kSensorParamsEx2Size;
        record.sensorType = sensorType;
        record.pixelCount = pixels;
        record.rows = 1;
        record.fourthSensorWord = row->technology() == kTechnologyArea ? kAreaFourthWord : 1;
        record.c0 = c0;
        record.c1 = c1;
        record.c2 = c2;
        record.c3 = c3;
        record.c4 = c4;
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result = KORAL_HWConfig_ChangeSensorParamsEx2(0, &record, static_cast<int32_t>(channel),
                                                          interfaceId);
        }
        if (result != 0) {
            failExport(kName);
        }
        return result;
    });
}

extern "C" int32_t KORAL_HWConfig_ChangeSensorParams2(uint32_t sensorType, int32_t pixels,
                                                      int32_t rows, double c0, double c1, double c2,
                                                      double c3, double c4, uint32_t channel,
                                                      uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_HWConfig_ChangeSensorParams2";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckInitialised, id) != 0) {
            return -1;
        }
        {
            std::lock_guard guard(deviceLock());
            const DeviceSlot* slot = openSlot(id);
            if (slot == nullptr) {
                return failExport(kName);
            }
            switch (slot->boardType) {
            case kTypeSerial:
                if ((slot->configurationWord & kConfigInterfaceImage) == 0) {
                    return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType,
                                      code::kFunctionNotSupported);
                }
                if (rows != 1) {
                    return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kFunctionNotSupported,
                                      code::kInvalidSensorRows);
                }
                break;
            case kTypePci:
            case kTypeBoard5:
            case kTypeUsb:
            case kTypeUsb2:
                break;
            default:
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType,
                                  code::kFunctionNotSupported);
            }
        }
        const int32_t index = FindSensorTypeIndex(sensorType);
        // Above 16 bits a type would be cut short on the way to the image.
        if (index < 0 || sensorType > 0xFFFF) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorType);
        }
        const bool fileType = sensorType == kFileSensorType;
        if (!fileType) {
            const bool anyLength = IsAnyLengthType(static_cast<uint32_t>(index));
            if (!anyLength &&
                (pixels < 0 || !IsSensorLengthSupportedByType(static_cast<uint32_t>(index),
                                                              static_cast<uint32_t>(pixels)))) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidSensorLength);
            }
            if (rows < 0 || (rows >= 2 && !anyLength)) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kFunctionNotSupported,
                                  code::kInvalidSensorRows);
            }
        }
        const auto forwarded =
            fileType ? uint16_t{0} : static_cast<uint16_t>(static_cast<uint32_t>(pixels) & 0x7FFF);
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result =
                KORAL_HWConfig_ChangeSensorParams2X(0, static_cast<uint16_t>(sensorType), forwarded,
                                                    c0, c1, c2, c3, c4, channel, interfaceId);
        }
        if (result != 0) {
            failExport(kName);
        }
        return result;
    });
}

namespace {

// The older change forms: the full form with the box off, under their own
// name on failure.
template <class Call> int32_t forwardChange(const char* name, Call&& call) {
    return runExport(name, [&]() -> int32_t {
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result = call();
        }
        if (result != 0) {
            failExport(name);
        }
        return result;
    });
}

} // namespace

extern "C" int32_t KORAL_HWConfig_ChangeSensorParams(uint32_t sensorType, int32_t pixels, double c0,
                                                     double c1, double c2, double c3,
                                                     uint32_t channel, uint32_t interfaceId) {
    return forwardChange("KORAL_HWConfig_ChangeSensorParams", [&] {
        return KORAL_HWConfig_ChangeSensorParams2(sensorType, pixels, 1, c0, c1, c2, c3, 0.0,
                                                  channel, interfaceId);
    });
}

extern "C" int32_t KORAL_HWConfig_ChangeSensorParamsEx(uint32_t sensorType, int32_t pixels,
                                                       int32_t rows, double c0, double c1,
                                                       double c2, double c3, uint32_t channel,
                                                       uint32_t interfaceId) {
    return forwardChange("KORAL_HWConfig_ChangeSensorParamsEx", [&] {
        return KORAL_HWConfig_ChangeSensorParams2(sensorType, pixels, rows, c0, c1, c2, c3, 0.0,
                                                  channel, interfaceId);
    });
}

extern "C" int32_t KORAL_HWConfig_ChangeSensorParamsX(uint32_t ignored, uint16_t sensorType,
                                                      uint16_t pixels, double c0, double c1,
                                                      double c2, double c3, uint32_t channel,
                                                      uint32_t interfaceId) {
    return forwardChange("KORAL_HWConfig_ChangeSensorParams", [&] {
        return KORAL_HWConfig_ChangeSensorParams2X(ignored, sensorType, pixels, c0, c1, c2, c3, 0.0,
                                                   channel, interfaceId);
    });
}
