#include "core/library_state.h"
#include "serial/qre_blocks.h"

#include "core/last_error.h"
#include "core/locks.h"
#include "core/registry_parameters.h"

#include "platform/last_error.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

namespace tarvik {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constinit LibraryState* g_state = nullptr;

bool validSlotId(int32_t interfaceId) {
    return interfaceId >= 0 && interfaceId <= kMaxInterfaceId;
}

bool isBoardInterfaceType(uint32_t type) {
    return type == kTypePci || type == kTypeBoard5 || type == kTypeUsb || type == kTypeUsb2;
}

void resetState(LibraryState& state) {
    state.actualInterfaceId = 0;
    state.serialComPort = 1;
    state.serialBaudRate = 115200;
    state.serialTransmission = 0;
    state.serialElectronicsId = 1;
    state.interfaceTypeInUse = 0;
    state.openInterfaces = 0;
    state.osVersionCode = kOsNt4;
    state.shutterControlMode = 0;
    state.shutterDelay = 0;
    state.subscribers.reset();
    state.notificationThread.reset();
    state.mux7wenDelayTime = 200;
    state.muxKrdDelayTime = 25;
    state.muxKrdComMode = 0;
    state.minimumIntegrationTime = 6500000;
    state.mux7wenCtrlMode = 0;
    state.sensorDemoMode = 0;
    for (std::string& name : state.sensorDescriptionFiles) {
        name.clear();
    }
    state.darkcurrentPixel = 0;
    state.inputLatchTable.fill(0);
    // The slots and the worker rows are set when they are created.
}

// "Darkcurrent pixel": low byte n pixels, bits 8..11 the interface ID (0 all).
void applyDarkPixelRange(const LibraryState& state, DeviceSlot& slot) {
    const uint32_t value = state.darkcurrentPixel;
    const uint32_t pixels = value & 0xFF;
    const int32_t target = static_cast<int32_t>((value >> 8) & 0xF);
    // No pixels would make the last dark pixel -1.
    if (value == 0 || pixels == 0 || slot.interfaceId < 1 ||
        (target != 0 && target != slot.interfaceId)) {
        return;
    }
    slot.darkPixelRangeOn = 1;
    slot.firstDarkPixel = 0;
    slot.lastDarkPixel = pixels - 1;
}

void resetAcquisitionParameters(const LibraryState& state, DeviceSlot& slot) {
    slot.arrivalFailed = 0;
    slot.acquisitionIntegrationTime = 0;
    slot.deletingIntegrationTime = 0;
    slot.timeLimit1 = 0.0;
    slot.clockFrequency = 24000000;
    slot.clockDivider = 128;
    slot.clockRate = slot.clockFrequency / slot.clockDivider;
    slot.parameterWord = 0;
    slot.shutterPolarity = 0;
    slot.parameterWord2 = 0;
    slot.extraBytes = 0;
    slot.qre.integrationTime = 30000;
    slot.qre.flashMode = 0;
    slot.qre.triggerKind = 0;
    slot.qre.operatingMode = 2;
    slot.qre.repeatFactor = 1;
    slot.qre.averageNumber = 0;
    slot.averageNumber = 1;
    slot.burstNumber = 1;

    DeviceRequestBlock* b = slot.block();
    b->WorkMode = 3;
    b->AcquisitionMode = 0;
    b->FirmwareVersion = 0;
    b->PreCnts = isBoardInterfaceType(state.interfaceTypeInUse) ? 800 : 400;
    b->AcqIntCnts = 0;
    b->DelIntCnts = 0;
    b->NumScans = 1;
    b->FlashHW = 0;
    b->FlashOpt = 0;
    b->Reserved24 = 10;
    b->TOTimeExtTrig = 60000;
    b->Status = 0;
    b->StatusInfo = 0;
    // The value half of the output word; the index half belongs to its caller.
    std::memset(reinterpret_cast<uint8_t*>(b) + offsetof(DeviceRequestBlock, DigitalOutputWord), 0,
                2);
    b->DigitalInputWord = 0;
    if ((slot.optionByte & 1) == 0) {
        b->RequestFlags = 0;
    }
    b->ETDelay = 1;
    std::memset(reinterpret_cast<uint8_t*>(b) + offsetof(DeviceRequestBlock, ScanData), 0,
                sizeof b->ScanData);
    b->I2CDevice = 0;
    b->I2COperation = 0;
    b->I2CIndex = 0;
    b->I2CLength = 0;
    std::memset(b->I2CData, 0, sizeof b->I2CData);
    b->I2CIndexLong = 0;
    b->I2CLengthLong = 0;
    b->BoardId = 0;
    b->FEEType = 0;
    b->SensorType = 0;
    b->FirmwareType = 0;
    b->SaturationPeriod = 256;
    b->SaturationStart = 0;
    b->SaturationEndMargin = 0;
    std::memset(b->Reserved33520, 0, sizeof b->Reserved33520);
    b->DataLength = 1;
    std::memset(slot.data(), 0, 2);
}

void resetWholeSlot(const LibraryState& state, DeviceSlot& slot) {
    slot.deviceHandle = platform::kInvalidDeviceHandle;
    slot.hotPlug = 0;
    slot.devicePath.clear();
    slot.boardType = kTypeUsb;
    slot.initialised = 0;
    slot.active = 0;
    slot.timeLimit1 = 0.0;
    slot.timeLimit2 = 0.0;
    slot.muxChannels = 1;
    slot.muxPresent = 0;
    slot.muxSetting = 1;
    slot.optionByte = 0;
    slot.minimumClampReport = 0;
    slot.longTimeMode = 0;
    slot.spareOptionByte = 0;
    slot.warningMask = 0;
    slot.warningFlag = 0;
    slot.spareByte = 0;
    slot.savedPreCnts = 0;
    slot.hardwareConfigured = 0;
    slot.spareWord2 = 0;
    slot.mappedRecords.fill(nullptr);
    slot.configuration.fill(0xFF);
    slot.temperatures = {-100, -100};
    slot.temperatureListKnown = 0;
    slot.temperatureSensorCount = 0;
    slot.temperatureSensorIds.fill(0);
    slot.frontEndType = 3;
    slot.muxType = 0;
    slot.furtherWord = 1;
    slot.sensorType.fill(0);
    slot.pixelCount.fill(256);
    slot.rows.fill(1);
    slot.fourthSensorWord.fill(1);
    slot.configurationWord = 0x80000000u;
    slot.configurationWord2 = 0;
    slot.linearization = 0;
    slot.i2cAddressCount = 6;
    slot.i2cAddresses = {0x40, 0x42, 0x44, 0x46, 0x48, 0x4A};
    slot.componentCount = 0;
    slot.lampModuleCount = 0;
    slot.flashModuleCount = 0;
    slot.spareByte2 = 0;
    slot.muxChannel = 0;
    slot.muxKrdComBit = 0;
    slot.serialMuxPort = kNoSerialPort;
    slot.serialMuxPortNumber = 0;
    slot.components.fill(nullptr);
    slot.componentFlags.fill(0);
    slot.sensorCoefficients.fill(0.0);
    slot.revisionPixels.fill(0);
    slot.sensorTechnology = 0;
    slot.sensorReversed = 0;
    slot.sensorFileLoaded = 0;
    slot.revisionPixelFlag = 0;
    slot.actualConfiguration = {};
    slot.type8Scale.fill(1.0);
    slot.darkPixelRangeOn = 0;
    slot.firstDarkPixel = 0;
    slot.lastDarkPixel = 0;
    applyDarkPixelRange(state, slot);
    slot.ztkBoard.reset();
    slot.qre.interfaceId = static_cast<uint32_t>(slot.interfaceId);

    DeviceRequestBlock* b = slot.block();
    b->DriverVersion = 0;
    b->WarningCode = 0;
    b->MuxSpec = 1;
    b->NumberPixel = 256;
    b->NumberPixelLong = 256;
    b->NumberPixel2 = 256;
    b->NumberPixel2Long = 256;
    b->InputSource = 0;
    b->MuxMode = 0;
    b->MuxChanNum = 1;
    b->NoInterruptMode = 0;
    b->RingCapacity = 0;
    b->ScansInRing = 0;
    b->ScansLost = 0;
}

// Closes the slot's device handle; a placeholder is only reset.
int32_t closeSlotHandle(DeviceSlot& slot) {
    if (slot.deviceHandle == platform::kInvalidDeviceHandle || slot.boardType == kTypeSerial) {
        return 0;
    }
    if (slot.deviceHandle == platform::kPlaceholderDeviceHandle) {
        slot.deviceHandle = platform::kInvalidDeviceHandle;
        return 0;
    }
    if (!platform::closeDevice(slot.deviceHandle)) {
        recordError(0, KORAL_LEVEL_DEVICE, code::kCloseDevice,
                    platformErrorInfo(platform::lastError()));
        return -1;
    }
    slot.deviceHandle = platform::kInvalidDeviceHandle;
    slot.hotPlug = 0;
    return 0;
}

void deleteSlot(LibraryState& state, int32_t interfaceId) {
    DeviceSlot*& slot = state.slots[static_cast<size_t>(interfaceId)];
    if (slot->boardType == kTypeSerial) {
        FreeQreSlotBuffers(interfaceId);
    }
    delete slot;
    slot = nullptr;
}

int32_t createSlot(LibraryState& state, int32_t interfaceId) {
    if (state.slots[static_cast<size_t>(interfaceId)] != nullptr) {
        return 0;
    }
    auto* slot = new (std::nothrow) DeviceSlot;
    if (slot == nullptr) {
        recordError(0, KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
        return -1;
    }
    slot->interfaceId = interfaceId;
    state.slots[static_cast<size_t>(interfaceId)] = slot;
    // A failed block stays with the slot and goes with its FreeDeviceSlot.
    if (!slot->requestBlock.allocate()) {
        recordError(0, KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
        return -1;
    }
    return SetSlotDefaults(interfaceId, 0);
}

} // namespace

bool RequestBlockBuffer::allocate() {
    auto* bytes = static_cast<uint8_t*>(std::calloc(KORAL_REQUEST_BLOCK_SIZE, 1));
    if (bytes == nullptr) {
        return false;
    }
    std::free(bytes_);
    bytes_ = bytes;
    size_ = KORAL_REQUEST_BLOCK_SIZE;
    return true;
}

bool RequestBlockBuffer::resize(size_t size) {
    auto* bytes = static_cast<uint8_t*>(std::realloc(bytes_, size));
    if (bytes == nullptr) {
        return false;
    }
    if (size > size_) {
        std::memset(bytes + size_, 0, size - size_);
    }
    bytes_ = bytes;
    size_ = size;
    return true;
}

LibraryState* libraryState() {
    return g_state;
}

DeviceSlot* deviceSlot(int32_t interfaceId) {
    if (g_state == nullptr || !validSlotId(interfaceId)) {
        return nullptr;
    }
    return g_state->slots[static_cast<size_t>(interfaceId)];
}

int32_t actualInterfaceId() {
    return g_state != nullptr ? g_state->actualInterfaceId.load() : 0;
}

DeviceSlot* actualSlot() {
    const int32_t id = actualInterfaceId();
    return id >= 1 ? deviceSlot(id) : nullptr;
}

int32_t GetOsVersionCode() {
    // Linux offers everything the NT 5 family did.
    return kOs2000;
}

int32_t CreateDeviceSlot(int32_t interfaceId) {
    if (!validSlotId(interfaceId)) {
        return -1;
    }
    std::lock_guard guard(deviceLock());
    if (interfaceId == 0 && g_state == nullptr) {
        resetErrorState();
        auto* state = new (std::nothrow) LibraryState;
        if (state == nullptr) {
            recordError(0, KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
            return -1;
        }
        g_state = state;
        SetSlotDefaults(kStateDefaults, 0);
        ReadLibraryParameters();
    }
    if (g_state == nullptr) {
        return -1;
    }
    return createSlot(*g_state, interfaceId);
}

int32_t FreeDeviceSlot(int32_t interfaceId) {
    if (!validSlotId(interfaceId) || g_state == nullptr) {
        return -1;
    }
    std::lock_guard guard(deviceLock());
    LibraryState& state = *g_state;
    if (interfaceId == 0) {
        for (DeviceSlot* slot : state.slots) {
            if (slot != nullptr) {
                closeSlotHandle(*slot);
            }
        }
        for (size_t id = 0; id < kSlotCount; ++id) {
            if (state.slots[id] != nullptr) {
                deleteSlot(state, static_cast<int32_t>(id));
            }
        }
        g_state = nullptr;
        delete &state;
        return 0;
    }

    DeviceSlot* slot = state.slots[static_cast<size_t>(interfaceId)];
    if (slot == nullptr) {
        return 0;
    }
    const int32_t result = closeSlotHandle(*slot);
    deleteSlot(state, interfaceId);
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (state.slots[static_cast<size_t>(id)] != nullptr) {
            state.actualInterfaceId = id;
            break;
        }
    }
    return result;
}

int32_t SetSlotDefaults(int32_t interfaceIdOrState, int32_t mode) {
    Guard guard(rawDataLock());
    if (g_state == nullptr) {
        return 0;
    }
    if (interfaceIdOrState == kStateDefaults) {
        resetState(*g_state);
        return 0;
    }
    DeviceSlot* slot = deviceSlot(interfaceIdOrState);
    if (slot == nullptr || slot->block() == nullptr) {
        return 0;
    }
    if (mode == 0) {
        resetWholeSlot(*g_state, *slot);
    }
    resetAcquisitionParameters(*g_state, *slot);
    return 0;
}

} // namespace tarvik
