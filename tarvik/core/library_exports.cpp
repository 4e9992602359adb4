// Exports of the library set-up. Everything is set up when the library is
// loaded; these only tell whether that worked.
#include "core/export_frame.h"
#include "core/library_state.h"
#include "tarvik.h"

using namespace tarvik;

extern "C" int32_t KORAL_InitLibrary(uint32_t, uint32_t, uint32_t) {
    return isLibraryAttached() ? 0 : -1;
}

extern "C" int32_t KORAL_UnInitLibrary(uint32_t) {
    return isLibraryAttached() ? 0 : -1;
}

// No frame, no lock, no record: two atomic fields.
extern "C" int32_t KORAL_GetActualInterfaceID(void) {
    const LibraryState* state = isLibraryAttached() ? libraryState() : nullptr;
    if (state == nullptr || state->openInterfaces < 1) {
        return 1;
    }
    return state->actualInterfaceId;
}
