#include "hardware/sensor_tables.h"

#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/eeprom_image.h"
#include "tarvik.h"

#include <algorithm>
#include <initializer_list>
#include <mutex>

namespace tarvik {
namespace {

// --- SensorLengthCode

struct LengthCode {
    uint16_t code;
    uint16_t pixels;
};

constexpr LengthCode kLengthCodes[] = {
    {1, 128},   {2, 256},    {4, 512},    {8, 532},   {16, 1024},   {32, 1044},
    {64, 2048}, {128, 4256}, {256, 8352}, {512, 738}, {1024, 2080},
};

// --- SensorConfigTable
//
// The table is generated at compile time from its groups: for each interface
// type in ascending order, each line that names it, and within a line every
// combination of front end (with clock code), multiplexer type and sensor
// type in the order given.

// Stands for the multiplexer types of the interface type: 0, 6, 7, 9 for
// types 4 and 6, and 0, 6 for type 5.
constexpr int kMuxM = 100;

struct ConfigLine {
    std::initializer_list<int> interfaces;
    int frontEnd;
    int clockCode;
    std::initializer_list<int> muxes;
    std::initializer_list<int> sensors;
};

constexpr std::initializer_list<int> kAll4 = {0, 16, 1, 2};

constexpr ConfigLine kConfigLines[] = {
    {{1}, 0, 0, {0, 1, 2}, kAll4},
    {{1}, 2, 0, {0}, {1, 2}},
    {{1}, 2, 0, {4}, {2}},
    {{1}, 3, 0, {0, 1, 2, 4}, kAll4},
    {{1}, 1, 0, {0}, {3, 5, 13, 18, 19, 20, 4}},
    {{1}, 6, 0, {0}, {6}},
    {{3}, 0, 0, {0, 1, 2}, kAll4},
    {{3}, 2, 0, {0, 6}, {1, 2}},
    {{3}, 2, 0, {4}, {2}},
    {{3}, 3, 0, {0, 4, 6}, kAll4},
    {{3}, 1, 0, {0, 6}, {3, 5, 13, 18, 19, 20}},
    {{3}, 6, 0, {0, 6}, {6}},
    {{4, 5}, 0, 0, {0, 1, 2, 3}, kAll4},
    {{4, 5, 6}, 2, 0, {4}, {2}},
    {{4, 5, 6}, 2, 0, {kMuxM}, {1, 2}},
    {{4, 5, 6}, 3, 0, {0, 4, 5, kMuxM}, kAll4},
    {{4, 5, 6}, 1, 0, {kMuxM}, {3, 5, 13, 18, 19, 20, 14, 15, 4}},
    {{4, 5, 6}, 6, 0, {kMuxM}, {11, 9, 6, 10}},
    {{4, 5, 6}, 7, 0, {kMuxM}, {8, 7, 17}},
    {{4, 5, 6}, 9, 1, {kMuxM}, {0, 2}},
    {{4, 5, 6}, 9, 4, {kMuxM}, {0, 2}},
    {{4, 5, 6}, 10, 2, {kMuxM}, {5, 3, 21, 18, 19, 20, 14}},
    {{4, 5, 6}, 10, 3, {kMuxM}, {13, 21, 15}},
    {{4, 5, 6}, 11, 2, {kMuxM}, {8, 7, 17}},
    {{8}, 8, 0, {8}, {22}},
};

constexpr int kConfigInterfaceTypes[] = {1, 3, 4, 5, 6, 8};

// The multiplexer types of a line for one interface type, M expanded, each
// type once (the first occurrence keeps its place).
constexpr int expandMuxes(const ConfigLine& line, int interfaceType, int (&out)[8]) {
    int count = 0;
    auto add = [&](int mux) {
        for (int i = 0; i < count; ++i) {
            if (out[i] == mux) {
                return;
            }
        }
        out[count++] = mux;
    };
    for (int mux : line.muxes) {
        if (mux != kMuxM) {
            add(mux);
        } else if (interfaceType == 5) {
            add(0);
            add(6);
        } else {
            for (int m : {0, 6, 7, 9}) {
                add(m);
            }
        }
    }
    return count;
}

constexpr std::array<uint32_t, kSensorConfigCount> buildSensorConfigTable() {
    std::array<uint32_t, kSensorConfigCount> table{};
    size_t n = 0;
    for (int type : kConfigInterfaceTypes) {
        for (const ConfigLine& line : kConfigLines) {
            if (std::find(line.interfaces.begin(), line.interfaces.end(), type) ==
                line.interfaces.end()) {
                continue;
            }
            int muxes[8] = {};
            const int muxCount = expandMuxes(line, type, muxes);
            for (int m = 0; m < muxCount; ++m) {
                for (int sensor : line.sensors) {
                    if (n >= table.size()) {
                        throw "SensorConfigTable has more than 532 words";
                    }
                    table[n++] = makeSensorConfigWord(
                        static_cast<uint32_t>(type), static_cast<uint32_t>(line.clockCode),
                        static_cast<uint32_t>(line.frontEnd), static_cast<uint32_t>(muxes[m]),
                        static_cast<uint32_t>(sensor));
                }
            }
        }
    }
    if (n != table.size()) {
        throw "SensorConfigTable has fewer than 532 words";
    }
    return table;
}

constexpr std::array<uint32_t, kSensorConfigIndexSize>
buildSensorConfigIndex(const std::array<uint32_t, kSensorConfigCount>& table) {
    std::array<uint32_t, kSensorConfigIndexSize> index{};
    index.fill(kNoConfigIndex);
    size_t p = 0;
    int previous = -1;
    for (uint32_t t = 1; t <= 8; ++t) {
        while (p < table.size() && (table[p] & 31) < t) {
            ++p;
        }
        if (p >= table.size()) {
            break;
        }
        if ((table[p] & 31) == t) {
            index[t] = static_cast<uint32_t>(p);
            if (previous >= 0) {
                index[static_cast<size_t>(previous)] =
                    (index[static_cast<size_t>(previous)] & 0xFFFF) | static_cast<uint32_t>(p - 1)
                                                                          << 16;
            }
            previous = static_cast<int>(t);
        }
    }
    if (previous >= 0) {
        index[static_cast<size_t>(previous)] = (index[static_cast<size_t>(previous)] & 0xFFFF) |
                                               static_cast<uint32_t>(table.size() - 1) << 16;
    }
    return index;
}

constexpr auto kConfigTable = buildSensorConfigTable();
constexpr auto kConfigIndex = buildSensorConfigIndex(kConfigTable);

constexpr uint32_t range(uint32_t first, uint32_t last) {
    return first | last << 16;
}
static_assert(kConfigIndex[1] == range(0, 38));
static_assert(kConfigIndex[3] == range(39, 81));
static_assert(kConfigIndex[4] == range(82, 262));
static_assert(kConfigIndex[5] == range(263, 365));
static_assert(kConfigIndex[6] == range(366, 530));
static_assert(kConfigIndex[8] == range(531, 531));
static_assert(kConfigIndex[0] == kNoConfigIndex && kConfigIndex[2] == kNoConfigIndex &&
              kConfigIndex[7] == kNoConfigIndex && kConfigIndex[9] == kNoConfigIndex);

// Written once at load, read afterwards; before that every lookup misses.
constinit std::array<uint32_t, kSensorConfigIndexSize> g_configIndex = [] {
    std::array<uint32_t, kSensorConfigIndexSize> index{};
    index.fill(kNoConfigIndex);
    return index;
}();

} // namespace

constexpr std::array<SensorTypeRow, kSensorTypeCount> SensorTypeTable = {{
    {128 | 0 << 12, 0x0000}, {0 | 1 << 12, 0x0017},  {7 | 3 << 12, 0x81A8},  {8 | 3 << 12, 0x81A8},
    {5 | 2 << 12, 0x0007},   {13 | 2 << 12, 0x0006}, {21 | 2 << 12, 0x0004}, {3 | 2 << 12, 0x0003},
    {16 | 1 << 12, 0x0003},  {1 | 1 << 12, 0x0002},  {2 | 1 << 12, 0x0014},  {17 | 3 << 12, 0x0028},
    {14 | 2 << 12, 0x0004},  {15 | 2 << 12, 0x0002}, {18 | 2 << 12, 0x0001}, {19 | 2 << 12, 0x0002},
    {20 | 2 << 12, 0x0001},  {22 | 0 << 12, 0x0200}, {10 | 2 << 12, 0x0006}, {4 | 2 << 12, 0x0003},
    {9 | 3 << 12, 0x8028},   {6 | 3 << 12, 0x8028},  {11 | 1 << 12, 0x0016},
}};

constexpr std::array<uint32_t, kSensorConfigCount> SensorConfigTable = kConfigTable;

int32_t SensorLengthCodeToPixels(uint32_t code) {
    const auto low = static_cast<uint16_t>(code);
    if (low == kAnyLengthCode) {
        return -1;
    }
    for (const LengthCode& entry : kLengthCodes) {
        if (entry.code == low) {
            return entry.pixels;
        }
    }
    return 0;
}

uint16_t PixelsToSensorLengthCode(uint32_t pixels) {
    if (pixels == 0) {
        return 0;
    }
    for (const LengthCode& entry : kLengthCodes) {
        if (entry.pixels == pixels) {
            return entry.code;
        }
    }
    return kAnyLengthCode;
}

int32_t FindSensorTypeIndex(uint32_t type) {
    const auto low = static_cast<uint16_t>(type);
    for (size_t i = 0; i < SensorTypeTable.size(); ++i) {
        if (SensorTypeTable[i].type() == low) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

const SensorTypeRow* FindSensorType(uint32_t type) {
    const int32_t index = FindSensorTypeIndex(type);
    return index < 0 ? nullptr : &SensorTypeTable[static_cast<size_t>(index)];
}

uint16_t GetSensorLengthMask(uint32_t index) {
    return index < SensorTypeTable.size() ? SensorTypeTable[index].lengthMask : 0;
}

bool IsSensorLengthSupportedByType(uint32_t index, uint32_t pixels) {
    if (index >= SensorTypeTable.size() || pixels < 1 || pixels > 65535) {
        return false;
    }
    return (GetSensorLengthMask(index) & PixelsToSensorLengthCode(pixels)) != 0;
}

bool IsAnyLengthType(uint32_t index) {
    return (GetSensorLengthMask(index) & kAnyLengthCode) != 0;
}

bool IsFileSensorType(uint32_t type) {
    return static_cast<uint16_t>(type) == kFileSensorType;
}

uint16_t RemapSensorTypeCode(uint16_t type) {
    switch (type) {
    case 12:
        return 11;
    case 129:
        return 22;
    default:
        return type;
    }
}

void RemapImageSensorType(uint8_t* field) {
    const auto type = static_cast<uint16_t>(field[0] | field[1] << 8);
    const uint16_t mapped = RemapSensorTypeCode(type);
    field[0] = static_cast<uint8_t>(mapped);
    field[1] = static_cast<uint8_t>(mapped >> 8);
}

uint32_t ClockValueToCode(uint32_t value) {
    switch (value) {
    case 1000:
        return 1;
    case 2000:
        return 2;
    case 4000:
        return 3;
    case 100:
        return 4;
    case 8000:
        return 5;
    default:
        return 0;
    }
}

void BuildSensorConfigIndex() {
    g_configIndex = buildSensorConfigIndex(SensorConfigTable);
}

uint32_t sensorConfigIndexEntry(uint32_t interfaceType) {
    return interfaceType < g_configIndex.size() ? g_configIndex[interfaceType] : kNoConfigIndex;
}

int32_t FindSensorConfig(uint32_t word) {
    const uint32_t entry = sensorConfigIndexEntry(word & 31);
    if (entry == kNoConfigIndex) {
        return -1;
    }
    const uint32_t last = std::min<uint32_t>(entry >> 16, kSensorConfigCount - 1);
    for (uint32_t p = entry & 0xFFFF; p <= last; ++p) {
        if (SensorConfigTable[p] == word) {
            return static_cast<int32_t>(p);
        }
    }
    return -1;
}

bool IsSensorConfigSupported(uint32_t word) {
    if (((word >> 20) & 0xFF) == kFileSensorType) {
        return true;
    }
    return FindSensorConfig(word) >= 0;
}

} // namespace tarvik

// --- exports

using namespace tarvik;

namespace {

bool isClockedFrontEnd(uint32_t frontEnd) {
    return frontEnd == 9 || frontEnd == 10 || frontEnd == 11;
}

} // namespace

extern "C" int32_t KORAL_HWConfig_IsConfigSupported(int32_t a, int32_t b, uint32_t muxType,
                                                    uint8_t sensorType) {
    static constexpr const char* kName = "KORAL_HWConfig_IsConfigSupported";
    return runExport(kName, [&]() -> int32_t {
        const auto low = static_cast<uint32_t>(a);
        const auto high = static_cast<uint32_t>(b);
        uint32_t word = makeSensorConfigWord(low, 0, high, muxType, sensorType);
        if (isClockedFrontEnd(high & 0xFFFF)) {
            uint32_t clock = high >> 16;
            if (clock == 0) {
                // The clock of the interface's front end.
                int32_t id = static_cast<int32_t>(low >> 16);
                if (id == 0) {
                    id = 65535;
                }
                if (checkInterfaceForExport(kName, kCheckInitialised, id) != 0) {
                    return -1;
                }
                // The slot is read under the lock: a close on another thread frees it.
                std::lock_guard guard(deviceLock());
                const DeviceSlot* slot = deviceSlot(id);
                if (slot == nullptr) {
                    return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                                      code::kInvalidUse);
                }
                clock = imageU16(slot->configuration.data() + kFrontEndImageArea,
                                 image_field::kClockValue);
            }
            word |= ClockValueToCode(clock) << 5;
        }
        return IsSensorConfigSupported(word) ? 1 : 0;
    });
}

extern "C" int32_t KORAL_HWConfig_IsSensorLengthSupported(uint32_t sensorType, uint32_t pixels) {
    static constexpr const char* kName = "KORAL_HWConfig_IsSensorLengthSupported";
    return runExport(kName, [&]() -> int32_t {
        const int32_t index = FindSensorTypeIndex(sensorType);
        if (index < 0) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorType);
        }
        return IsSensorLengthSupportedByType(static_cast<uint32_t>(index), pixels) ? 1 : 0;
    });
}

