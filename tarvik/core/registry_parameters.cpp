#include "core/registry_parameters.h"

#include "core/last_error.h"
#include "core/library_state.h"

#include "platform/config_store.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

namespace tarvik {
namespace {

constexpr const char* kSensorFileValue = "Ext Sensor Desc file name";
// The file names were fixed 256-byte buffers.
constexpr size_t kMaxFileNameBytes = 255;

std::optional<int32_t> readDword(const platform::ConfigKey& key, const char* name) {
    uint32_t value = 0;
    if (key.queryDword(name, value) != 0) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

// ENOENT when the value is missing; a string that would not have fit is left out.
int readFileName(const platform::ConfigKey& key, const std::string& name, std::string& out) {
    std::string value;
    const int result = key.queryString(name, value);
    if (result != 0) {
        return result;
    }
    if (value.size() > kMaxFileNameBytes) {
        return EFBIG;
    }
    out = value;
    return 0;
}

} // namespace

void ReadLibraryParameters() {
    LibraryState* state = libraryState();
    if (state == nullptr) {
        return;
    }
    platform::ConfigKey key;
    if (key.open(platform::ConfigRoot::Machine, kParametersKey, platform::ConfigAccess::Read) !=
        0) {
        recordError(0, KORAL_LEVEL_DEFAULT_VALUE, code::kOpenRegistry, 0);
        return;
    }
    if (auto value = readDword(key, "MUX-7WEN Delay time")) {
        state->mux7wenDelayTime = *value;
    }
    if (auto value = readDword(key, "Min. Integration time"); value && *value > 0) {
        state->minimumIntegrationTime = *value;
    }
    if (auto value = readDword(key, "MUX-7WEN Ctrl Mode")) {
        state->mux7wenCtrlMode = static_cast<uint32_t>(*value) & 3;
    }
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        char name[64];
        std::snprintf(name, sizeof name, "%s OE%ld", kSensorFileValue, static_cast<long>(id));
        std::string& file = state->sensorDescriptionFiles[static_cast<size_t>(id)];
        if (readFileName(key, name, file) == platform::kConfigNotFound && id == 1) {
            readFileName(key, kSensorFileValue, file);
        }
    }
    if (auto value = readDword(key, "Darkcurrent pixel"); value && *value > 0) {
        state->darkcurrentPixel = static_cast<uint32_t>(*value);
    }
    if (auto value = readDword(key, "MUX-KRD Delay time")) {
        state->muxKrdDelayTime = *value < 1 ? 1 : *value;
    }
    if (auto value = readDword(key, "Sensor-Demo-Mode")) {
        state->sensorDemoMode = static_cast<uint8_t>(*value & 0xFF);
    }
    if (auto value = readDword(key, "MUX-KRD Com Mode")) {
        state->muxKrdComMode = static_cast<uint16_t>(*value & 0xFFFF);
    }
}

int32_t WriteQreParameters(uint32_t port, uint32_t baudRate, uint32_t transmission,
                           uint32_t interfaceId) {
    platform::ConfigKey key;
    int result =
        key.open(platform::ConfigRoot::User, kQreParametersKey, platform::ConfigAccess::Write);
    if (result == 0) {
        const std::pair<const char*, uint32_t> values[] = {
            {"ID", interfaceId}, {"Port", port}, {"Trans", transmission}, {"Baudrate", baudRate}};
        for (const auto& [name, value] : values) {
            result = key.setDword(name, value);
            if (result != 0) {
                break;
            }
        }
    }
    if (result != 0) {
        recordError(actualInterfaceId(), KORAL_LEVEL_NOT_DONE, code::kOpenRegistry,
                    platformErrorInfo(static_cast<uint32_t>(result)));
        return 0;
    }
    return 1;
}

int32_t ReadQreParameters(int32_t interfaceId) {
    LibraryState* state = libraryState();
    if (state == nullptr) {
        return -1;
    }
    if (state->openInterfaces > 0) {
        return 0;
    }
    platform::ConfigKey key;
    int result =
        key.open(platform::ConfigRoot::User, kQreParametersKey, platform::ConfigAccess::Read);
    if (result == platform::kConfigNotFound) {
        WriteQreParameters(1, 115200, 0, 1);
        result =
            key.open(platform::ConfigRoot::User, kQreParametersKey, platform::ConfigAccess::Read);
    }
    uint32_t storedId = 0;
    uint32_t port = 0;
    uint32_t transmission = 0;
    uint32_t baudRate = 0;
    if (result != 0 || key.queryDword("ID", storedId) != 0 || key.queryDword("Port", port) != 0 ||
        key.queryDword("Trans", transmission) != 0 || key.queryDword("Baudrate", baudRate) != 0) {
        recordError(interfaceId, KORAL_LEVEL_DEFAULT_VALUE, code::kOpenRegistry, 0);
        return -1;
    }
    // The stored ID is read, but the caller's ID wins.
    if (DeviceSlot* slot = deviceSlot(interfaceId)) {
        slot->qre.interfaceId = static_cast<uint32_t>(interfaceId);
    }
    state->serialElectronicsId = static_cast<uint32_t>(interfaceId);
    state->serialComPort = port;
    state->serialTransmission = transmission;
    state->serialBaudRate = baudRate;
    return 0;
}

} // namespace tarvik
