#pragma once
// Fields of a request block held in a byte buffer, read and written by the
// offsets of the wire format (the buffer has no alignment or object type of
// its own, so it is never cast to the struct).

#include "tarvik_request_block.h"

#include <cstddef>
#include <cstring>
#include <span>

namespace sim::detail {

template <class T> T readField(std::span<const uint8_t> block, std::size_t offset) {
    T value{};
    std::memcpy(&value, block.data() + offset, sizeof value);
    return value;
}

template <class T> void writeField(std::span<uint8_t> block, std::size_t offset, T value) {
    std::memcpy(block.data() + offset, &value, sizeof value);
}

} // namespace sim::detail

// The field's own type and offset; the block must hold KORAL_REQUEST_BLOCK_SIZE bytes.
#define SIM_GET(block, field)                                                                      \
    ::sim::detail::readField<decltype(DeviceRequestBlock::field)>(                                 \
        block, offsetof(DeviceRequestBlock, field))
#define SIM_PUT(block, field, value)                                                               \
    ::sim::detail::writeField<decltype(DeviceRequestBlock::field)>(                                \
        block, offsetof(DeviceRequestBlock, field),                                                \
        static_cast<decltype(DeviceRequestBlock::field)>(value))
