// Raw I2C exports: the five full forms, the older forms that keep away from
// the configuration EEPROMs, the customer data area, the fixed areas near the
// top of the EEPROMs, and the presence probe.
#include "hardware/i2c_access.h"

#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/eeprom_image.h"
#include "serial/qre_link.h"
#include "tarvik.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kLowAddressLimit = 0xF0; // Write_1, Read_1, Write_N
constexpr int32_t kHighAddressLimit = 0xFF;
constexpr int64_t kIndexSpace = 256;
constexpr uint8_t kProbeLength = 2;

// Serial I2C transfer block.
constexpr size_t kQreOperation = 2;
constexpr size_t kQreAddress = 3;
constexpr size_t kQreIndex = 4;
constexpr size_t kQreCount = 5;
constexpr size_t kQreStatus = 7;
constexpr size_t kQreWriteData = 8;
constexpr size_t kQreReadData = 16;

// Customer data area and the fixed areas inside it.
constexpr int32_t kCustomerDataBase = 0xC0;
constexpr int64_t kCustomerDataSize = 64;

struct I2cCall {
    const char* name;
    uint8_t operation;
    int32_t addressLimit;
    bool indexed;
    int32_t address;
    uint8_t* readBuffer;        // read forms
    const uint8_t* writeBuffer; // write forms
    int32_t index;
    int32_t count;
    int32_t interfaceId;
};

bool isRead(const I2cCall& call) {
    return call.readBuffer != nullptr;
}

bool argumentsInRange(const I2cCall& call) {
    if (call.address < 0 || call.address > call.addressLimit || call.count < 1 ||
        call.count > kI2cMaxCount) {
        return false;
    }
    if (call.readBuffer == nullptr && call.writeBuffer == nullptr) {
        return false; // nothing to read into or write from
    }
    if (call.indexed &&
        (call.index < 0 || call.index > 255 || int64_t{call.index} + call.count > kIndexSpace)) {
        return false;
    }
    return true;
}

int32_t transferOnBoard(const I2cCall& call, DeviceSlot& slot) {
    DeviceRequestBlock* block = slot.block();
    const auto index = static_cast<uint8_t>(call.indexed ? call.index : 0);
    const auto count = static_cast<uint8_t>(call.count);
    block->I2CDevice = static_cast<uint8_t>(call.address);
    block->I2COperation = call.operation;
    block->I2CIndex = index;
    block->I2CLength = count;
    // A board that reads 255 in either 8-bit field may take the 16-bit ones:
    // they must never hold a value left by an earlier request.
    block->I2CIndexLong = index;
    block->I2CLengthLong = count;
    if (!isRead(call)) {
        std::memcpy(block->I2CData, call.writeBuffer, count);
    }
    if (ResizeRequestBlock(call.interfaceId, 0) != 0) {
        return failExport(call.name);
    }
    if (SendDeviceCommand(KORAL_CMD_I2C_OPERATION) != 0) {
        if (isRead(call)) {
            std::memset(call.readBuffer, 0xFF, count);
        }
        return failExport(call.name);
    }
    if (isRead(call)) {
        std::memcpy(call.readBuffer, slot.block()->I2CData, count);
    }
    return 0;
}

// After a failed serial transfer: command 7, the status words cleared, the box.
int32_t failSerialTransfer(const char* name) {
    recordFunctionName(name);
    SendQreCommand7();
    if (DeviceSlot* actual = actualSlot()) {
        actual->qre.setStatusWords(0, 0);
    }
    if (QreLinkModule* link = qreLink()) {
        link->i2cTransfer[kQreStatus] = 0;
    }
    ShowErrorMessage();
    return -1;
}

int32_t transferOnSerialLink(const I2cCall& call) {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return failExport(call.name, call.interfaceId, KORAL_LEVEL_NOT_DONE, 0, 0);
    }
    auto& transfer = link->i2cTransfer;
    transfer[kQreOperation] = call.operation;
    transfer[kQreAddress] = static_cast<uint8_t>(call.address);
    transfer[kQreIndex] = static_cast<uint8_t>(call.indexed ? call.index : 0);
    transfer[kQreCount] = static_cast<uint8_t>(call.count);
    if (!isRead(call)) {
        std::memcpy(transfer.data() + kQreWriteData, call.writeBuffer,
                    static_cast<size_t>(call.count));
    }
    const int16_t result = RunQreI2cTransfer();
    if (result == 1) {
        if (ReportQreErrors(7) != 0) {
            return failSerialTransfer(call.name);
        }
        if (isRead(call)) {
            std::memcpy(call.readBuffer, transfer.data() + kQreReadData,
                        static_cast<size_t>(call.count));
        }
        return 0;
    }
    if (ReportQreErrors(1) != 0) {
        return failSerialTransfer(call.name);
    }
    return failExport(call.name, call.interfaceId, KORAL_LEVEL_NOT_DONE, 0, 0);
}

