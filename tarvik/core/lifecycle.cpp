#include "core/lifecycle.h"

#include "tarvik_request_block.h"

#include "core/acquisition_table.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/firmware_features.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/lifecycle_seams.h"
#include "core/locks.h"
#include "core/registry_parameters.h"
#include "hardware/actual_configuration.h"
#include "hardware/eeprom_image.h"
#include "hardware/hardware_configuration.h"
#include "hardware/i2c_access.h"
#include "serial/qre_link.h"
#include "tarvik.h"

#include "platform/last_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace tarvik {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr const char* kOpenName = "KORAL_OpenOperationElectronicsDevice";
constexpr const char* kInitName = "KORAL_InitializeOperationElectronics";
constexpr const char* kDeInitName = "KORAL_DeInitializeOperationElectronics";
constexpr const char* kCloseName = "KORAL_CloseOperationElectronics";
constexpr const char* kCloseKeepName = "KORAL_CloseOperationElectronicsWithoutDeInit";
constexpr const char* kActiveName = "KORAL_SetInterfaceActive";
constexpr const char* kInActiveName = "KORAL_SetInterfaceInActive";

constexpr int32_t kCodeAcqThread = 309;         // "ACQ THREAD ERROR"
constexpr int32_t kCodeAlreadyOpen = 503;       // "DEVICE ALREADY OPEN"
constexpr int32_t kInfoOsNotSupported = 822;    // "CURRENT OPERATING SYSTEM IS NOT SUPPORTED"
constexpr int32_t kInfoTooManyInterfaces = 824; // "NO OF IF NOT SUPPORTED"
constexpr int32_t kInfoCreateHandle = 834;      // "NOT ABLE TO CREATE HANDLE"
constexpr int32_t kInfoCreateThread = 835;      // "NOT ABLE TO CREATE THREAD"
constexpr int32_t kInfoReadingBootEeprom = 845; // "READING BOOT E2PROM"
constexpr int32_t kPlatformErrorBase = KORAL_PLATFORM_ERROR_BASE;

constexpr int32_t kOs98 = 98;
constexpr uint32_t kUsbMembers = 15; // member indexes searched for a USB board
constexpr uint8_t kBootEepromAddress = 0xA0;
constexpr uint8_t kWholeLength = 255;
constexpr uint32_t kBootImageWords = kConfigurationImageSize / 2;
constexpr uint32_t kFrontEndCooled = 11;
constexpr uint16_t kGeneration2 = 2;
constexpr size_t kGen2BufferSizeOffset = 16; // u16 of the configuration record
constexpr uint16_t kSerialInterfaceKind = 1; // configuration record words 2 and 3
constexpr uint16_t kSerialInterfaceType = 3;
constexpr double kSerialTimeLimit1Ms = 3.5;
constexpr double kSerialTimeLimit2Ms = 6500.0;

// The device-interface classes of the board types.
constexpr platform::Guid kClassType1 = platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE1).value();
constexpr platform::Guid kClassType4 = platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE4).value();
constexpr platform::Guid kClassType5 = platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE5).value();
constexpr platform::Guid kClassType6 = platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE6).value();
constexpr platform::Guid kClassType8 = platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE8).value();
constexpr platform::Guid kClassType9 = platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE9).value();
constexpr platform::Guid kClassType101 =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE101).value();

int32_t lastIdOfType(uint32_t type) {
    switch (type) {
    case kTypeIsa:
        return 3;
    case kTypePci:
    case kTypeBoard5:
        return 4;
    default:
        return kMaxInterfaceId;
    }
}

bool isUsbType(uint32_t type) {
    return type == kTypeUsb || type == kTypeUsb2;
}

// A handle of the platform: neither the invalid one nor the placeholder.
bool isRealHandle(platform::DeviceHandle handle) {
    return handle != platform::kInvalidDeviceHandle && handle != platform::kPlaceholderDeviceHandle;
}

int32_t fail(const char* name, bool box) {
    recordFunctionName(name);
    if (box) {
        ShowErrorMessage();
    }
    return -1;
}

int32_t fail(const char* name, bool box, int32_t id, int32_t level, int32_t code, int32_t info) {
    recordError(id, level, code, info);
    return fail(name, box);
}

// ID and info of the record; level and code stay.
void recordIdAndInfo(int32_t id, int32_t info) {
    Guard guard(errorLock());
    const LastErrorRecord record = lastErrorRecord();
    recordError(id, record.level, record.code, info);
}

void restoreRecord(const LastErrorRecord& saved) {
    Guard guard(errorLock());
    recordError(saved.interfaceId, saved.level, saved.code, saved.info);
    recordFunctionName(saved.functionName);
}

