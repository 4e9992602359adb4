// The digital-line exports. Each holds the DeviceLock from the slot check to
// its return, so the read-modify-write of the two words never interleaves
// with an acquisition or another line command. The slot is looked up under
// that lock before any of its fields is read: a close on another thread may
// free it until then.

#include "acquisition/digital_lines.h"

#include "acquisition/measurement_parameters.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "serial/qre_link.h"
#include "tarvik.h"

#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kInfoLatchModeNotSupported = 848; // "LATCHMODE NOT SUPPORTED"
constexpr uint16_t kInitFlagsNoInput3 = 1;

bool isHigh(int32_t level) {
    return level == 1 || level == -1;
}

bool isGeneration2(const DeviceSlot& slot) {
    return boardGeneration(*slot.block()) >= 2;
}

// Output 3 and input 3 of a USB board: generation 2, or firmware 203 on.
bool usbLine3Supported(const DeviceSlot& slot) {
    return isGeneration2(slot) || slot.block()->FirmwareVersion >= kDigitalLine3Firmware;
}

// Which board types serve a line, and whether their firmware is new enough.
enum class Support { Served, NotServed, Obsolete, NotSupported };

struct LineExport {
    const char* name; // in the error record
    int32_t checkLevel;
    int32_t bit;                           // output line, or input 1..3
    Support (*support)(const DeviceSlot&); // by the slot's board type
};

Support feeSelSupport(const DeviceSlot& slot) {
    return slot.boardType == kTypeIsa || slot.boardType == kType111 ? Support::Served
                                                                    : Support::NotServed;
}

Support outputSupport(const DeviceSlot& slot) {
    return usesRequestBlock(slot.boardType) ? Support::Served : Support::NotServed;
}

Support output2Support(const DeviceSlot& slot) {
    return slot.boardType == kTypeSerial ? Support::Served : outputSupport(slot);
}

Support output3Support(const DeviceSlot& slot) {
    switch (slot.boardType) {
    case kTypeIsa:
    case kType111:
        return Support::Served;
    case kTypePci:
        return slot.block()->DriverVersion >= kDigitalLine3BlockVersion ? Support::Served
                                                                        : Support::Obsolete;
    case kTypeUsb:
        return usbLine3Supported(slot) ? Support::Served : Support::Obsolete;
    default:
        return Support::NotServed;
    }
}

Support input2Support(const DeviceSlot& slot) {
    return slot.boardType == kTypeIsa ? Support::NotServed : outputSupport(slot);
}

Support input3Support(const DeviceSlot& slot) {
    switch (slot.boardType) {
    case kTypePci:
    case kTypeBoard5:
    case kType111:
        return Support::Served;
    case kTypeUsb:
        if (!usbLine3Supported(slot)) {
            return Support::Obsolete;
        }
        return !isGeneration2(slot) && slot.block()->InputSource == kInitFlagsNoInput3
                   ? Support::NotSupported
                   : Support::Served;
    default:
        return Support::NotServed;
    }
}

// The refusal of a board type; 0 when served.
int32_t refuseUnserved(const char* name, int32_t id, Support support) {
    switch (support) {
    case Support::Served:
        return 0;
    case Support::Obsolete:
        return failExport(name, id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                          code::kFirmwareObsolete);
    case Support::NotSupported:
        return failExport(name, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                          code::kFunctionNotSupported);
    case Support::NotServed:
        break;
    }
    return failExport(name, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                      code::kInvalidInterfaceType);
}

// Checks, lock and slot of every line export; body(slot, id) runs under the
// DeviceLock.
// Checks, lock and slot of every line export; body(slot, id) runs under the
// DeviceLock.
template <class Body>
int32_t runLineExport(const LineExport& line, uint32_t interfaceId, Body&& body) {
    return runSlotExport(line.name, line.checkLevel, interfaceId,
                         [&](DeviceSlot& slot, int32_t id) -> int32_t {
                             if (refuseUnserved(line.name, id, line.support(slot)) != 0) {
                                 return -1;
                             }
                             return body(slot, id);
                         });
}

int32_t setOutput(const LineExport& line, int32_t level, uint32_t interfaceId) {
    return runLineExport(line, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
        if (slot.boardType == kTypeSerial) {
            const int32_t result =
                isHigh(level) ? SetQreDigitalOutput2() : ClearQreDigitalOutput2();
            if (result == -1) {
                return failExport(line.name, id, KORAL_LEVEL_DEVICE, code::kDeviceIo, 0);
            }
            return 0;
        }
        uint32_t& word = slot.block()->DigitalOutputWord;
        SetBitInMask(&word, line.bit, 1);
        SetBitInMask(&word, 16 + line.bit, isHigh(level) ? 1 : 0);
        if (SendDeviceCommand(KORAL_CMD_SET_DIGITAL_OUTPUT) != 0) {
            // The select bit stays, so the next output command sends the line again.
            return failExport(line.name);
        }
        SetBitInMask(&word, line.bit, 0);
        return 0;
    });
}

