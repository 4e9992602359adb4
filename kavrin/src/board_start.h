#pragma once
// Bringing a board up: its slot in BOARD_ID_TABLE, its descriptors and id
// checks, its configuration and its firmware. The plug-and-play glue
// (pnp.cpp) adds the device object, the remove lock and the interface.

#include "device_extension.h"

#include "platform/driver.h"

namespace kavrin {

// The first slot no device object holds; -1 when all fifteen are taken (the
// board is then refused rather than sharing slot 0 with another).
int TakeBoardSlot(DriverContext& driver);
// The slot goes back: not taken, not present, no id.
void ReleaseBoardSlot(DriverContext& driver, int slot);
// The board is gone but its device object stays: not present, no id.
void ClearBoardSlot(DriverContext& driver, int slot);

// Steps 1 to 6 of a start: device descriptor and board id, the id checks
// (unless SuppressIdCheck), the restricted-mode string, high speed, the first
// configuration and its first interface, the firmware. A refused board is
// written to the event log. kStatusSuccess, or the start's failure.
platform::DriverStatus StartBoard(DEVICE_EXTENSION& device);

// The wait before a started board shows its interface, so that boards
// started together come up in slot order.
uint32_t startDelayMs(int slot);

} // namespace kavrin
