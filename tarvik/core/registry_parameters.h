#pragma once
// The library's parameters in the configuration store: the machine-wide
// parameters read once at load, and the serial-link settings of the user.

#include <cstdint>

namespace tarvik {

inline constexpr const char* kParametersKey = "Software\\Orvo\\VELDON\\Parameters";
inline constexpr const char* kQreParametersKey = "Software\\Orvo\\VELDON\\QRE\\Parameters";

// Into the LibraryState. A missing key records level 6, code 305 and keeps the
// defaults; a missing or unreadable value keeps its default.
void ReadLibraryParameters();
// Serial-link settings for an open of type 3 (only while no interface is
// open): 0, or -1 with level 6, code 305. Writes the defaults when the user
// key does not exist.
int32_t ReadQreParameters(int32_t interfaceId);
// 1 written; 0 failed with level 4, code 305, info = store error + 1000.
int32_t WriteQreParameters(uint32_t port, uint32_t baudRate, uint32_t transmission,
                           uint32_t interfaceId);

} // namespace tarvik
