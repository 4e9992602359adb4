#pragma once
// The library's one LibraryState and its DeviceSlots: creation, defaults and
// release. The state exists from the set-up at load to the clean-up at unload;
// slot n exists from the open of interface ID n to its close, and slot 0 is a
// scratch slot for the whole time.
//
// Slot and state fields are written under the DeviceLock (the defaults also
// under the RawDataLock); the fields marked atomic are also read without it.

#include "core/acquisition_table.h"
#include "core/actual_interface.h"
#include "serial/qre_slot.h"
#include "tarvik.h"
#include "tarvik_request_block.h"

#include "platform/device.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace tarvik {

// InterfaceType values.
inline constexpr uint32_t kTypeIsa = 1;
inline constexpr uint32_t kTypeSerial = 3;
inline constexpr uint32_t kTypePci = 4;
inline constexpr uint32_t kTypeBoard5 = 5;
inline constexpr uint32_t kTypeUsb = 6;
inline constexpr uint32_t kTypeUsb2 = 8;
inline constexpr uint32_t kType111 = 111;

// The board types driven through a request block and device commands.
constexpr bool usesRequestBlock(uint32_t type) {
    switch (type) {
    case kTypeIsa:
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2:
    case kType111:
        return true;
    default:
        return false;
    }
}

// The board generation the driver reports in the top nibble of the hardware word.
inline unsigned boardGeneration(const DeviceRequestBlock& block) {
    return block.HardwareWord >> 12u;
}

inline constexpr int32_t kMaxInterfaceId = 15;
inline constexpr size_t kSlotCount = 16;
// SetSlotDefaults' selector of the LibraryState.
inline constexpr int32_t kStateDefaults = 32;

// OsVersionCode values.
inline constexpr int32_t kOsNt4 = 40;
inline constexpr int32_t kOs2000 = 2000;

inline constexpr size_t kConfigurationRecordSize = 1028;
inline constexpr size_t kConfigurationImageSize = 256;
inline constexpr size_t kBootImageOffset = 768; // goes to the board with RequestFlags 0x10
inline constexpr size_t kDevicePathSize = 255;  // at most 254 characters and the terminator
inline constexpr uint32_t kNoSerialPort = 0xFFFFFFFFu;

struct RawDataRecord;             // raw-data records of the client handles
class CZTKBoard;                  // the cooled detector board
class CLightSourceModule;         // a module of the component table
class DeviceNotifyThread;         // the hot-plug notification thread
class DeviceNotifySubscriberList; // the hot-plug subscribers

// The slot's DeviceRequestBlock: 33,600 bytes plus a data area that grows.
class RequestBlockBuffer {
public:
    RequestBlockBuffer() = default;
    ~RequestBlockBuffer() { std::free(bytes_); }
    RequestBlockBuffer(const RequestBlockBuffer&) = delete;
    RequestBlockBuffer& operator=(const RequestBlockBuffer&) = delete;

    // Zeroed 33,600 bytes; false when out of memory.
    bool allocate();
    // Keeps the contents; false (block unchanged) when out of memory.
    bool resize(size_t size);
    DeviceRequestBlock* block() const { return reinterpret_cast<DeviceRequestBlock*>(bytes_); }
    uint8_t* bytes() const { return bytes_; }
    size_t size() const { return size_; }

private:
    uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
};

