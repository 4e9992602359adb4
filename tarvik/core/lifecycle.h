#pragma once
// The life cycle of an interface ID: open (find and open the board of the
// type, read what it is), initialise (parameters to the board, acquisition
// worker started), de-initialise, close, and the active flag. The exports in
// lifecycle.cpp are thin frames over these.
//
// Per ID: closed (no slot, or a slot whose handle is invalid) -> open (slot
// with a handle or the placeholder, counted in the open interfaces, active)
// -> initialised -> de-initialised -> closed (slot freed). Only interfaces of
// one board type are open together; the last close frees the type.

#include "platform/device.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tarvik {

// Open flags.
inline constexpr int32_t kOpenNoBox = 0x1; // no error box for this open
inline constexpr int32_t kOpenKeepSlot =
    0x2; // a failure after the device was reached keeps the slot
inline constexpr int32_t kOpenBoardOpen = 0x4; // types 4, 6: IOCTL_BOARD_OPEN; type 8: take a bad
                                               // boot image
inline constexpr int32_t kOpenOption = 0x8;    // option bit 0 of the slot (RequestFlags 0x1)

// Initialise flags.
inline constexpr int32_t kInitialiseNoBox = 0x1;

// USB boards whose driver is older than this are refused by the open.
inline constexpr uint16_t kMinimumUsbDriverVersion = 1015;

// The device-interface class of a board type (1, 4, 5, 6, 8, 9, 101).
std::optional<platform::Guid> deviceInterfaceClass(uint32_t interfaceType);

// "\\.\" + the board name of type 1, 4 or 5, and for IDs above 1 the decimal
// ID - 1; empty for other types.
std::string BuildLegacyDeviceName(uint32_t interfaceType, int32_t interfaceId);

// Opens member `memberIndex` of the type's device-interface class; its path
// goes to *path when given. The invalid handle on any failure, with the
// platform error left for the caller (ENOENT: no such member).
platform::DeviceHandle OpenDeviceInterface(uint32_t interfaceType, uint32_t memberIndex,
                                           std::string* path);

// Interfaces of a type that may be open together; 0 for a type the open
// refuses.
int32_t maxOpenInterfaces(uint32_t interfaceType);

// After a successful open: warning class 2 where the interface supports it
// (warning mask bit 1, RequestFlags 0x8), mode bit 2 likewise (mask bit 2).
bool SetFirmwareWarningFlags(int32_t interfaceId);

// The exports' work; each writes the record, its own name and shows the box
// as its export does. Results 0 or -1 (initialise of type 1: the sensor-type
// result).
int32_t OpenOperationElectronicsDevice(int32_t flags, uint32_t interfaceType, uint32_t interfaceId);
int32_t InitializeOperationElectronics(int32_t flags, uint32_t interfaceId);
int32_t DeInitializeOperationElectronics(uint32_t interfaceId);
int32_t CloseOperationElectronics(uint32_t interfaceId);
int32_t CloseOperationElectronicsWithoutDeInit(uint32_t interfaceId);
int32_t SetInterfaceActiveFlag(uint32_t interfaceId, bool active);

} // namespace tarvik
