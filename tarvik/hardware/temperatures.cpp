// The temperature exports. Each holds the DeviceLock for the whole exchange
// with the board; the slot's sensor list is read and written only under it,
// and is stored only after a successful read, so a failed first read is
// repeated by the next call.

#include "hardware/temperatures.h"

#include "acquisition/measurement_parameters.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "tarvik.h"

#include <algorithm>
#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kInfoInvalidIndex = 831; // "INVALID INDEX"

uint16_t wordAt(std::span<const uint8_t> area, size_t i) {
    return static_cast<uint16_t>(area[2 * i] | area[2 * i + 1] << 8);
}

// The firmware's sensors need a driver that knows the command.
int32_t refuseOldDriver(const char* name, const DeviceSlot& slot, int32_t id) {
    if (slot.block()->DriverVersion < kTemperatureDriverVersion) {
        return failExport(name, id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                          code::kFirmwareObsolete);
    }
    return 0;
}

// Asks the board for all its sensors and keeps their ids in the slot. 0, or
// -1 with the record written (the export's name still to come).
int32_t readTemperatureList(DeviceSlot& slot, TemperatureList& list) {
    slot.block()->I2CDevice = 0;
    if (ResizeRequestBlock(slot.interfaceId, kTemperatureListWords) != 0 ||
        SendDeviceCommand(KORAL_CMD_GET_TEMPERATURES) != 0) {
        return -1;
    }
    const size_t words = std::min<size_t>(slot.block()->DataLength, slot.extraBytes / 2 + 2);
    list = ParseTemperatureList(std::span<const uint8_t>(slot.data(), words * 2));
    slot.temperatureSensorCount = list.count;
    std::copy(list.ids.begin(), list.ids.end(), slot.temperatureSensorIds.begin());
    slot.temperatureListKnown = 1;
    return 0;
}

} // namespace

TemperatureList ParseTemperatureList(std::span<const uint8_t> area) {
    TemperatureList list;
    const size_t words = area.size() / 2;
    if (words == 0) {
        return list;
    }
    const size_t fits = (words - 1) / 2;
    const size_t count = std::min<size_t>({wordAt(area, 0), kMaxTemperatureSensors, fits});
    list.count = static_cast<uint16_t>(count);
    for (size_t i = 0; i < count; ++i) {
        list.ids[i] = wordAt(area, 1 + i);
        list.degrees[i] = SensorTemperature(wordAt(area, 1 + count + i));
    }
    return list;
}

double BoardSensorTemperature(uint8_t whole, uint8_t fraction) {
    const double half = (fraction & 0x80) != 0 ? 0.5 : 0.0;
    return whole < 128 ? whole + half : (whole - 256.0) - half;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_GetBoardTemperature(uint32_t interfaceId, double* temperature) {
    constexpr const char* kName = "KORAL_GetBoardTemperature";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (slot.boardType != kTypeBoard5 && slot.boardType != kTypeUsb2) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidInterfaceType);
            }
            if (temperature == nullptr) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            uint8_t bytes[2] = {0, 0};
            int32_t result = 0;
            {
                ErrorBoxOff boxOff;
                result = slot.boardType == kTypeBoard5
                             ? KORAL_I2C_Read_N_X(kBoardTemperatureSensor, bytes, 0, 2, interfaceId)
                             : KORAL_I2C_Read_1_X(kBoardTemperatureSensor, bytes, 2, interfaceId);
            }
            if (result != 0) {
                return failExport(kName);
            }
            *temperature = BoardSensorTemperature(bytes[0], bytes[1]);
            return 0;
        });
}

extern "C" int32_t KORAL_I2C_GetAllTemperatures(uint32_t /*reserved*/, TemperatureRecord* record,
                                                uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_I2C_GetAllTemperatures";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (refuseOldDriver(kName, slot, id) != 0) {
                return -1;
            }
            if (record == nullptr) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            if (record->size != sizeof(TemperatureRecord)) {
                return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidParameterSize);
            }
            TemperatureList list;
            if (readTemperatureList(slot, list) != 0) {
                return failExport(kName);
            }
            record->count = static_cast<int16_t>(list.count);
            for (size_t i = 0; i < list.count; ++i) {
                record->sensorId[i] = list.ids[i];
                record->temperature[i] = list.degrees[i];
            }
            return 0;
        });
}

extern "C" int32_t KORAL_I2C_GetTemperature(uint32_t /*reserved*/, int32_t sensorIndex,
                                            float* temperature, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_I2C_GetTemperature";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (refuseOldDriver(kName, slot, id) != 0) {
                return -1;
            }
            if (temperature == nullptr) {
                return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            TemperatureList list;
            if (slot.temperatureListKnown == 0 && readTemperatureList(slot, list) != 0) {
                return failExport(kName);
            }
            if (sensorIndex < 0 || sensorIndex >= slot.temperatureSensorCount) {
                return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  kInfoInvalidIndex);
            }
            slot.block()->I2CDevice =
                static_cast<uint8_t>(slot.temperatureSensorIds[static_cast<size_t>(sensorIndex)]);
            if (SendDeviceCommand(KORAL_CMD_GET_TEMPERATURES) != 0) {
                return failExport(kName);
            }
            *temperature = SensorTemperature(slot.block()->Temperature);
            return 0;
        });
}
