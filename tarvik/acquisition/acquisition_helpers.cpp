#include "acquisition/acquisition_helpers.h"

#include "acquisition/raw_data.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "serial/qre_link.h"

#include <algorithm>
#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kCodeZtkConfig = 514; // "ZTK CONFIG ERR"
constexpr double kUnsignedFullScale = 65535.0;

int32_t ztkInfo(int32_t status) {
    switch (status) {
    case 1:
        return 858; // "ZTK ERR STATUS XXX"
    case 2:
    case 3:
        return 859; // "ZTK ERR I2C WRITE OR READ FAILED"
    case 4:
        return 857; // "ZTK ERR JUMPER SETTINGS ENABLED"
    case 5:
        return 850; // "NO DEVICE OPENED"
    case 6:
        return 860; // "ZTK ERR COOLING"
    default:
        return 0;
    }
}

} // namespace

bool HasUnsignedPixelRange(int32_t interfaceId) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return false;
    }
    const uint32_t type = slot->frontEndType;
    return type == 2 || type == 7 || type == 9 || type == 11;
}

int32_t FindSlotWithOpticalMux() {
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        const DeviceSlot* slot = deviceSlot(id);
        if (slot != nullptr && slot->initialised != 0 && slot->active != 0 && slot->muxType == 6) {
            return id;
        }
    }
    return 0;
}

int32_t GetFrontEndChannelCount(uint32_t muxType, uint32_t subType, int32_t interfaceId) {
    switch (muxType) {
    case 1:
    case 2:
    case 3:
    case 4:
        return 4;
    case 5:
        return 8;
    case 6:
        return 2;
    case 7:
        return GetSerialMuxChannelCount(interfaceId);
    case 8:
        return subType == 0 ? 1 : subType == 1 ? 2 : subType == 2 ? 4 : 0;
    default:
        return 1;
    }
}

bool SetZtkErrorInfo(int32_t status) {
    std::lock_guard guard(errorLock());
    const LastErrorRecord record = lastErrorRecord();
    recordError(record.interfaceId, record.level, kCodeZtkConfig, ztkInfo(status));
    return true;
}

bool ApplyChannelScaling(int32_t interfaceId, int32_t channel, bool dark) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (channel < 0 || channel > 3 || slot == nullptr) {
        return false;
    }
    std::lock_guard guard(rawDataLock());
    RawDataRecord* record = mappedRawDataRecord(*slot, channel);
    if (record == nullptr) {
        return true;
    }
    dorvel::SpectrumArray& values = dark ? record->darkCurrent : record->spectrum;
    const double factor = slot->type8Scale[dark ? 0 : static_cast<size_t>(channel) + 1];
    // Element count: the spectrum array's, also for the dark current.
    const int32_t count = std::min(record->spectrum.GetSize(), values.GetSize());
    for (int32_t i = 0; i < count; ++i) {
        double& value = *values.GetElementPtr(i);
        value *= factor;
        if (!dark) {
            trackIntensity(*record, value, kUnsignedFullScale, [] { return false; });
        }
    }
    return true;
}

bool AreChannelSensorsUniform(int32_t interfaceId) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return false;
    }
    const auto& config = slot->configuration;
    const auto u16At = [&config](size_t offset) {
        return static_cast<uint16_t>(config[offset] | config[offset + 1] << 8);
    };
    constexpr size_t kInterfaceTypeByte = 18;
    constexpr size_t kMuxBuildType = 518;
    constexpr size_t kMuxChannels = 528;
    constexpr size_t kMuxChannelRecord = 24;
    const uint8_t interfaceType = config[kInterfaceTypeByte];
    if ((slot->configurationWord & 0x8u) == 0 || interfaceType == 7 || interfaceType == 9) {
        return true;
    }
    int32_t channels = 0;
    switch (u16At(kMuxBuildType)) {
    case 1:
    case 2:
    case 3:
    case 4:
        channels = 4;
        break;
    case 5:
        channels = 8;
        break;
    case 6:
        channels = 2;
        break;
    case 8:
        channels = GetConfigVariantCode(interfaceId) - 1;
        break;
    default:
        return false;
    }
    // Only as many channel records as the multiplexer image holds.
    const int32_t fit = static_cast<int32_t>((config.size() - kMuxChannels) / kMuxChannelRecord);
    channels = std::min(channels, fit);
    if (channels <= 0) {
        return true;
    }
    const auto sensorOf = [&](int32_t channel) -> uint16_t {
        const uint16_t type =
            u16At(kMuxChannels + kMuxChannelRecord * static_cast<size_t>(channel));
        return (type < 3 || type == 16) ? 0 : type;
    };
    const uint16_t first = sensorOf(0);
    for (int32_t c = 1; c < channels; ++c) {
        if (sensorOf(c) != first) {
            return false;
        }
    }
    return true;
}

} // namespace tarvik