int32_t runFullForm(const I2cCall& call) {
    return runExport(call.name, [&] {
        if (checkInterfaceForExport(call.name, kCheckDeviceOpen, call.interfaceId) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        const LibraryState* state = libraryState();
        DeviceSlot* slot = deviceSlot(call.interfaceId);
        // ID 0 would address the scratch slot while the command goes to the
        // actual interface: refused as a missing slot.
        if (call.interfaceId == 0 || slot == nullptr || state == nullptr ||
            state->actualInterfaceId == 0) {
            return failExport(call.name, call.interfaceId, KORAL_LEVEL_IGNORED,
                              code::kDeviceNotOpen, code::kInvalidUse);
        }
        if (!argumentsInRange(call)) {
            return failExport(call.name, call.interfaceId, KORAL_LEVEL_IGNORED,
                              code::kInvalidParameter, 0);
        }
        switch (slot->boardType) {
        case kTypePci:
        case kTypeBoard5:
        case kTypeUsb:
        case kTypeUsb2:
            return transferOnBoard(call, *slot);
        case kTypeSerial:
            return transferOnSerialLink(call);
        default:
            return failExport(call.name, call.interfaceId, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              kInfoInvalidInterfaceType);
        }
    });
}

I2cCall readCall(const char* name, uint8_t operation, int32_t limit, bool indexed, int32_t address,
                 uint8_t* buffer, int32_t index, int32_t count, uint32_t interfaceId) {
    return {name,   operation, limit, indexed, address,
            buffer, nullptr,   index, count,   static_cast<int32_t>(interfaceId)};
}

I2cCall writeCall(const char* name, uint8_t operation, int32_t limit, bool indexed, int32_t address,
                  const uint8_t* buffer, int32_t index, int32_t count, uint32_t interfaceId) {
    return {name,    operation, limit, indexed, address,
            nullptr, buffer,    index, count,   static_cast<int32_t>(interfaceId)};
}

// An older form: only open addresses, one box under its own name.
template <class FullForm>
int32_t runOlderForm(const char* name, int32_t address, uint32_t interfaceId, FullForm&& full) {
    return runExport(name, [&] {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(name, kCheckIdInRange, id) != 0) {
            return -1;
        }
        if (IsOpenI2CAddress(address) != 0) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, kCodeI2cProtected, 0);
        }
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result = full();
        }
        return result != 0 ? failExport(name) : 0;
    });
}

// A call of a full form with the box off; a failure is shown under the
// caller's name.
template <class FullForm> int32_t callQuietly(const char* name, FullForm&& full) {
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        result = full();
    }
    return result != 0 ? failExport(name) : 0;
}

// Customer data: selector 1 the interface board's EEPROM, 2 the front end's.
int32_t customerDataAddress(uint32_t selector) {
    switch (selector) {
    case 1:
        return kInterfaceEepromAddress;
    case 2:
        return kFrontEndEepromAddress;
    default:
        return -1;
    }
}

template <class FullForm>
int32_t runCustomerData(const char* name, uint32_t selector, int32_t offset, int32_t count,
                        uint32_t interfaceId, FullForm&& full) {
    return runExport(name, [&] {
        const auto id = static_cast<int32_t>(interfaceId);
        const int32_t device = customerDataAddress(selector);
        if (device < 0 || offset < 0 || count < 0) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        if (int64_t{offset} + count > kCustomerDataSize) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidUse);
        }
        return callQuietly(name, [&] { return full(device, kCustomerDataBase + offset); });
    });
}

// A fixed area: the full form at base + offset. A negative offset would reach
// below the area into the image header, so it is refused; an offset beyond
// the index space stays beyond it for the full form's own check.
template <class FullForm>
int32_t runFixedArea(const char* name, int32_t base, int32_t offset, uint32_t interfaceId,
                     FullForm&& full) {
    return runExport(name, [&] {
        if (offset < 0) {
            return failExport(name, static_cast<int32_t>(interfaceId), KORAL_LEVEL_IGNORED,
                              code::kInvalidParameter, 0);
        }
        const auto index = static_cast<int32_t>(std::min<int64_t>(int64_t{base} + offset, 256));
        return callQuietly(name, [&] { return full(index); });
    });
}

