#pragma once
// Burst and buffered acquisition: the burst number and its blocks, a burst
// with the board's raw words copied out, the stored spectra of a burst, the
// depth of the board's scan ring and the buffered read that reports what the
// ring held and lost, and the PCI board's hardware timer.

#include <cstdint>

namespace tarvik {

inline constexpr int32_t kBurstNumberMaximum = 30000;

// One burst of n scans on the slot of the ID through the acquisition engine,
// with the slot's burst or average number put back afterwards, also when the
// acquisition failed or warned. 0, or -1 with the record of the failing step
// (the acquisition's before the put-back's). Callers hold the DeviceLock.
int32_t AcquireBurst(int32_t n, int32_t interfaceId);

} // namespace tarvik