extern "C" int32_t KORAL_HWConfig_GetSensorTechnology(uint32_t interfaceId, int32_t sensorType) {
    static constexpr const char* kName = "KORAL_HWConfig_GetSensorTechnology";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (id != 0 && checkInterfaceForExport(kName, kCheckInitialised, id) != 0) {
            return -1;
        }
        if (sensorType == kFileSensorType && id > 0) {
            std::lock_guard guard(deviceLock());
            if (const DeviceSlot* slot = deviceSlot(id)) {
                return slot->sensorTechnology;
            }
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        const SensorTypeRow* row = FindSensorType(static_cast<uint32_t>(sensorType));
        if (row == nullptr) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorType);
        }
        return row->technology();
    });
}

extern "C" int32_t KORAL_HWConfig_GetSupportedSensorLengths(uint32_t sensorType, int32_t capacity,
                                                            uint32_t* pixelCounts) {
    static constexpr const char* kName = "KORAL_HWConfig_GetSupportedSensorLengths";
    return runExport(kName, [&]() -> int32_t {
        const SensorTypeRow* row = FindSensorType(sensorType);
        if (row == nullptr) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorType);
        }
        int32_t count = 0;
        for (uint32_t bit = 0; bit < 16; ++bit) {
            const uint32_t code = 1u << bit;
            if ((row->lengthMask & code) == 0) {
                continue;
            }
            if (pixelCounts != nullptr && count < capacity) {
                pixelCounts[count] = static_cast<uint32_t>(SensorLengthCodeToPixels(code));
            }
            ++count;
        }
        return count;
    });
}

