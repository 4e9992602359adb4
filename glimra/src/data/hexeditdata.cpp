#include "glimra/hexeditdata.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace glimra {
namespace {

bool validUnit(const std::vector<uint8_t>& data, int unitBytes, int unit) {
    return unitBytes > 0 && unit >= 0 &&
           (static_cast<size_t>(unit) + 1) * static_cast<size_t>(unitBytes) <= data.size();
}

} // namespace

void InsertUnits(std::vector<uint8_t>& data, int unitBytes, int unit, int count) {
    if (count < 1 || unitBytes < 1) {
        throw CMemoryException();
    }
    const size_t add = static_cast<size_t>(count) * static_cast<size_t>(unitBytes);
    if (add > kMaxHexDataSize || data.size() > kMaxHexDataSize - add) {
        throw CMemoryException();
    }
    const int at = std::clamp(unit, 0, unitCountOf(data, unitBytes));
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at) * unitBytes, add, uint8_t{0});
}

int DeleteUnits(std::vector<uint8_t>& data, int unitBytes, int unit, int count) {
    if (count < 1 || unitBytes < 1) {
        return 0;
    }
    const int64_t first = std::max(unit, 0);
    const int64_t last =
        std::min<int64_t>(static_cast<int64_t>(unit) + count, unitCountOf(data, unitBytes));
    if (last <= first) {
        return 0;
    }
    data.erase(data.begin() + static_cast<std::ptrdiff_t>(first * unitBytes),
               data.begin() + static_cast<std::ptrdiff_t>(last * unitBytes));
    return static_cast<int>(last - first);
}

uint32_t ReadUnit(const std::vector<uint8_t>& data, int unitBytes, int unit) {
    if (!validUnit(data, unitBytes, unit) || unitBytes > 4) {
        return 0;
    }
    uint32_t value = 0;
    const size_t at = static_cast<size_t>(unit) * static_cast<size_t>(unitBytes);
    for (int i = unitBytes - 1; i >= 0; --i) {
        value = value << 8 | data[at + static_cast<size_t>(i)];
    }
    return value;
}

bool WriteDigit(std::vector<uint8_t>& data, int unitBytes, int unit, int digitIndex, int value) {
    if (!validUnit(data, unitBytes, unit) || digitIndex < 0 || digitIndex >= 2 * unitBytes ||
        value < 0 || value > 15) {
        return false;
    }
    // Digit 0 is the most significant; the unit's last byte holds it.
    const int shift = (2 * unitBytes - 1 - digitIndex) * 4;
    uint8_t& b = data[static_cast<size_t>(unit) * static_cast<size_t>(unitBytes) +
                      static_cast<size_t>(shift / 8)];
    const int nibble = shift % 8;
    b = static_cast<uint8_t>((b & ~(0xF << nibble)) | (value << nibble));
    return true;
}

bool PasteBytes(std::vector<uint8_t>& data, const HexEditMode& mode, HexCursor& cursor,
                std::span<const uint8_t> bytes) {
    const int ub = mode.unitBytes;
    size_t n = bytes.size();
    if (n == 0 || ub < 1 || n > kMaxHexDataSize) {
        return false;
    }
    bool changed = false;
    if (mode.insert) {
        const size_t units = (n + static_cast<size_t>(ub) - 1) / static_cast<size_t>(ub);
        size_t removed = 0;
        if (cursor.hasSelection()) {
            removed =
                static_cast<size_t>(cursor.selEnd - cursor.selStart + 1) * static_cast<size_t>(ub);
        }
        // Room first: once the selection is gone, nothing may fail.
        const size_t after = data.size() - std::min(removed, data.size()) + units * ub;
        if (after > kMaxHexDataSize) {
            throw CMemoryException();
        }
        data.reserve(std::max(after, data.size()));
        if (cursor.hasSelection()) {
            changed =
                DeleteUnits(data, ub, cursor.selStart, cursor.selEnd - cursor.selStart + 1) > 0;
            cursor.caret = cursor.selStart;
            cursor.clearSelection();
        }
        cursor.caret = std::clamp(cursor.caret, 0, unitCountOf(data, ub));
        InsertUnits(data, ub, cursor.caret, static_cast<int>(units));
        changed = true;
    } else if (cursor.hasSelection()) {
        cursor.caret = cursor.selStart;
        n = std::min(n, static_cast<size_t>(cursor.selEnd - cursor.selStart + 1) *
                            static_cast<size_t>(ub));
        cursor.clearSelection();
    }
    cursor.caret = std::clamp(cursor.caret, 0, unitCountOf(data, ub));
    const size_t offset = static_cast<size_t>(cursor.caret) * static_cast<size_t>(ub);
    const size_t avail = data.size() - offset;
    if (avail < n) {
        if (mode.sizeChange) {
            const size_t more =
                (n - avail + static_cast<size_t>(ub) - 1) / static_cast<size_t>(ub) * ub;
            if (more > kMaxHexDataSize - data.size()) {
                throw CMemoryException();
            }
            data.resize(data.size() + more, uint8_t{0});
        } else {
            n = avail;
        }
    }
    if (n == 0) {
        return changed;
    }
    std::memcpy(data.data() + offset, bytes.data(), n);
    return true;
}

std::vector<uint8_t> EncodeBinaryDataBlock(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> block(4 + bytes.size());
    const auto n = static_cast<uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i) {
        block[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
    }
    std::copy(bytes.begin(), bytes.end(), block.begin() + 4);
    return block;
}

std::optional<std::span<const uint8_t>> DecodeBinaryDataBlock(std::span<const uint8_t> block) {
    if (block.size() < 4) {
        return std::nullopt;
    }
    const uint32_t n = static_cast<uint32_t>(block[0]) | static_cast<uint32_t>(block[1]) << 8 |
                       static_cast<uint32_t>(block[2]) << 16 |
                       static_cast<uint32_t>(block[3]) << 24;
    // The count is only a claim: it must fit the block that carries it.
    if (n > block.size() - 4) {
        return std::nullopt;
    }
    return block.subspan(4, n);
}

std::span<const uint8_t> DecodeTextBlock(std::span<const uint8_t> block) {
    if (!block.empty() && block.back() == 0) {
        return block.first(block.size() - 1);
    }
    return block;
}

} // namespace glimra