constexpr int32_t kEP547 = 0xEB;
constexpr int32_t kEP345 = 0xEF;
constexpr int32_t kEP237 = 0xF3;
constexpr int32_t kEP945 = 0xF7;
constexpr int32_t kEP856 = 0xFB;
constexpr int32_t kEPF016 = 0xF9;

int32_t readFixedArea(const char* name, int32_t device, int32_t base, uint8_t* buffer,
                      int32_t offset, int32_t count, uint32_t interfaceId) {
    return runFixedArea(name, base, offset, interfaceId, [&](int32_t index) {
        return KORAL_I2C_Read_N_X(device, buffer, index, count, interfaceId);
    });
}

int32_t writeFixedArea(const char* name, int32_t device, int32_t base, const uint8_t* buffer,
                       int32_t offset, int32_t count, uint32_t interfaceId) {
    return runFixedArea(name, base, offset, interfaceId, [&](int32_t index) {
        return KORAL_I2C_Programming_X(device, buffer, index, count, interfaceId);
    });
}

} // namespace

int32_t IsOpenI2CAddress(int32_t address) {
    return (address & 0x0E) >= 0x0C || (address & 0xF0) == 0xE0 ? 0 : -1;
}

namespace {
constexpr PeripheralI2c kFullForms{&KORAL_I2C_Write_1_X, &KORAL_I2C_Read_1_X, &KORAL_I2C_Write_N_X,
                                   &KORAL_I2C_Read_N_X};
PeripheralI2c g_peripheralI2c = kFullForms;
} // namespace

PeripheralI2c& peripheralI2c() {
    return g_peripheralI2c;
}

void resetPeripheralI2c() {
    g_peripheralI2c = kFullForms;
}

bool ProbeI2CDevice(uint8_t address, uint32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(static_cast<int32_t>(interfaceId));
    if (slot == nullptr || slot->block() == nullptr) {
        return false;
    }
    DeviceRequestBlock* block = slot->block();
    block->I2CDevice = address;
    const unsigned generation = boardGeneration(*block);
    if (slot->boardType == kTypeUsb && generation >= 2) {
        if (SendDeviceCommand(KORAL_CMD_I2C_CHECK_DEVICE) != 0) {
            return false;
        }
        return slot->block()->I2CData[0] != 0;
    }
    block->I2COperation = kI2cRead;
    block->I2CIndex = 0;
    block->I2CLength = kProbeLength;
    block->I2CIndexLong = 0;
    block->I2CLengthLong = kProbeLength;
    return SendDeviceCommand(KORAL_CMD_I2C_OPERATION) == 0;
}

} // namespace tarvik

using namespace tarvik;

// --- full forms

extern "C" int32_t KORAL_I2C_Write_1_X(int32_t address, const uint8_t* buffer, int32_t count,
                                       uint32_t interfaceId) {
    return runFullForm(writeCall("KORAL_I2C_Write_1_X", kI2cWrite, kLowAddressLimit, false, address,
                                 buffer, 0, count, interfaceId));
}

extern "C" int32_t KORAL_I2C_Read_1_X(int32_t address, uint8_t* buffer, int32_t count,
                                      uint32_t interfaceId) {
    return runFullForm(readCall("KORAL_I2C_Read_1_X", kI2cRead, kLowAddressLimit, false, address,
                                buffer, 0, count, interfaceId));
}

extern "C" int32_t KORAL_I2C_Write_N_X(int32_t address, const uint8_t* buffer, int32_t index,
                                       int32_t count, uint32_t interfaceId) {
    return runFullForm(writeCall("KORAL_I2C_Write_N_X", kI2cWriteIndexed, kLowAddressLimit, true,
                                 address, buffer, index, count, interfaceId));
}

extern "C" int32_t KORAL_I2C_Read_N_X(int32_t address, uint8_t* buffer, int32_t index,
                                      int32_t count, uint32_t interfaceId) {
    return runFullForm(readCall("KORAL_I2C_Read_N_X", kI2cReadIndexed, kHighAddressLimit, true,
                                address, buffer, index, count, interfaceId));
}

