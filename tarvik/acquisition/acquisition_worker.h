#pragma once
// The per-slot acquisition worker: one thread per initialised board slot that
// performs one scan command (or, in demo mode, makes a synthetic scan) each
// time the acquisition sets its start event, and sets its done event after.
//
// The acquisition holds the DeviceLock while a worker runs a command, so the
// slot and its request block stay put; the worker takes no lock but the
// ErrorLock, and only to write the LastErrorRecord.

#include "tarvik_request_block.h"

#include <cstdint>

namespace tarvik {

inline constexpr int32_t kCodeAcqThread = 309;    // "ACQ THREAD ERROR"
inline constexpr int32_t kInfoCreateThread = 835; // "NOT ABLE TO CREATE THREAD"

// Starts the worker of the ID's row (which holds none): start event
// auto-reset, done event manual-reset for board type 1 and auto-reset
// otherwise, demo flag as given; returns once the worker is waiting for its
// first start. False when the thread cannot be created (row left empty).
bool StartAcquisitionThread(int32_t interfaceId, uint32_t boardType, uint8_t demo);

// Stops the ID's worker: the stop request, its start event and a cancel of a
// scan command still pending on the slot's handle, then up to 5000 ms for the
// end. A worker that did not end in time is cancelled again and joined all
// the same, so that nothing runs on once the slot's block is freed.
void StopAcquisitionThread(int32_t interfaceId);

// The result of a scan command whose status word was 0 and whose driver
// warning word is `warning`, with the record written as the warning table
// says (under the ErrorLock). 0 when there is no warning or its class is off
// in the slot's warning mask (bit 0 ADC, bit 1 spectrum buffer, bit 2 FIFO).
int32_t mapDriverWarning(int32_t interfaceId, uint16_t warning, uint16_t warningMask);

// Demo pixel i: (integration count + 20 i) x 100 + random / 10, random in
// 0..32767.
uint32_t demoPixelValue(uint16_t integrationCount, uint32_t pixel, uint32_t random15);
// Fills the 8352 scan values of the block as the demo worker does, random
// numbers 0..32767 from a generator seeded with `seed`.
void fillDemoScan(DeviceRequestBlock& block, uint64_t seed);

// The five scale factors of a type-8 board from the boot image (a 0 byte ends
// them); false for another board type or a slot not watched for removal.
bool InitializeType8Scaling(int32_t interfaceId);

} // namespace tarvik
