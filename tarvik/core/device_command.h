#pragma once
// The one sender of board commands: turns a board command number into a
// device-control request on the actual slot's DeviceRequestBlock and the
// driver's answer into the LastErrorRecord.

#include <cstdint>

namespace tarvik {

struct DeviceSlot;

// 0 done; -1 failed with the record filled (interface ID 0). The target is the
// slot of the actual interface ID: make the right ID actual first (a passing
// CheckInterfaceState with an ID of 1 or more does that). Callers hold the
// DeviceLock.
int32_t SendDeviceCommand(uint32_t command);
// The same for a slot given (the arrival handler's scratch slot 0, which is
// never the actual one).
int32_t SendSlotCommand(DeviceSlot* slot, uint32_t command);

// Gives the slot's block a data area of n 16-bit words (reallocating when the
// size changes) and clears it and the scan data. 0, or -1 with level 2, code
// 205 and the slot's ID (the old block stays).
int32_t ResizeRequestBlock(int32_t interfaceId, uint32_t words);

// Work modes in which the USB board scans continuously.
bool isContinuousWorkMode(uint16_t workMode);

} // namespace tarvik