// A board scans on in a continuous mode after its handle is closed, and a
// board that scans answers no EEPROM read: the next open of the board would
// fail. The close stops it; in the other modes the board stays as it is. The
// close goes on whatever the board answers.
void stopContinuousScans(DeviceSlot& slot) {
    if (slot.initialised != 1 || !isContinuousWorkMode(slot.block()->WorkMode)) {
        return;
    }
    const LastErrorRecord saved = lastErrorRecord();
    if (SendSlotCommand(&slot, KORAL_CMD_DEINIT) == 0) {
        slot.initialised = 0;
    }
    restoreRecord(saved);
}

// The slot that an export addresses with an ID of 1..15. ID 0 passes the
// state checks as "all interfaces", but these exports work on one slot, and
// slot 0 is the library's scratch slot.
DeviceSlot* addressedSlot(int32_t id) {
    return id >= 1 ? deviceSlot(id) : nullptr;
}

// Failure of ApplyIntegrationTime; -2 only limited the value.
bool integrationTimeFailed(int32_t result) {
    return result != 0 && result != -2;
}

// The slot's stored times, acquisition and then deleting.
bool applySlotIntegrationTimes(const DeviceSlot& slot) {
    LifecycleSeams& seams = lifecycleSeams();
    double acquisition = slot.acquisitionIntegrationTime / 1000.0;
    double deleting = slot.deletingIntegrationTime / 1000.0;
    const bool acquisitionFailed =
        integrationTimeFailed(seams.applyIntegrationTime(&acquisition, 0, 0));
    const bool deletingFailed = integrationTimeFailed(seams.applyIntegrationTime(&deleting, 1, 1));
    return !acquisitionFailed && !deletingFailed;
}

// The setter raises 0 to the minimum and hands back what it used; twice that
// becomes the acquisition and the deleting time.
bool applyMinimumIntegrationTimes() {
    LifecycleSeams& seams = lifecycleSeams();
    double minimum = 0.0;
    const int32_t first = seams.applyIntegrationTime(&minimum, 0, 0);
    double acquisition = 2.0 * minimum;
    double deleting = 2.0 * minimum;
    const int32_t second = seams.applyIntegrationTime(&acquisition, 0, 0);
    const int32_t third = seams.applyIntegrationTime(&deleting, 1, 1);
    return !integrationTimeFailed(first) && !integrationTimeFailed(second) &&
           !integrationTimeFailed(third);
}

bool applyHardwareConfiguration(int32_t id, const DeviceSlot& slot) {
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        result = lifecycleSeams().applyHardwareConfiguration(id);
    }
    return result == 0 && applySlotIntegrationTimes(slot);
}

int32_t shutterStep(int32_t id) {
    const LibraryState& state = *libraryState();
    return lifecycleSeams().setAcquisitionShutter(id, state.shutterDelay,
                                                  state.shutterControlMode != 0 ? 0 : 1);
}

// ---------------------------------------------------------------------------
// The open, one run per call.

class InterfaceOpen {
public:
    InterfaceOpen(int32_t flags, uint32_t type, int32_t id)
        : flags_(flags), type_(type), id_(id), box_((flags & kOpenNoBox) == 0),
          state_(*libraryState()) {}

    int32_t run();

private:
    int32_t refuse(int32_t level, int32_t code, int32_t info) {
        return fail(kOpenName, box_, id_, level, code, info);
    }
    // Before the device was reached: the slot goes again, unless an earlier
    // open left it (closed without de-initialisation) to be opened again.
    int32_t failEarly(int32_t level, int32_t code, int32_t info) {
        recordError(id_, level, code, info);
        return failEarly();
    }
    int32_t failEarly() {
        if (createdSlot_) {
            const LastErrorRecord saved = lastErrorRecord();
            FreeDeviceSlot(id_);
            restoreRecord(saved);
        }
        return fail(kOpenName, box_);
    }
    int32_t failLate();
    // The device could not be opened: the slot counts as open, so that the
    // clean-up close runs its normal path.
    int32_t deviceNotOpened(int32_t info, platform::DeviceHandle handle);

    void countAsOpen(platform::DeviceHandle handle);
    void markOpened();
    void applyOptionFlag(bool requestFlag);
    bool readConfiguration();
    void scanComponents();
    int32_t finish();
    int32_t completeOpen(bool boardOpen);

    int32_t openBoard();
    int32_t openSerial();
    int32_t openUsb();
    platform::DeviceHandle findUsbBoard();
    int32_t readBootEeprom();

    const int32_t flags_;
    const uint32_t type_;
    const int32_t id_;
    const bool box_;
    LibraryState& state_;
    DeviceSlot* slot_ = nullptr;
    bool createdSlot_ = false;
};

