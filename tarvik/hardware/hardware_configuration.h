#pragma once
// The hardware configuration of an interface as a whole: front end with its
// clock, multiplexer, the sensor of every channel. Setting it checks the
// combination, brings the multiplexer into operation, fills the slot and its
// request block and applies the integration times anew, which sends the
// parameters to the board. A set that fails leaves the slot and its request
// block as they were.

#include "tarvik.h"

#include <cstdint>

namespace tarvik {

struct DeviceSlot;

// The record the initialise applies: the slot's board, front-end and
// multiplexer types, the channel count of the multiplexer, and for every
// channel channel 1's sensor (-2 when the channels come from the EEPROM
// images), pixels, rows and fourth sensor word.
HWConfigurationEx2Record BuildSlotHardwareConfiguration(int32_t interfaceId,
                                                        const DeviceSlot& slot);

// The open's actual configuration becomes the slot's configured front end,
// multiplexer and channel tables.
void AdoptActualConfiguration(DeviceSlot& slot);

// The initialise's step: the record of the slot applied with the box off.
// 0 or -1 (the record written). The caller holds the DeviceLock.
int32_t ApplySlotHardwareConfiguration(int32_t interfaceId);

} // namespace tarvik
