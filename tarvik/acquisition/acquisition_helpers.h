#pragma once
// Small questions about a slot that the initialisation, the spectrum
// preparation and the feature queries ask alongside the acquisition.

#include <cstdint>

namespace tarvik {

// Front-end types whose pixel values run 0..65536 (2, 7, 9, 11); the others
// run -32768..32767. False without a slot.
bool HasUnsignedPixelRange(int32_t interfaceId);

// The first ID 1..15 whose slot exists, is initialised and active and has the
// optical multiplexer (type 6); 0 if none.
int32_t FindSlotWithOpticalMux();

// Channels of a multiplexer type: 1-4 four, 5 eight, 6 two, 7 the serial
// multiplexer's count, 8 by sub-type (0 one, 1 two, 2 four, other 0), any
// other type 1.
int32_t GetFrontEndChannelCount(uint32_t muxType, uint32_t subType, int32_t interfaceId);

// Code 514 "ZTK CONFIG ERR" with the info of the cooled board's status; the
// record's level and interface ID stay. True.
bool SetZtkErrorInfo(int32_t status);

// Type-8 scaling of channel 0..3's record: the dark current by factor 0, or
// the spectrum by factor channel + 1 with its extremes tracked. False for a
// channel above 3. The caller holds the DeviceLock; takes the RawDataLock.
bool ApplyChannelScaling(int32_t interfaceId, int32_t channel, bool dark);

// Whether every multiplexer channel of the slot carries the same sensor type
// (types below 3 and type 16 count as 0): true without multiplexed channels
// (configuration word bit 3 clear, a serial multiplexer, 0 channels). False
// without a slot or for an unknown multiplexer build type.
bool AreChannelSensorsUniform(int32_t interfaceId);

} // namespace tarvik