int32_t InterfaceOpen::run() {
    const int32_t maximum = maxOpenInterfaces(type_);
    if (maximum == 0) {
        recordFunctionName(kOpenName);
        if (CheckInterfaceState(kCheckIdInRange, id_) != 0) {
            return fail(kOpenName, box_);
        }
        return refuse(KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoInvalidInterfaceType);
    }
    const int32_t check = CheckInterfaceState(kCheckDeviceOpen, id_);
    if (check == 0 || check == -2) {
        // Open already, or a removed USB board still holds the slot.
        return refuse(KORAL_LEVEL_IGNORED, kCodeAlreadyOpen, 0);
    }
    if (lastErrorRecord().code != code::kDeviceNotOpen) {
        return fail(kOpenName, box_);
    }

    state_.actualInterfaceId = id_;
    if (state_.openInterfaces >= maximum) {
        return refuse(KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoTooManyInterfaces);
    }
    recordIdAndInfo(id_, 0);
    if (state_.openInterfaces > 0 && state_.interfaceTypeInUse != 0 &&
        state_.interfaceTypeInUse != type_) {
        return refuse(KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoInvalidInterfaceType);
    }

    slot_ = deviceSlot(id_);
    if (slot_ == nullptr) {
        if (CreateDeviceSlot(id_) != 0) {
            return fail(kOpenName, box_);
        }
        slot_ = deviceSlot(id_);
        createdSlot_ = true;
    } else if (slot_->deviceHandle != platform::kInvalidDeviceHandle) {
        // The slot is in use: refused, and the slot with its device stays.
        return refuse(KORAL_LEVEL_IGNORED, kCodeAlreadyOpen, 0);
    }

    if (id_ > lastIdOfType(type_)) {
        return failEarly(KORAL_LEVEL_IGNORED, code::kInvalidParameter, code::kInvalidInterfaceId);
    }
    switch (type_) {
    case kTypeSerial:
        return openSerial();
    case kTypeUsb:
    case kTypeUsb2:
        return openUsb();
    default:
        return openBoard();
    }
}

int32_t InterfaceOpen::failLate() {
    if ((flags_ & kOpenKeepSlot) == 0) {
        // The clean-up must not replace the reason of the failure.
        const LastErrorRecord saved = lastErrorRecord();
        {
            ErrorBoxOff boxOff;
            CloseOperationElectronics(static_cast<uint32_t>(id_));
        }
        restoreRecord(saved);
    }
    return fail(kOpenName, box_);
}

int32_t InterfaceOpen::deviceNotOpened(int32_t info, platform::DeviceHandle handle) {
    recordError(id_, KORAL_LEVEL_DEVICE, code::kOpenDevice, info);
    countAsOpen(handle != platform::kInvalidDeviceHandle ? handle
                                                         : platform::kPlaceholderDeviceHandle);
    return failLate();
}

void InterfaceOpen::countAsOpen(platform::DeviceHandle handle) {
    slot_->deviceHandle = handle;
    slot_->boardType = type_;
    state_.interfaceTypeInUse = type_;
    // A slot opened again after a close without de-initialisation is counted
    // already.
    if (createdSlot_) {
        ++state_.openInterfaces;
    }
}

void InterfaceOpen::markOpened() {
    slot_->active = 1;
}

void InterfaceOpen::applyOptionFlag(bool requestFlag) {
    if ((flags_ & kOpenOption) == 0) {
        return;
    }
    slot_->optionByte |= 1;
    if (requestFlag) {
        slot_->block()->RequestFlags |= KORAL_RF_BOARD_OPTION;
    }
}

bool InterfaceOpen::readConfiguration() {
    ErrorBoxOff boxOff;
    const bool read = KORAL_GetActualConfiguration2(kConfigModeRead, &slot_->actualConfiguration,
                                                    static_cast<uint32_t>(id_)) >= 0;
    // What the board is, is what it is configured as until a client says otherwise.
    AdoptActualConfiguration(*slot_);
    return read;
}

void InterfaceOpen::scanComponents() {
    ErrorBoxOff boxOff;
    lifecycleSeams().scanI2CComponents(static_cast<uint32_t>(id_), 0);
}

int32_t InterfaceOpen::finish() {
    SetFirmwareWarningFlags(id_);
    return 0;
}

// The end of an open that reached its device: IOCTL_BOARD_OPEN when the
// flag asks for it, the configuration, the components.
int32_t InterfaceOpen::completeOpen(bool boardOpen) {
    if (boardOpen && (flags_ & kOpenBoardOpen) != 0 && SendDeviceCommand(KORAL_CMD_OPEN) != 0) {
        return failLate();
    }
    if (!readConfiguration()) {
        return failLate();
    }
    scanComponents();
    return finish();
}

