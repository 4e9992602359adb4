#pragma once
#include <cstddef>
#include <cstdint>

namespace tarvik {
// The fixed text of a level, code or info value; "" for 0, nullptr for a value
// without a text (callers then use the "UNKNOWN ..." forms or the platform text).
const char* errorCodeText(int32_t value);
// Number of values with a text (0 not counted).
size_t errorCodeCount();
} // namespace tarvik
