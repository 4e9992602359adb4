#include "core/firmware_features.h"

#include "core/library_state.h"

namespace tarvik {
namespace {

// Minimum versions per feature bit and interface type; -1 never, 0 always.
int32_t minimumVersion(uint32_t bit, uint32_t type) {
    switch (bit) {
    case kFeatureWarningClass1:
        switch (type) {
        case kTypeIsa:
            return 2002;
        case kTypeSerial:
            return 314;
        case kTypePci:
            return 1011;
        case kTypeBoard5:
        case kTypeUsb:
            return 1000;
        case kTypeUsb2:
            return 0;
        default:
            return -1;
        }
    case kFeatureWarningClass2:
        switch (type) {
        case kTypePci:
            return 1100;
        case kTypeBoard5:
            return 1006;
        case kTypeUsb:
            return 801;
        default:
            return -1;
        }
    case kFeatureBit2:
        return type == kTypeUsb ? 1003 : -1;
    default:
        return -1;
    }
}

} // namespace

int32_t firmwareVersionInfo(const DeviceSlot& slot, uint32_t interfaceType) {
    switch (interfaceType) {
    case kTypeIsa:
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2:
        return slot.block()->DriverVersion;
    case kTypeSerial:
        return slot.qre.firmwareVersion();
    default:
        return 0;
    }
}

bool IsFirmwareFeatureAvailable(int32_t interfaceId, uint32_t features) {
    if (interfaceId < 1 || interfaceId > kMaxInterfaceId) {
        return false;
    }
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return false;
    }
    const uint32_t type = libraryState()->interfaceTypeInUse;
    const int32_t version = firmwareVersionInfo(*slot, type);
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((features & bit) == 0) {
            continue;
        }
        const int32_t minimum = minimumVersion(bit, type);
        if (minimum < 0 || version < minimum) {
            return false;
        }
    }
    return true;
}

} // namespace tarvik