// Types 1, 4 and 5: the legacy device name or member ID - 1 of the class.
int32_t InterfaceOpen::openBoard() {
    const std::string legacyName = BuildLegacyDeviceName(type_, id_);
    slot_->devicePath = legacyName;
    platform::DeviceHandle handle = platform::kInvalidDeviceHandle;
    switch (state_.osVersionCode) {
    case kOsNt4:
        handle = platform::openDevice(legacyName);
        break;
    case kOs98:
    case kOs2000:
        handle = OpenDeviceInterface(type_, static_cast<uint32_t>(id_ - 1), &slot_->devicePath);
        break;
    default:
        return failEarly(KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoOsNotSupported);
    }
    if (handle == platform::kInvalidDeviceHandle) {
        const auto error = static_cast<int32_t>(platform::lastError());
        int32_t info = error + kPlatformErrorBase;
        if (type_ != kTypeBoard5 && error == 0) {
            info = kInfoCreateHandle;
        }
        return deviceNotOpened(info, handle);
    }
    countAsOpen(handle);
    markOpened();
    applyOptionFlag(type_ != kTypeIsa);
    if (type_ == kTypeIsa) {
        return finish();
    }
    return completeOpen(type_ == kTypePci);
}

int32_t InterfaceOpen::openSerial() {
    if (state_.openInterfaces == 0 && ReadQreParameters(id_) != 0) {
        return failEarly();
    }
    if (OpenQreDevice(flags_) != 0) {
        // The link's 814 or 815 gives way to the open's own record.
        return deviceNotOpened(0, platform::kPlaceholderDeviceHandle);
    }
    countAsOpen(platform::kPlaceholderDeviceHandle);
    markOpened();
    applyOptionFlag(false);
    return completeOpen(false);
}

// Member by member until a board reports the ID as its board id.
platform::DeviceHandle InterfaceOpen::findUsbBoard() {
    for (uint32_t member = 0; member < kUsbMembers; ++member) {
        std::string path;
        const platform::DeviceHandle handle = OpenDeviceInterface(type_, member, &path);
        if (handle == platform::kInvalidDeviceHandle) {
            continue;
        }
        slot_->devicePath = path;
        slot_->deviceHandle = handle; // the identification goes to this handle
        const bool identified = SendDeviceCommand(KORAL_CMD_GET_USB_VERSION) == 0;
        const DeviceRequestBlock* block = slot_->block();
        bool stop = !identified;
        if (identified && type_ == kTypeUsb && block->DriverVersion < kMinimumUsbDriverVersion) {
            recordErrorInfo(code::kFirmwareObsolete);
            stop = true;
        }
        if (!stop && block->BoardId == id_) {
            slot_->deviceHandle = platform::kInvalidDeviceHandle;
            return handle;
        }
        platform::closeDevice(handle);
        slot_->deviceHandle = platform::kInvalidDeviceHandle;
        if (stop) {
            break;
        }
    }
    return platform::kInvalidDeviceHandle;
}

int32_t InterfaceOpen::openUsb() {
    LifecycleSeams& seams = lifecycleSeams();
    if (!seams.isDeviceNotifyRunning() && !seams.startDeviceNotifyThread(type_)) {
        return failEarly(KORAL_LEVEL_IGNORED, code::kAborted, kInfoCreateThread);
    }
    const platform::DeviceHandle handle = findUsbBoard();
    if (handle == platform::kInvalidDeviceHandle ||
        !seams.registerHandleNotification(true, handle)) {
        return deviceNotOpened(lastErrorRecord().info, handle);
    }
    slot_->hotPlug = 1;
    countAsOpen(handle);
    markOpened();
    applyOptionFlag(true);
    if (type_ == kTypeUsb2) {
        return readBootEeprom();
    }
    return completeOpen(true);
}

// Type 8 keeps its configuration in the boot EEPROM; it goes to the board
// with the next INIT.
int32_t InterfaceOpen::readBootEeprom() {
    DeviceRequestBlock* block = slot_->block();
    block->I2CDevice = kBootEepromAddress;
    block->I2COperation = kI2cBootRead;
    block->I2CIndex = 0;
    block->I2CLength = kWholeLength;
    if (ResizeRequestBlock(id_, kBootImageWords) != 0) {
        return fail(kOpenName, box_);
    }
    if (SendDeviceCommand(KORAL_CMD_BOOT_EEPROM) != 0) {
        return failLate();
    }
    uint8_t* bootArea = slot_->configuration.data() + kBootImageArea;
    std::memcpy(bootArea, slot_->data(), kConfigurationImageSize);
    if (!IsValidEepromImage(bootArea, kImageKindBoot) && (flags_ & kOpenBoardOpen) == 0) {
        recordError(id_, KORAL_LEVEL_DEVICE, code::kDeviceIo, kInfoReadingBootEeprom);
        return failLate();
    }
    slot_->block()->RequestFlags |= KORAL_RF_CONFIG_BYTES;
    if (!readConfiguration()) {
        return failLate();
    }
    return finish();
}

