#pragma once
// Set-up and clean-up of the library when a process loads and unloads it.
// The shared library runs them from its load and unload code; tests call them
// directly.

#include <cstdint>

namespace tarvik {

// 1, or -1 with the record named "ATTACH TARVIK.DLL". A failed set-up cannot
// refuse the load: the library stays loaded and every export that needs the
// state returns -1, leaving that record for KORAL_GetErrorCode.
int32_t LibraryAttach();
// 1, or -1 when something could not be freed. Also cleans up after a failed
// set-up.
int32_t LibraryDetach();

} // namespace tarvik