struct DeviceSlot {
    int32_t interfaceId = 0;
    platform::DeviceHandle deviceHandle = platform::kInvalidDeviceHandle;
    uint32_t hotPlug = 0;      // watched for removal
    uint8_t arrivalFailed = 0; // re-initialisation after an arrival failed
    std::string devicePath;    // at most kDevicePathSize - 1 characters
    uint32_t boardType = kTypeUsb;
    uint32_t initialised = 0; // 1 = initialised
    uint32_t active = 0;
    uint32_t muxChannels = 1;
    uint32_t muxPresent = 0;
    uint32_t muxSetting = 1;
    uint32_t acquisitionIntegrationTime = 0; // µs
    uint32_t deletingIntegrationTime = 0;    // µs
    uint32_t parameterWord = 0;
    uint32_t shutterPolarity = 0;
    uint32_t parameterWord2 = 0;
    uint32_t extraBytes = 0; // request block bytes beyond 33,600
    uint32_t averageNumber = 1;
    uint32_t burstNumber = 1;
    double timeLimit1 = 0.0;        // ms
    double timeLimit2 = 0.0;        // ms
    uint8_t optionByte = 0;         // bit 0: opened with flag 8
    uint8_t minimumClampReport = 0; // 1: clamping up to the minimum is reported
    uint8_t longTimeMode = 0;       // 0, or 8 / 64 while a long-time form is in force
    uint8_t spareOptionByte = 0;
    uint16_t warningMask = 0; // the warning mode last set
    uint8_t warningFlag = 0;  // 1 while warning class 1 is on
    uint8_t spareByte = 0;
    uint16_t savedPreCnts = 0; // PreCnts before a long-time form replaced it; 0 none
    uint16_t spareWord2 = 0;
    uint32_t clockFrequency = 24000000;
    uint32_t clockDivider = 128;
    uint32_t clockRate = 24000000 / 128;
    std::array<RawDataRecord*, 8> mappedRecords{}; // channel 1..8
    QreSlotRecord qre;
    RequestBlockBuffer requestBlock;
    std::array<uint8_t, kConfigurationRecordSize> configuration{}; // ConfigurationImageBlock
    std::array<int32_t, 2> temperatures{-100, -100};               // -100 = not read
    // The firmware's temperature sensors, after their first successful read.
    uint8_t temperatureListKnown = 0;
    uint16_t temperatureSensorCount = 0; // at most 8
    std::array<uint16_t, 8> temperatureSensorIds{};
    uint32_t frontEndType = 3; // 11 = cooled detector board
    uint32_t muxType = 0;
    uint32_t furtherWord = 1;
    // Per channel 1..8.
    std::array<uint32_t, 8> sensorType{};
    std::array<uint32_t, 8> pixelCount{};
    std::array<uint32_t, 8> rows{};
    std::array<uint32_t, 8> fourthSensorWord{};
    uint32_t configurationWord = 0x80000000u;
    uint32_t configurationWord2 = 0;
    uint32_t linearization = 0; // bit 0: on
    uint8_t i2cAddressCount = 6;
    std::array<uint8_t, 6> i2cAddresses{0x40, 0x42, 0x44, 0x46, 0x48, 0x4A};
    uint8_t componentCount = 0;
    uint8_t lampModuleCount = 0;
    uint8_t flashModuleCount = 0;
    uint8_t spareByte2 = 0;
    uint8_t muxChannel = 0;                 // current multiplexer channel, 1-based
    uint8_t muxKrdComBit = 0;               // this ID's bit of the MUX-KRD communication mode
    uint32_t serialMuxPort = kNoSerialPort; // COM handle of a serial multiplexer
    uint8_t serialMuxPortNumber = 0;
    // The component table: the modules the scan found at positions 1..6,
    // owned here, and the presence bytes that KORAL_LS_Initialize sets.
    std::array<std::shared_ptr<CLightSourceModule>, 7> components{};
    std::array<uint8_t, 7> componentFlags{};
    // The sensor description file of a type-128 sensor, as last read.
    std::array<double, 11> sensorCoefficients{}; // PAR_A0..PAR_A10
    std::array<uint32_t, 5> revisionPixels{};    // 65535 = none
    uint16_t sensorTechnology = 0;
    uint8_t sensorReversed = 0;                      // pixel order reversed
    uint8_t sensorFileLoaded = 0;                    // the values above are valid
    uint8_t revisionPixelFlag = 0;                   // a revision pixel is set
    ActualConfigurationRecord actualConfiguration{}; // of the last read at open (mode 3)
    std::array<double, 5> type8Scale{1.0, 1.0, 1.0, 1.0, 1.0};
    uint8_t hardwareConfigured = 0; // 1 after a successful hardware configuration set
    uint8_t darkPixelRangeOn = 0;
    uint32_t firstDarkPixel = 0;
    uint32_t lastDarkPixel = 0;
    std::shared_ptr<CZTKBoard> ztkBoard;

    DeviceRequestBlock* block() const { return requestBlock.block(); }
    // The data area from byte 33596 (extraBytes + 4 bytes).
    uint8_t* data() const { return requestBlock.bytes() + KORAL_REQUEST_BLOCK_DATA_OFFSET; }
};

struct LibraryState {
    ActualInterfaceId actualInterfaceId;
    uint32_t serialComPort = 1;
    uint32_t serialBaudRate = 115200;
    uint32_t serialTransmission = 0;
    uint32_t serialElectronicsId = 1;
    std::atomic<uint32_t> interfaceTypeInUse{0};
    std::atomic<int32_t> openInterfaces{0};
    int32_t osVersionCode = kOsNt4;
    uint32_t shutterControlMode = 0;
    uint32_t shutterDelay = 0; // ms
    std::shared_ptr<DeviceNotifySubscriberList> subscribers;
    std::shared_ptr<DeviceNotifyThread> notificationThread;     // its destructor stops it
    int32_t mux7wenDelayTime = 200;                             // ms
    int32_t muxKrdDelayTime = 25;                               // ms, at least 1
    uint16_t muxKrdComMode = 0;                                 // bit n-1 for interface ID n
    int32_t minimumIntegrationTime = 6500000;                   // µs
    uint32_t mux7wenCtrlMode = 0;                               // bits 0 and 1
    uint8_t sensorDemoMode = 0;                                 // bit n-1 for interface ID n
    std::array<std::string, kSlotCount> sensorDescriptionFiles; // per ID 1..15
    uint32_t darkcurrentPixel = 0; // "Darkcurrent pixel" as read; applied when a slot is created
    std::array<uint32_t, kSlotCount> inputLatchTable{}; // InputLatchTable
    AcquisitionThreadTable acquisitionThreads;
    std::array<DeviceSlot*, kSlotCount> slots{};
};

// Null while the library is not set up (before load, after unload, or after
// a failed set-up).
LibraryState* libraryState();
// The slot of an ID; null outside 0..15, without a state or without a slot.
DeviceSlot* deviceSlot(int32_t interfaceId);
// The slot of the actual interface ID (null for ID 0 or no slot).
DeviceSlot* actualSlot();
int32_t actualInterfaceId();

// 0, or -1 with the record (2/201). ID 0 creates the state, reads the
// registry parameters and creates the scratch slot.
int32_t CreateDeviceSlot(int32_t interfaceId);
// 0, or -1 with the record. ID 0 frees every slot and the state.
int32_t FreeDeviceSlot(int32_t interfaceId);
// 32: the state; an ID with mode 0 the whole slot, with mode 1 the
// acquisition parameters. Always 0.
int32_t SetSlotDefaults(int32_t interfaceIdOrState, int32_t mode);
int32_t GetOsVersionCode();

} // namespace tarvik