// ---------------------------------------------------------------------------
// The initialise, one run per call.

class InterfaceInitialise {
public:
    InterfaceInitialise(int32_t flags, int32_t id, DeviceSlot& slot)
        : id_(id), box_((flags & kInitialiseNoBox) == 0), flags_(flags), slot_(slot),
          state_(*libraryState()) {}

    int32_t isaBoard();
    int32_t serialElectronics();
    int32_t board();

private:
    int32_t failUninitialised() {
        slot_.initialised = 0;
        return fail(kInitName, box_);
    }
    bool startWorker(uint8_t demo);
    int32_t finishWithShutter() {
        const int32_t result = shutterStep(id_);
        return result == 0 ? 0 : fail(kInitName, box_);
    }

    const int32_t id_;
    const bool box_;
    const int32_t flags_;
    DeviceSlot& slot_;
    LibraryState& state_;
};

bool InterfaceInitialise::startWorker(uint8_t demo) {
    // A second initialise keeps the worker of the first.
    const AcquisitionThreadRow& row = state_.acquisitionThreads.rows[static_cast<size_t>(id_)];
    if (row.thread || row.state != kWorkerNone) {
        return true;
    }
    if (lifecycleSeams().startAcquisitionWorker(id_, slot_.boardType, demo)) {
        return true;
    }
    recordError(id_, KORAL_LEVEL_NOT_DONE, kCodeAcqThread, kInfoCreateThread);
    return false;
}

int32_t InterfaceInitialise::isaBoard() {
    SetSlotDefaults(id_, 1);
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        result = lifecycleSeams().setFeeSensorType(3, 0, 256, static_cast<uint32_t>(id_));
    }
    applySlotIntegrationTimes(slot_);
    slot_.initialised = result == 0 ? 1 : 0;
    if (result != 0) {
        recordFunctionName(kInitName);
    }
    if (!startWorker(0)) {
        return failUninitialised();
    }
    slot_.active = 1;
    return result;
}

int32_t InterfaceInitialise::serialElectronics() {
    if (slot_.configurationWord2 == 0) {
        Guard guard(rawDataLock());
        slot_.timeLimit1 = kSerialTimeLimit1Ms;
        slot_.timeLimit2 = kSerialTimeLimit2Ms;
    }
    DeviceRequestBlock* block = slot_.block();
    const auto pixels = static_cast<uint16_t>(slot_.qre.pixelCount);
    switch (slot_.sensorType[0]) {
    case 5:
    case 18:
    case 19:
        block->NumberPixel2 = pixels;
        block->NumberPixel = static_cast<uint16_t>(2 * pixels);
        block->NumberPixel2Long = pixels;
        break;
    case 14:
        block->NumberPixel = block->NumberPixel2;
        block->NumberPixel2 = pixels;
        block->NumberPixel2Long = pixels;
        break;
    default:
        block->NumberPixel = pixels;
        block->NumberPixel2 = pixels;
        block->NumberPixel2Long = pixels;
        break;
    }
    // A failure of the electronics is the initialise's failure, not hidden
    // behind the shutter step's result.
    if (InitializeQreDevice(flags_) != 0) {
        return failUninitialised();
    }
    slot_.initialised = 1;
    const uint8_t* record = slot_.configuration.data();
    const bool serialImage =
        imageU16(record, 4) == kSerialInterfaceKind && imageU16(record, 6) == kSerialInterfaceType;
    if (serialImage && slot_.configurationWord2 == 0 && (slot_.optionByte & 1) == 0) {
        if (!applyHardwareConfiguration(id_, slot_)) {
            return failUninitialised();
        }
    } else {
        applyMinimumIntegrationTimes();
    }
    return finishWithShutter();
}