namespace {

constexpr int32_t kInfoReadingInterfaceEeprom = 828; // "READING EEPROM INTERFACE"
constexpr int32_t kMaxComPort = 15;

// How an export that worked with the box off ends: -1 with the record to
// show once the box flag is back, or the result.
struct MuxParamsOutcome {
    int32_t result = 0;
    bool report = false;
};

MuxParamsOutcome muxParamsFailure(int32_t id, int32_t level, int32_t code, int32_t info) {
    recordError(id, level, code, info);
    return {-1, true};
}

// The interface board image of the slot, read afresh into area 0 and checked
// (upgraded with write for a change); null with the record filled. A failed
// read keeps the read's record: the change shows it under its own name, the
// query leaves it as it is.
uint8_t* readInterfaceImage(DeviceSlot& slot, int32_t id, bool write, MuxParamsOutcome& outcome) {
    uint8_t* image = slot.configuration.data() + kInterfaceImageArea;
    if (KORAL_I2C_Read_EEPROM_X(kInterfaceEepromAddress, image, static_cast<uint32_t>(id)) != 0) {
        outcome = {-1, write};
        return nullptr;
    }
    CEepromImage view;
    if (!view.Attach(image, kImageKindInterface) || !view.Verify() || !view.UpgradeLayout(write)) {
        outcome =
            muxParamsFailure(id, KORAL_LEVEL_IGNORED, code::kDeviceIo, kInfoReadingInterfaceEeprom);
        return nullptr;
    }
    return image;
}

// Runs body(slot) under the DeviceLock with the box off; the box flag is back
// before the failure, if any, is shown.
template <class Body> int32_t withInterfaceImage(const char* name, int32_t id, Body&& body) {
    MuxParamsOutcome outcome;
    {
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = deviceSlot(id);
        if (id == 0 || slot == nullptr) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        ErrorBoxOff boxOff;
        outcome = body(*slot);
    }
    return outcome.report ? failExport(name) : outcome.result;
}

} // namespace