extern "C" int32_t KORAL_I2C_Programming_X(int32_t address, const uint8_t* buffer, int32_t index,
                                           int32_t count, uint32_t interfaceId) {
    return runFullForm(writeCall("KORAL_I2C_Programming_X", kI2cProgram, kHighAddressLimit, true,
                                 address, buffer, index, count, interfaceId));
}

// --- older forms

extern "C" int32_t KORAL_I2C_Write_1(int32_t address, const uint8_t* buffer, int32_t count,
                                     uint32_t interfaceId) {
    return runOlderForm("KORAL_I2C_Write_1", address, interfaceId,
                        [&] { return KORAL_I2C_Write_1_X(address, buffer, count, interfaceId); });
}

extern "C" int32_t KORAL_I2C_Read_1(int32_t address, uint8_t* buffer, int32_t count,
                                    uint32_t interfaceId) {
    return runOlderForm("KORAL_I2C_Read_1", address, interfaceId,
                        [&] { return KORAL_I2C_Read_1_X(address, buffer, count, interfaceId); });
}

extern "C" int32_t KORAL_I2C_Write_N(int32_t address, const uint8_t* buffer, int32_t index,
                                     int32_t count, uint32_t interfaceId) {
    return runOlderForm("KORAL_I2C_Write_N", address, interfaceId, [&] {
        return KORAL_I2C_Write_N_X(address, buffer, index, count, interfaceId);
    });
}

extern "C" int32_t KORAL_I2C_Read_N(int32_t address, uint8_t* buffer, int32_t index, int32_t count,
                                    uint32_t interfaceId) {
    return runOlderForm("KORAL_I2C_Read_N", address, interfaceId, [&] {
        return KORAL_I2C_Read_N_X(address, buffer, index, count, interfaceId);
    });
}

extern "C" int32_t KORAL_I2C_Programming(int32_t address, const uint8_t* buffer, int32_t index,
                                         int32_t count, uint32_t interfaceId) {
    return runOlderForm("KORAL_I2C_Programming", address, interfaceId, [&] {
        return KORAL_I2C_Programming_X(address, buffer, index, count, interfaceId);
    });
}

// --- customer data

extern "C" int32_t KORAL_I2C_Read_EEPROM_CustData(uint32_t selector, uint32_t /*reserved*/,
                                                  uint8_t* buffer, int32_t offset, int32_t count,
                                                  uint32_t interfaceId) {
    return runCustomerData("KORAL_I2C_Read_EEPROM_CustData", selector, offset, count, interfaceId,
                           [&](int32_t device, int32_t index) {
                               return KORAL_I2C_Read_N_X(device, buffer, index, count, interfaceId);
                           });
}

extern "C" int32_t KORAL_I2C_Write_EEPROM_CustData(uint32_t selector, uint32_t /*reserved*/,
                                                   const uint8_t* buffer, int32_t offset,
                                                   int32_t count, uint32_t interfaceId) {
    return runCustomerData("KORAL_I2C_Write_EEPROM_CustData", selector, offset, count, interfaceId,
                           [&](int32_t device, int32_t index) {
                               return KORAL_I2C_Programming_X(device, buffer, index, count,
                                                              interfaceId);
                           });
}

// --- fixed areas

#define TARVIK_FIXED_AREA(suffix, device, base)                                                    \
    extern "C" int32_t KORAL_I2C_Read_##suffix(uint8_t* buffer, int32_t offset, int32_t count,     \
                                               uint32_t interfaceId) {                             \
        return readFixedArea("KORAL_I2C_Read_" #suffix, device, base, buffer, offset, count,       \
                             interfaceId);                                                         \
    }                                                                                              \
    extern "C" int32_t KORAL_I2C_Write_##suffix(const uint8_t* buffer, int32_t offset,             \
                                                int32_t count, uint32_t interfaceId) {             \
        return writeFixedArea("KORAL_I2C_Write_" #suffix, device, base, buffer, offset, count,     \
                              interfaceId);                                                        \
    }

TARVIK_FIXED_AREA(EP547, kInterfaceEepromAddress, kEP547)
TARVIK_FIXED_AREA(EP345, kInterfaceEepromAddress, kEP345)
TARVIK_FIXED_AREA(EP237, kInterfaceEepromAddress, kEP237)
TARVIK_FIXED_AREA(EP945, kInterfaceEepromAddress, kEP945)
TARVIK_FIXED_AREA(EP856, kInterfaceEepromAddress, kEP856)
TARVIK_FIXED_AREA(EPF016, kFrontEndEepromAddress, kEPF016)

#undef TARVIK_FIXED_AREA
