#pragma once
// The light-source modules on an interface's I2C bus: CLightSourceModule, one
// object per module the component scan found, owned by the slot's component
// table (DeviceSlot::components, positions 1..6), and the questions the
// acquisition and the intensity search ask of that table.
//
// A module answers a two-byte read with its identification byte and its
// status byte and takes a two-byte write of a command byte and its control
// outputs; a lamp module's temperature sensor answers at the shared address
// 0x9A while the module has connected it (command 0x7F). Every transfer goes
// through the raw I2C exports with the error box held off, each tried
// `retries` times. The methods run in the caller's thread under the
// DeviceLock the caller holds; their waits run on the platform clock.

#include "dorvel/interval_timer.h"

#include <cstdint>
#include <string>

namespace tarvik {

struct DeviceSlot;

// Method results.
inline constexpr uint8_t kLsDone = 0;
inline constexpr uint8_t kLsNoAddress = 1;    // no interface ID or I2C address
inline constexpr uint8_t kLsReadFailed = 2;   // reading failed
inline constexpr uint8_t kLsWriteFailed = 3;  // writing failed
inline constexpr uint8_t kLsTimeout = 4;      // the wait reached its limit
inline constexpr uint8_t kLsNotSupported = 5; // mask not accepted, unknown type, missing output
inline constexpr uint8_t kLsAborted = 6;      // the module's abort bit
inline constexpr uint8_t kLsWrongType = 7;    // wrong module type for the operation
inline constexpr uint8_t kLsNotRemote = 8;    // flash module not parameterised remotely

// Module types (identification byte bits 0-1).
inline constexpr uint8_t kLampModule = 0;
inline constexpr uint8_t kFlashModule = 1;
inline constexpr uint8_t kLampModuleWithMemory = 2; // keeps its power state
inline constexpr uint8_t kUnknownModule = 3;

inline constexpr uint8_t kModuleSensorAddress = 0x9A;
inline constexpr size_t kComponentPositions = 7; // 0..6; 0 never holds a module

// Flash period in ms of a flash-rate code: code + 1 for 0..248, then 250,
// 300, 400, 500, 600, 800 and 1000.
uint16_t FlashRateFromCode(uint8_t code);

class CLightSourceModule {
public:
    CLightSourceModule() = default;
    // Nothing is sent: lamps and shutter stay as they are.
    ~CLightSourceModule() = default;
    CLightSourceModule(const CLightSourceModule&) = delete;
    CLightSourceModule& operator=(const CLightSourceModule&) = delete;

    void SetInterfaceId(uint32_t id) { interfaceId_ = id; }
    void SetI2CAddress(uint32_t address) { address_ = address; }

    // Reads and decodes the two identification bytes. A lamp module's outputs
    // are brought in line with its states, its lamp state is taken over once,
    // and T os and T hyst go to its sensor; a remote flash module gets its
    // flash counter again.
    uint8_t ReadIdentification();

    uint8_t GetModuleType() const { return type_; }
    uint8_t GetModuleSubtype() const { return subtype_; }
    uint8_t GetModuleInfo() const { return info_; }
    bool IsLampModule() const { return type_ == kLampModule || type_ == kLampModuleWithMemory; }
    uint8_t IsRemoteParameterized() const { return type_ == kFlashModule ? remote_ : 0; }
    uint8_t GetFlashCounter() const { return flashCounter_; }
    uint8_t GetControlByte0() const { return control0_; }
    uint8_t GetControlByte1() const { return control1_; }

