#pragma once
// Feature queries and further device settings: which digital lines a board
// has, multiplexer settings, serial numbers, the logic version, flash
// polarity, trigger delay, the library-wide shutter control mode, the
// exports that exist only as names, and the library's millisecond wait.

#include <cstddef>
#include <cstdint>

namespace tarvik {

// Offsets of the serial-number words in the ConfigurationImageBlock.
inline constexpr size_t kSerialNumberInterface = 12;
inline constexpr size_t kSerialNumberFrontEnd = 256 + 12;
inline constexpr size_t kSerialNumberMux = 512 + 12;

// Waits through the serial link's millisecond wait.
void DelayMilliseconds(uint32_t milliseconds);

} // namespace tarvik