// Types 4, 5, 6, 8 and 111.
int32_t InterfaceInitialise::board() {
    DeviceRequestBlock* block = slot_.block();
    const uint32_t configBytes = block->RequestFlags & KORAL_RF_CONFIG_BYTES;
    const bool generation2 = slot_.boardType == kTypeUsb && boardGeneration(*block) >= kGeneration2;
    SetSlotDefaults(id_, 1);
    block = slot_.block();
    if (generation2) {
        block->RequestFlags |= KORAL_RF_GEN2_INIT;
        block->Gen2BufferSize = imageU16(slot_.configuration.data(), kGen2BufferSizeOffset);
    }
    block->RequestFlags |= configBytes;

    if (slot_.boardType != kTypeUsb2 && (slot_.optionByte & 1) != 0) {
        if (SendDeviceCommand(KORAL_CMD_INIT) != 0) {
            const LastErrorRecord sent = lastErrorRecord();
            recordError(id_, KORAL_LEVEL_NOT_DONE, sent.code, sent.info);
            return failUninitialised();
        }
    } else if (slot_.boardType == kTypeUsb2 && !lifecycleSeams().initializeType8Scaling(id_)) {
        recordError(id_, KORAL_LEVEL_NOT_DONE, code::kAborted, 0);
        return failUninitialised();
    }

    const auto demo = static_cast<uint8_t>((state_.sensorDemoMode >> (id_ - 1)) & 1);
    if (!startWorker(demo)) {
        return failUninitialised();
    }
    if (slot_.frontEndType == kFrontEndCooled &&
        lifecycleSeams().prepareCooledDetectorBoard(id_) != 0) {
        return fail(kInitName, box_);
    }
    slot_.active = 1;
    slot_.initialised = 1;
    slot_.muxKrdComBit = static_cast<uint8_t>((state_.muxKrdComMode >> (id_ - 1)) & 1);

    if ((slot_.optionByte & 1) != 0) {
        applyMinimumIntegrationTimes();
        return 0;
    }
    if (!applyHardwareConfiguration(id_, slot_)) {
        return failUninitialised();
    }
    if (slot_.muxPresent != 0 && slot_.boardType != kTypeUsb2) {
        ErrorBoxOff boxOff;
        lifecycleSeams().setMuxMode(1, 1, static_cast<uint32_t>(id_));
    }
    return finishWithShutter();
}

} // namespace

// ---------------------------------------------------------------------------

std::optional<platform::Guid> deviceInterfaceClass(uint32_t interfaceType) {
    switch (interfaceType) {
    case kTypeIsa:
        return kClassType1;
    case kTypePci:
        return kClassType4;
    case kTypeBoard5:
        return kClassType5;
    case kTypeUsb:
        return kClassType6;
    case kTypeUsb2:
        return kClassType8;
    case 9:
        return kClassType9;
    case 101:
        return kClassType101;
    default:
        return std::nullopt;
    }
}

std::string BuildLegacyDeviceName(uint32_t interfaceType, int32_t interfaceId) {
    const char* board = nullptr;
    switch (interfaceType) {
    case kTypeIsa:
        board = "KX-BRN41Q2";
        break;
    case kTypePci:
        board = "KX-TRL07Q1";
        break;
    case kTypeBoard5:
        board = "KX-55301Q1";
        break;
    default:
        return {};
    }
    std::string name = std::string("\\\\.\\") + board;
    if (interfaceId > 1) {
        name += std::to_string(interfaceId - 1);
    }
    return name.substr(0, kDevicePathSize - 1);
}

platform::DeviceHandle OpenDeviceInterface(uint32_t interfaceType, uint32_t memberIndex,
                                           std::string* path) {
    const std::optional<platform::Guid> interfaceClass = deviceInterfaceClass(interfaceType);
    if (!interfaceClass) {
        platform::setLastError(EINVAL);
        return platform::kInvalidDeviceHandle;
    }
    const std::vector<std::string> members = platform::enumerateDeviceInterfaces(*interfaceClass);
    if (memberIndex >= members.size()) {
        platform::setLastError(ENOENT);
        return platform::kInvalidDeviceHandle;
    }
    const std::string& member = members[memberIndex];
    if (path != nullptr) {
        *path = member.substr(0, kDevicePathSize - 1);
    }
    return platform::openDevice(member);
}

int32_t maxOpenInterfaces(uint32_t interfaceType) {
    switch (interfaceType) {
    case kTypeIsa:
        return 3;
    case kTypeSerial:
        return 6;
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2:
        return 4;
    default:
        return 0;
    }
}

bool SetFirmwareWarningFlags(int32_t interfaceId) {
    DeviceSlot* slot = addressedSlot(interfaceId);
    if (slot == nullptr) {
        return true;
    }
    if (IsFirmwareFeatureAvailable(interfaceId, kFeatureWarningClass2)) {
        slot->warningMask |= 0x2;
        slot->block()->RequestFlags |= KORAL_RF_WARN_CLASS2;
    }
    if (IsFirmwareFeatureAvailable(interfaceId, kFeatureBit2)) {
        slot->warningMask |= 0x4;
    }
    return true;
}

int32_t OpenOperationElectronicsDevice(int32_t flags, uint32_t interfaceType,
                                       uint32_t interfaceId) {
    const int32_t id = interfaceId == 0 ? 1 : static_cast<int32_t>(interfaceId);
    // One open at a time from the check to the end: a second open of the
    // same ID cannot take the slot in between.
    std::lock_guard guard(deviceLock());
    return InterfaceOpen(flags, interfaceType, id).run();
}