    // Lamp modules: the status byte into the status word.
    uint8_t ReadStatus();
    // Lamp modules: both control bytes to the module.
    uint8_t WriteControl();
    // Lamp modules re-read with reread; other types 256 (remote) or 0.
    uint8_t GetStatus(uint16_t* status, uint8_t reread);
    uint8_t GetShutterPosition(uint8_t* open);
    // Mask bit 0 lamp 1, bit 1 lamp 2; 0 the subtype's default. Time-out 0
    // only writes; else waits for the lamps, at most 120000 ms.
    uint8_t PowerOn(uint8_t mask, uint32_t timeoutMs);
    uint8_t PowerOff(uint8_t mask, uint32_t timeoutMs);
    // Time-out 0 only writes; else waits for the position, at most 5000 ms.
    uint8_t OpenShutter(uint32_t timeoutMs);
    uint8_t CloseShutter(uint32_t timeoutMs);
    // Sensor registers 0, 3, 2: whole degrees, signed.
    uint8_t ReadActualTemperature(uint8_t* value);
    uint8_t ReadTos(uint8_t* value);
    uint8_t ReadThyst(uint8_t* value);
    uint8_t WriteTos(uint8_t value);
    uint8_t WriteThyst(uint8_t value);
    // Type 2: the module keeps its present lamp state as its power-on state.
    uint8_t SavePowerStatus();
    uint8_t ReadFlashRate(uint16_t* ms);
    // Flash modules under remote control: flashes per trigger.
    uint8_t SetFlashCounter(uint8_t count);

    std::string GetModuleNameText() const;
    std::string GetModuleTypeText() const;
    std::string GetAssemblyText() const;

private:
    bool hasAddress() const { return interfaceId_ != 0 && address_ != 0; }
    bool writeModule(uint8_t byte0, uint8_t byte1);
    bool readModule(uint8_t* bytes);
    uint8_t switchLamps(uint8_t mask, uint32_t timeoutMs, bool on);
    uint8_t moveShutter(uint32_t timeoutMs, bool open);
    uint8_t sensorAccess(uint8_t reg, uint8_t* value, bool write);

    uint8_t flashCounter_ = 1;
    uint32_t interfaceId_ = 0xFFFFFFFFu;
    uint32_t address_ = 0xFFFFFFFFu;
    uint8_t type_ = 255;
    uint8_t subtype_ = 255;
    uint8_t info_ = 255;
    uint8_t remote_ = 0;
    uint8_t flashRateCode_ = 0;
    uint16_t status_ = 0xFFFF;
    uint8_t control0_ = 0xFF;
    uint8_t control1_ = 0x1F;
    uint8_t tOs_ = 80;
    uint8_t tHyst_ = 75;
    dorvel::CIntervalTimer timer_;
    uint16_t retries_ = 2;
    uint16_t attempts_ = 0;
    uint8_t releaseBeforeRead_ = 0;
    uint8_t powerStateApplied_ = 0;
};

// 0 for result 0; otherwise the record (ID, level, code, info by the
// result) and -1.
int32_t ReportLightSourceResult(uint8_t result, uint32_t interfaceId);

// The module at a position of a slot's table (1..6), null when none.
CLightSourceModule* componentAt(const DeviceSlot& slot, int32_t position);

// A slot (ID 0: any of 1..15) has a present module of the kind (1 flash, 0 or
// 2 lamp). The caller holds the DeviceLock.
bool SlotHasLightSourceModule(int32_t interfaceId, int32_t kind);
// The slot's component is a present lamp module.
bool LampComponentPresent(int32_t interfaceId, int32_t component);

// The intensity search's flash module: the slot's first component, present
// and parameterised remotely, when the slot has flash modules. Its flash rate
// (false without such a module or when it cannot be read), its flash counter
// (0 without one), a counter written back (0 or -1), and
// KORAL_LS_SetFlashCounter.
bool RemoteFlashRate(int32_t interfaceId, uint16_t* rateMs);
uint8_t RemoteFlashCounter(int32_t interfaceId);
int32_t RestoreRemoteFlashCounter(int32_t interfaceId, uint8_t count);
int32_t SetRemoteFlashCounter(int32_t interfaceId, int32_t position, int32_t count);

// KORAL_LS_OpenShutter or KORAL_LS_CloseShutter (ID, component, 5000 ms), as
// the acquisition switches a lamp module's shutter: 0 or -1.
int32_t LampShutter(int32_t interfaceId, int32_t component, bool open);

} // namespace tarvik
