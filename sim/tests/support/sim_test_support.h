#pragma once
// Helpers of the simulation tests: a temporary directory per test, request
// blocks with a data area, and the block's fields by name.

#include "tarvik_request_block.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace simtest {

// A directory of its own for each test process and test, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes a file into the directory; its path.
    std::filesystem::path write(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path path_;
};

// A request block with a data area of 128 words, as the library sends the
// configuration bytes; zeroed. Short requests use its first 33,600 bytes.
#pragma pack(push, 1)
struct LongBlock {
    DeviceRequestBlock block;
    uint8_t extra[256 - sizeof(DeviceRequestBlock::Data)];
};
#pragma pack(pop)
static_assert(sizeof(LongBlock) == KORAL_REQUEST_BLOCK_SIZE + 252);
inline constexpr uint32_t kShort = KORAL_REQUEST_BLOCK_SIZE;
inline constexpr uint32_t kLong = sizeof(LongBlock);

inline std::unique_ptr<LongBlock> newBlock() {
    return std::make_unique<LongBlock>(); // value-initialised: all zero
}

inline std::span<uint8_t> bytesOf(LongBlock& block) {
    return {reinterpret_cast<uint8_t*>(&block), sizeof block};
}

// The data area as bytes (Data and what follows it).
inline uint8_t* dataOf(LongBlock& block) {
    return reinterpret_cast<uint8_t*>(&block) + KORAL_REQUEST_BLOCK_DATA_OFFSET;
}

inline uint16_t firstDataWord(LongBlock& block) {
    uint16_t word = 0;
    std::memcpy(&word, dataOf(block), sizeof word);
    return word;
}

} // namespace simtest
