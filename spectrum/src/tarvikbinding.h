#pragma once
// The acquisition library's exports as the device calls them. The board's
// spectrum buffer may be missing from the library the program runs with: it
// is bound weakly, so the program still starts and each call of a missing
// one counts as a failed call (-1).

#include "tarvik.h"

#include <cstdint>

extern "C" {
__attribute__((weak)) int32_t KORAL_ParaSetSpecBuffer(int32_t depth, uint32_t interfaceId);
__attribute__((weak)) int32_t KORAL_GetBufferedSpectra(uint32_t* scansHeld, uint32_t* scansLost,
                                                       uint32_t interfaceId);
}

namespace spectrum {

// Calls an export that may be missing; -1 when it is.
template <class... Params, class... Args>
std::int32_t callExport(std::int32_t (*function)(Params...), Args... args) {
    return function != nullptr ? function(args...) : -1;
}

} // namespace spectrum