int32_t getInput(const LineExport& line, uint32_t* value, uint32_t interfaceId) {
    return runLineExport(line, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
        if (value == nullptr) {
            return failExport(line.name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        uint32_t& word = slot.block()->DigitalInputWord;
        const int32_t answerBit = 15 + line.bit;
        if (slot.boardType == kTypeSerial) {
            if (GetQreDigitalInput1() == -1) {
                return failExport(line.name, id, KORAL_LEVEL_DEVICE, code::kDeviceIo, 0);
            }
            *value = TestBitInMask(word, answerBit) ? 1 : 0;
            return 0;
        }
        SetBitInMask(&word, line.bit - 1, 1);
        const int32_t result = SendDeviceCommand(KORAL_CMD_GET_DIGITAL_INPUT);
        SetBitInMask(&word, line.bit - 1, 0);
        *value = TestBitInMask(word, answerBit) ? 1 : 0;
        if (result != 0) {
            failExport(line.name);
        }
        return result;
    });
}

constexpr LineExport kFeeSel0{"KORAL_IOSetFEESEL0", kCheckMuxPresent, kLineFeeSel0, feeSelSupport};
constexpr LineExport kFeeSel1{"KORAL_IOSetFEESEL1", kCheckMuxPresent, kLineFeeSel1, feeSelSupport};
// The names the record has always carried.
constexpr LineExport kZeilRes{"KORAL_IOSetFEEZEILRES", kCheckMuxPresent, kLineZeilRes,
                              feeSelSupport};
constexpr LineExport kOutput1{"KORAL_IOSetDigOutput1", kCheckDeviceOpen, kLineDigOutput1,
                              outputSupport};
constexpr LineExport kOutput2{"KORAL_IOSetDigOutput2", kCheckDeviceOpen, kLineDigOutput2,
                              output2Support};
constexpr LineExport kOutput3{"KORAL_IOSetDigOutput3", kCheckDeviceOpen, kLineDigOutput3,
                              output3Support};
constexpr LineExport kInput1{"KORAL_IOGetDigIntput1", kCheckDeviceOpen, 1, output2Support};
constexpr LineExport kInput2{"KORAL_IOGetDigInput2", kCheckDeviceOpen, 2, input2Support};
constexpr LineExport kInput3{"KORAL_IOGetDigInput3", kCheckDeviceOpen, 3, input3Support};

} // namespace

int32_t SetBitInMask(uint32_t* word, int32_t n, int32_t value) {
    const uint32_t bit = 1u << static_cast<uint32_t>(n);
    *word = value != 0 ? *word | bit : *word & ~bit;
    return 0;
}

bool TestBitInMask(uint32_t word, int32_t n) {
    return ((word >> static_cast<uint32_t>(n)) & 1u) != 0;
}

int32_t SetDigOutputLine(int32_t line, int32_t value, int32_t interfaceId) {
    const auto id = static_cast<uint32_t>(interfaceId);
    return line == 1 ? KORAL_IOSetDigOutput1(value, id) : KORAL_IOSetDigOutput2(value, id);
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_IOSetFEESEL0(int32_t level, uint32_t interfaceId) {
    return setOutput(kFeeSel0, level, interfaceId);
}

extern "C" int32_t KORAL_IOSetFEESEL1(int32_t level, uint32_t interfaceId) {
    return setOutput(kFeeSel1, level, interfaceId);
}

extern "C" int32_t KORAL_IOSetZEILRES(int32_t level, uint32_t interfaceId) {
    return setOutput(kZeilRes, level, interfaceId);
}

extern "C" int32_t KORAL_IOSetDigOutput1(int32_t level, uint32_t interfaceId) {
    return setOutput(kOutput1, level, interfaceId);
}

extern "C" int32_t KORAL_IOSetDigOutput2(int32_t level, uint32_t interfaceId) {
    return setOutput(kOutput2, level, interfaceId);
}

extern "C" int32_t KORAL_IOSetDigOutput3(int32_t level, uint32_t interfaceId) {
    return setOutput(kOutput3, level, interfaceId);
}

extern "C" int32_t KORAL_IOGetDigInput1(uint32_t* value, uint32_t interfaceId) {
    return getInput(kInput1, value, interfaceId);
}

extern "C" int32_t KORAL_IOGetDigInput2(uint32_t* value, uint32_t interfaceId) {
    return getInput(kInput2, value, interfaceId);
}

extern "C" int32_t KORAL_IOGetDigInput3(uint32_t* value, uint32_t interfaceId) {
    return getInput(kInput3, value, interfaceId);
}

extern "C" int32_t KORAL_ParaSetInputLatchMode(uint32_t mode, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetInputLatchMode";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            const uint32_t type = slot.boardType;
            if (type == kTypePci && slot.block()->DriverVersion < kDigitalLine3BlockVersion) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                                  code::kFirmwareObsolete);
            }
            if (type != kTypePci && type != kTypeUsb && type != kTypeUsb2 && type != kType111) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                                  code::kInvalidInterfaceType);
            }
            uint32_t& word = slot.block()->DigitalInputWord;
            word = 0;
            if (type == kTypeUsb && isGeneration2(slot)) {
                word = (mode & 7u) << 8 | 0x7u; // inputs 1 to 3
            } else if (mode > 3) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  kInfoLatchModeNotSupported);
            } else {
                word = (mode & 3u) << 8 | 0x3u; // inputs 1 and 2
            }
            const uint32_t sent = word;
            const int32_t result = SendDeviceCommand(KORAL_CMD_SET_INPUT_LATCH_MODE);
            word = 0;
            if (result != 0) {
                return failExport(kName);
            }
            // The sender restores it after the re-initialisation around an I2C command.
            libraryState()->inputLatchTable[static_cast<size_t>(id)] = sent;
            return 0;
        });
}
