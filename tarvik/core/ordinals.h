#pragma once
#include <cstdint>
#include <span>

namespace tarvik {
struct ExportOrdinal {
    uint16_t ordinal; // 0: exported by name only
    const char* name;
};
// All exports of the library, in ordinal order, the name-only ones last.
std::span<const ExportOrdinal> exportOrdinals();
} // namespace tarvik
