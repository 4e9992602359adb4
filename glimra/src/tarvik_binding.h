#pragma once
// The one function of the acquisition library that the library calls. It is
// reached at run time: libtarvik.so is loaded from beside this library and
// the function resolved by name at the first call. While that fails (no
// library, no such function) every call fails, as a failed query does.

#include <cstdint>
#include <string>

namespace glimra::detail {

// KORAL_HWConfig_GetSupportedSensorLengths: the number of supported lengths
// of the sensor type, the first capacity of them written to lengths; -1 when
// the type is unknown or the acquisition library cannot be reached.
int32_t GetSupportedSensorLengths(uint32_t sensorType, int32_t capacity, uint32_t* lengths);

// The file loaded: libtarvik.so in the directory of the module this library
// is part of.
std::string defaultTarvikLibraryFile();
// Loads from file instead (tests); empty goes back to the default. The next
// call loads again.
void setTarvikLibraryFile(const std::string& file);

} // namespace glimra::detail