extern "C" int32_t KORAL_HWConfig_GetMUXParams(uint32_t* muxType, uint32_t* comPort,
                                               uint32_t* assemblyCode, uint32_t interfaceId) {
    static constexpr const char* kName = "KORAL_HWConfig_GetMUXParams";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        return withInterfaceImage(kName, id, [&](DeviceSlot& slot) {
            MuxParamsOutcome outcome;
            const uint8_t* image = readInterfaceImage(slot, id, false, outcome);
            if (image == nullptr) {
                return outcome;
            }
            const uint8_t type = image[image_field::kSerialMuxType];
            if (type != kSerialMuxKrd && type != kSerialMuxKrl) {
                return muxParamsFailure(id, KORAL_LEVEL_IGNORED, code::kOpenDevice, code::kNoMux);
            }
            const uint8_t config = image[image_field::kSerialMuxConfig];
            if (muxType != nullptr) {
                *muxType = type;
            }
            if (comPort != nullptr) {
                *comPort = config & 0x0F;
            }
            if (assemblyCode != nullptr) {
                *assemblyCode = config >> 4;
            }
            return outcome;
        });
    });
}

extern "C" int32_t KORAL_HWConfig_ChangeMUXParams(uint32_t muxType, int32_t comPort,
                                                  uint32_t assemblyCode, uint32_t interfaceId) {
    static constexpr const char* kName = "KORAL_HWConfig_ChangeMUXParams";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (comPort < 0 || comPort > kMaxComPort) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        if (muxType == kSerialMuxKrd || muxType == kSerialMuxKrl) {
            const uint32_t lowest = muxType == kSerialMuxKrd ? 1 : 0;
            const uint32_t highest = muxType == kSerialMuxKrd ? 4 : 6;
            if (assemblyCode < lowest || assemblyCode > highest) {
                return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kMuxTypeNotSupported);
            }
        } else if (muxType != 0) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        return withInterfaceImage(kName, id, [&](DeviceSlot& slot) {
            MuxParamsOutcome outcome;
            uint8_t* image = readInterfaceImage(slot, id, true, outcome);
            if (image == nullptr) {
                return outcome;
            }
            if (muxType != 0) {
                image[image_field::kSerialMuxType] = static_cast<uint8_t>(muxType);
                image[image_field::kSerialMuxConfig] =
                    static_cast<uint8_t>(assemblyCode << 4 | static_cast<uint32_t>(comPort));
            } else {
                image[image_field::kSerialMuxType] = kNoSerialMux;
                image[image_field::kSerialMuxConfig] = 0xFF;
            }
            CEepromImage view;
            if (!view.Attach(image, kImageKindInterface) || !view.ComputeChecksum(true)) {
                return muxParamsFailure(id, KORAL_LEVEL_IGNORED, code::kDeviceIo,
                                        kInfoReadingInterfaceEeprom);
            }
            if (KORAL_I2C_Write_EEPROM_X(kInterfaceEepromAddress, image,
                                         static_cast<uint32_t>(id)) != 0) {
                outcome = {-1, true};
            }
            return outcome;
        });
    });
}