int32_t InitializeOperationElectronics(int32_t flags, uint32_t interfaceId) {
    const auto id = static_cast<int32_t>(interfaceId);
    const bool box = (flags & kInitialiseNoBox) == 0;
    std::lock_guard guard(deviceLock());
    if (CheckInterfaceState(kCheckDeviceOpen, id) != 0) {
        return fail(kInitName, true);
    }
    DeviceSlot* slot = addressedSlot(id);
    if (slot == nullptr || actualInterfaceId() == 0) {
        return fail(kInitName, box, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
    }
    InterfaceInitialise initialise(flags, id, *slot);
    switch (slot->boardType) {
    case kTypeIsa:
        return initialise.isaBoard();
    case kTypeSerial:
        return initialise.serialElectronics();
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2:
    case kType111:
        return initialise.board();
    default:
        return fail(kInitName, box, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                    kInfoInvalidInterfaceType);
    }
}

int32_t DeInitializeOperationElectronics(uint32_t interfaceId) {
    const auto id = static_cast<int32_t>(interfaceId);
    std::lock_guard guard(deviceLock());
    if (CheckInterfaceState(kCheckDeviceOpen, id) != 0) {
        return fail(kDeInitName, true);
    }
    DeviceSlot* slot = addressedSlot(id);
    if (slot == nullptr || actualInterfaceId() == 0) {
        return fail(kDeInitName, true, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
    }
    if (!usesRequestBlock(slot->boardType)) {
        return fail(kDeInitName, true, id, KORAL_LEVEL_IGNORED, kInfoInvalidInterfaceType, 0);
    }
    if (SendDeviceCommand(KORAL_CMD_DEINIT) != 0) {
        return fail(kDeInitName, false);
    }
    slot->initialised = 0;
    return 0;
}

int32_t CloseOperationElectronics(uint32_t interfaceId) {
    const auto id = static_cast<int32_t>(interfaceId);
    const auto guard = LockDeviceForClose(id);
    const int32_t check = CheckInterfaceState(kCheckDeviceOpen, id);
    if (check != 0 && check != -2) {
        return fail(kCloseName, true);
    }
    DeviceSlot* slot = addressedSlot(id);
    if (slot == nullptr) {
        return fail(kCloseName, true, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
    }
    LibraryState& state = *libraryState();
    LifecycleSeams& seams = lifecycleSeams();
    const uint32_t type = slot->boardType;
    switch (type) {
    case kTypeSerial: {
        {
            ErrorBoxOff boxOff;
            seams.deleteI2CComponents(interfaceId, 0);
        }
        slot->deviceHandle = platform::kInvalidDeviceHandle;
        if (state.openInterfaces < 2) {
            CloseQrePort();
            state.interfaceTypeInUse = 0;
            state.actualInterfaceId = 0;
        }
        slot->active = 0;
        state.openInterfaces = std::max(state.openInterfaces - 1, 0);
        // A multiplexer on a COM port of its own goes with its slot.
        if (slot->serialMuxPort != kNoSerialPort) {
            CloseMuxPort(id);
        }
        break;
    }
    case kTypeIsa:
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2: {
        const platform::DeviceHandle handle = slot->deviceHandle;
        if (isRealHandle(handle)) {
            stopContinuousScans(*slot);
        }
        if (isUsbType(type) && isRealHandle(handle)) {
            seams.registerHandleNotification(false, handle);
        }
        if (type != kTypeUsb2) {
            ErrorBoxOff boxOff;
            seams.deleteI2CComponents(interfaceId, 0);
        }
        if (isRealHandle(handle) && !platform::closeDevice(handle)) {
            return fail(kCloseName, true, id, KORAL_LEVEL_DEVICE, code::kCloseDevice,
                        platformErrorInfo(platform::lastError()));
        }
        slot->deviceHandle = platform::kInvalidDeviceHandle;
        slot->hotPlug = 0;
        seams.stopAcquisitionWorker(id);
        slot->active = 0;
        if (state.openInterfaces > 0) {
            --state.openInterfaces;
        }
        if (state.openInterfaces <= 0) {
            if (isUsbType(type)) {
                seams.stopNotificationThread();
            }
            state.openInterfaces = 0;
            state.interfaceTypeInUse = 0;
            state.actualInterfaceId = 0;
        }
        if (slot->serialMuxPort != kNoSerialPort) {
            CloseMuxPort(id);
        }
        slot->ztkBoard.reset();
        break;
    }
    default:
        return fail(kCloseName, true, id, KORAL_LEVEL_IGNORED, kInfoInvalidInterfaceType, 0);
    }
    if (FreeDeviceSlot(id) != 0) {
        return fail(kCloseName, true);
    }
    return 0;
}

int32_t CloseOperationElectronicsWithoutDeInit(uint32_t interfaceId) {
    const auto id = static_cast<int32_t>(interfaceId);
    const auto guard = LockDeviceForClose(id);
    if (CheckInterfaceState(kCheckDeviceOpen, id) != 0) {
        return fail(kCloseKeepName, true);
    }
    DeviceSlot* slot = addressedSlot(id);
    if (slot == nullptr) {
        return fail(kCloseKeepName, true, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
    }
    switch (slot->boardType) {
    case kTypeIsa:
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2: {
        // A placeholder stands for no device: there is nothing to close.
        const platform::DeviceHandle handle = slot->deviceHandle;
        if (isRealHandle(handle)) {
            if (isUsbType(slot->boardType)) {
                lifecycleSeams().registerHandleNotification(false, handle);
            }
            if (!platform::closeDevice(handle)) {
                return fail(kCloseKeepName, true, id, KORAL_LEVEL_DEVICE, code::kCloseDevice, 0);
            }
        }
        slot->deviceHandle = platform::kInvalidDeviceHandle;
        // Closed by the client, not removed: the next open opens it again.
        slot->hotPlug = 0;
        return 0;
    }
    case kTypeSerial:
        if (CloseQrePort() != 1) {
            return fail(kCloseKeepName, true, id, KORAL_LEVEL_DEVICE, code::kCloseDevice, 0);
        }
        slot->deviceHandle = platform::kInvalidDeviceHandle;
        return 0;
    default:
        return fail(kCloseKeepName, true, id, KORAL_LEVEL_IGNORED, kInfoInvalidInterfaceType, 0);
    }
}

int32_t SetInterfaceActiveFlag(uint32_t interfaceId, bool active) {
    const char* name = active ? kActiveName : kInActiveName;
    const auto id = static_cast<int32_t>(interfaceId);
    std::lock_guard guard(deviceLock());
    if (CheckInterfaceState(kCheckDeviceOpen, id) != 0) {
        return fail(name, true);
    }
    DeviceSlot* slot = addressedSlot(id);
    if (slot != nullptr) {
        switch (slot->boardType) {
        case kTypeIsa:
        case kTypeSerial:
        case kTypePci:
        case kTypeBoard5:
        case kTypeUsb:
        case kTypeUsb2:
        case kType111:
            break;
        default:
            return fail(name, true, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                        kInfoInvalidInterfaceType);
        }
    }
    if (slot == nullptr || actualInterfaceId() == 0) {
        return fail(name, true, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
    }
    slot->active = active ? 1 : 0;
    return 0;
}

} // namespace tarvik

// --- exports

using namespace tarvik;

extern "C" int32_t KORAL_OpenOperationElectronicsDevice(int32_t flags, uint32_t interfaceType,
                                                        uint32_t interfaceId) {
    return runExport(kOpenName, [&] {
        return OpenOperationElectronicsDevice(flags, interfaceType, interfaceId);
    });
}

extern "C" int32_t KORAL_OpenOperationElectronicsDeviceEx(int32_t flags, uint32_t interfaceType,
                                                          uint32_t interfaceId, uint32_t,
                                                          uint32_t) {
    return KORAL_OpenOperationElectronicsDevice(flags, interfaceType, interfaceId);
}

extern "C" int32_t KORAL_InitializeOperationElectronics(int32_t flags, uint32_t interfaceId) {
    return runExport(kInitName, [&] { return InitializeOperationElectronics(flags, interfaceId); });
}

extern "C" int32_t KORAL_DeInitializeOperationElectronics(uint32_t interfaceId) {
    return runExport(kDeInitName, [&] { return DeInitializeOperationElectronics(interfaceId); });
}

extern "C" int32_t KORAL_CloseOperationElectronics(uint32_t interfaceId) {
    return runExport(kCloseName, [&] { return CloseOperationElectronics(interfaceId); });
}

extern "C" int32_t KORAL_CloseOperationElectronicsWithoutDeInit(uint32_t interfaceId) {
    return runExport(kCloseKeepName,
                     [&] { return CloseOperationElectronicsWithoutDeInit(interfaceId); });
}

extern "C" int32_t KORAL_SetInterfaceActive(uint32_t interfaceId) {
    return runExport(kActiveName, [&] { return SetInterfaceActiveFlag(interfaceId, true); });
}

extern "C" int32_t KORAL_SetInterfaceInActive(uint32_t interfaceId) {
    return runExport(kInActiveName, [&] { return SetInterfaceActiveFlag(interfaceId, false); });
}
