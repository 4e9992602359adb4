#pragma once
// What the hex editor does to its bytes, apart from the window: inserting and
// deleting units, typing a digit into a unit, pasting, and the clipboard
// blocks it exchanges. Qt-free, so that fuzz targets reach it.
//
// The data is a byte array read as units of 1, 2 or 4 bytes, little-endian.
// Positions count units; the caret runs from 0 to the unit count.
//
// Clipboard blocks:
// - "BinaryData": a 32-bit little-endian count n, then n bytes. A block whose
//   count promises more bytes than it holds is refused.
// - text: the bytes themselves. A trailing zero byte (a terminator that some
//   programs put into their text) is not part of the data.

#include "glimra/export.h"

#include <cstdint>

#include <cstddef>
#include <new>
#include <optional>
#include <span>
#include <vector>

namespace glimra {

// The data never reaches 2^31 bytes.
inline constexpr size_t kMaxHexDataSize = 0x7FFFFFFF;

// The class framework's memory exception, which InsertRange raises.
using CMemoryException = std::bad_alloc;

// Selection (inclusive unit indexes, -1 and -1 for none) and caret.
struct HexCursor {
    int caret = 0;
    int selStart = -1;
    int selEnd = -1;

    bool hasSelection() const { return selStart >= 0 && selEnd >= selStart; }
    void clearSelection() { selStart = selEnd = -1; }
};

struct HexEditMode {
    int unitBytes = 1; // 1, 2 or 4
    bool insert = true;
    bool sizeChange = false;
};

inline int unitCountOf(const std::vector<uint8_t>& data, int unitBytes) {
    return unitBytes > 0 ? static_cast<int>(data.size() / static_cast<size_t>(unitBytes)) : 0;
}

// Inserts count zero units before unit (kept within 0..unit count). Raises
// CMemoryException for a count below 1 or when the data would reach 2^31
// bytes; then nothing changed.
GLIMRA_EXPORT void InsertUnits(std::vector<uint8_t>& data, int unitBytes, int unit, int count);
// Removes the units of unit .. unit + count - 1 that exist; the number removed.
GLIMRA_EXPORT int DeleteUnits(std::vector<uint8_t>& data, int unitBytes, int unit, int count);

// The unit's value, little-endian; 0 for a unit outside the data.
GLIMRA_EXPORT uint32_t ReadUnit(const std::vector<uint8_t>& data, int unitBytes, int unit);
// Replaces digit digitIndex (0: most significant) of the unit by value
// (0..15), touching only the unit's own bytes; false outside the data.
GLIMRA_EXPORT bool WriteDigit(std::vector<uint8_t>& data, int unitBytes, int unit, int digitIndex, int value);

// Pastes bytes at the caret as the mode says: in insert mode the selection
// goes and room is made for the bytes; in overwrite mode they replace the
// selection's bytes (at most as many) or those behind the caret, growing the
// data only when size changes are allowed. The caret stays where the bytes
// begin; no selection remains. True when the data changed. May raise
// CMemoryException (data unchanged then).
GLIMRA_EXPORT bool PasteBytes(std::vector<uint8_t>& data, const HexEditMode& mode, HexCursor& cursor,
                std::span<const uint8_t> bytes);

GLIMRA_EXPORT std::vector<uint8_t> EncodeBinaryDataBlock(std::span<const uint8_t> bytes);
// The bytes a "BinaryData" block carries; nothing when it is malformed.
GLIMRA_EXPORT std::optional<std::span<const uint8_t>> DecodeBinaryDataBlock(std::span<const uint8_t> block);
GLIMRA_EXPORT std::span<const uint8_t> DecodeTextBlock(std::span<const uint8_t> block);

} // namespace glimra
