// A clipboard block pasted into the hex editor's data: any block, in any mode,
// at any caret and selection. The block's count is never trusted, the data
// only grows where the mode allows it, and the pasted bytes land at the caret.
#include "fuzz_check.h"
#include "glimra/hexeditdata.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) {
        return 0;
    }
    const uint8_t flags = data[0];
    glimra::HexEditMode mode;
    mode.unitBytes = 1 << (flags & 0x3) % 3;
    mode.insert = (flags & 0x4) != 0;
    mode.sizeChange = (flags & 0x8) != 0;
    const bool binary = (flags & 0x10) != 0;
    std::vector<uint8_t> bytes(data[1] / mode.unitBytes * mode.unitBytes);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    const int units = glimra::unitCountOf(bytes, mode.unitBytes);
    glimra::HexCursor cursor;
    cursor.caret = units == 0 ? 0 : data[2] % (units + 1);
    if (units > 0 && (flags & 0x20) != 0) {
        cursor.selStart = data[3] % units;
        cursor.selEnd = cursor.selStart + data[4] % (units - cursor.selStart);
    }
    const std::span<const uint8_t> block(data + 5, size - 5);

    std::span<const uint8_t> pasted;
    if (binary) {
        const auto decoded = glimra::DecodeBinaryDataBlock(block);
        if (!decoded) {
            uint32_t count = 0;
            if (block.size() >= 4) {
                std::memcpy(&count, block.data(), 4); // little-endian machines only
            }
            check(block.size() < 4 || count > block.size() - 4);
            return 0;
        }
        pasted = *decoded;
        check(pasted.data() == block.data() + 4 && pasted.size() <= block.size() - 4);
        const std::vector<uint8_t> again = glimra::EncodeBinaryDataBlock(pasted);
        check(std::equal(again.begin(), again.end(), block.begin()));
    } else {
        pasted = glimra::DecodeTextBlock(block);
        check(pasted.size() + 1 >= block.size());
    }

    const std::vector<uint8_t> before = bytes;
    const glimra::HexCursor start = cursor;
    const bool changed = glimra::PasteBytes(bytes, mode, cursor, pasted);
    const int after = glimra::unitCountOf(bytes, mode.unitBytes);
    check(bytes.size() % static_cast<size_t>(mode.unitBytes) == 0);
    check(cursor.caret >= 0 && cursor.caret <= after);
    if (!changed) {
        check(bytes == before);
        return 0;
    }
    check(!cursor.hasSelection());
    if (!mode.insert && !mode.sizeChange) {
        check(bytes.size() == before.size());
    }
    if (!mode.insert) {
        check(cursor.caret == (start.hasSelection() ? start.selStart : start.caret));
    }
    // What was written is a prefix of the clipboard's bytes, at the caret.
    const size_t offset = static_cast<size_t>(cursor.caret) * static_cast<size_t>(mode.unitBytes);
    size_t written = std::min(pasted.size(), bytes.size() - offset);
    if (!mode.insert && start.hasSelection()) {
        written = std::min(written, static_cast<size_t>(start.selEnd - start.selStart + 1) *
                                        static_cast<size_t>(mode.unitBytes));
    }
    check(written > 0 &&
          std::equal(pasted.begin(), pasted.begin() + static_cast<ptrdiff_t>(written),
                     bytes.begin() + static_cast<ptrdiff_t>(offset)));
    return 0;
}
