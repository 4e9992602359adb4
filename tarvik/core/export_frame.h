#pragma once
// The frame every export travels: refused while the library is not set up,
// the state check at the export's level, its name into the record on a
// failure, the box, and no exception across the interface.
//
//   extern "C" int32_t KORAL_Something(uint32_t interfaceId) {
//       return runExport(kName, [&] {
//           const int32_t id = static_cast<int32_t>(interfaceId);
//           if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
//               return -1;
//           }
//           std::lock_guard guard(deviceLock());
//           ...fill the actual slot's block...
//           if (SendDeviceCommand(KORAL_CMD_INIT) != 0) {
//               return failExport(kName);
//           }
//           return 0;
//       });
//   }

#include "core/actual_interface.h"
#include "core/last_error.h"

#include <cstdint>
#include <new>
#include <utility>

namespace tarvik {

// True between a successful set-up at load and the clean-up at unload.
bool isLibraryAttached();

// The record is filled: the export's name, the box, -1.
int32_t failExport(const char* name);
// ID, level, code and info, then as above.
int32_t failExport(const char* name, int32_t interfaceId, int32_t level, int32_t code,
                   int32_t info);
// The same without the box (exports whose flags switch it off).
int32_t failExportQuietly(const char* name);

// CheckInterfaceState; on a failure the name and the box. Returns the check's
// result (0, -1, or -2 for a removed board).
int32_t checkInterfaceForExport(const char* name, int32_t level, int32_t interfaceId);

// Runs an export's body. While the library is not set up (its set-up at load
// failed) the body does not run and the result is -1; the record then still
// holds the failure of the set-up. An exception that escapes the body becomes
// level 2 code 201 (out of memory) or level 4 code 508, with the box. The
// IDs the body makes actual are the ones its own steps act on.
template <class Body> int32_t runExport(const char* name, Body&& body) noexcept {
    const ExportActualScope actualScope;
    if (!isLibraryAttached()) {
        return -1;
    }
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        return failExport(name, 0, KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
    } catch (...) {
        return failExport(name, 0, KORAL_LEVEL_NOT_DONE, code::kAborted, 0);
    }
}

} // namespace tarvik
