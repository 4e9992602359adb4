#pragma once
// The sensor type catalogue: the sensor types a user can choose from, in the
// order a list shows them, each with its type code, its name and the group it
// belongs to (one character; entries of a group are listed together, so a list
// can set groups apart). The codes are those of the acquisition library's
// sensor table; older codes that only old images carry are not offered.
//
// An index outside 0..GetSensorTypeCount()-1 gives code -1, an empty name and
// group 0. The texts are static; any thread may call at any time.

#include "dorvel/api.h"

#include <cstdint>

namespace dorvel {

DORVEL_API int16_t GetSensorTypeCount();
DORVEL_API int16_t GetSensorTypeCode(int16_t index);
DORVEL_API const char* GetSensorTypeName(int16_t index);
DORVEL_API char GetSensorTypeGroup(int16_t index);

} // namespace dorvel
