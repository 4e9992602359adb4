#pragma once
// The digital lines of a board: six output lines in the request block's
// DigitalOutputWord (select bit n while line n is being changed, its level in
// bit 16 + n), up to three inputs read through the DigitalInputWord (request
// bit n - 1 out, the answer in bit 15 + n) and the inputs' latch mode. The
// serial electronics reach output 2 and input 1 through the serial link.

#include <cstdint>

namespace tarvik {

// Output lines of the DigitalOutputWord.
inline constexpr int32_t kLineDigOutput1 = 0;
inline constexpr int32_t kLineDigOutput2 = 1;
inline constexpr int32_t kLineDigOutput3 = 2;
inline constexpr int32_t kLineFeeSel0 = 3;
inline constexpr int32_t kLineFeeSel1 = 4;
inline constexpr int32_t kLineZeilRes = 5;

// The block version and firmware from which digital output 3, input 3 and
// the latch mode exist on PCI (type 4) and USB (type 6) boards.
inline constexpr uint16_t kDigitalLine3BlockVersion = 1207;
inline constexpr uint16_t kDigitalLine3Firmware = 203;

// Sets bit n of *word when value is non-zero, else clears it; 0.
int32_t SetBitInMask(uint32_t* word, int32_t n, int32_t value);
bool TestBitInMask(uint32_t word, int32_t n);

// The acquisition hook: digital output 1 or 2 of the interface through its
// export (the caller keeps the error box off). 0 or -1 with the record.
int32_t SetDigOutputLine(int32_t line, int32_t value, int32_t interfaceId);

} // namespace tarvik
