#pragma once
// The frames between the acquisition library (address 0) and the serial
// electronics QRE on their COM port: a wire format shared with the simulated
// electronics. C++ only.
//
// Command and reply frames, 8 bytes:
//   0 destination address in both nibbles   1 source address in both nibbles
//   2 0xF0 (kind 15, length nibble 0)        3 parameter << 4 | code
//   4 sequence byte                          5 XOR of bytes 0..4
//   6, 7 the 16-bit sum of bytes 0..4, high byte first
// Data frames, 48 bytes, one 40-byte piece of a data block each:
//   0, 1 addresses as above                  2 block type << 4 | 10
//   3 first frame: frames of the block - 1; later frames: their index
//   4 0x80 on the first frame | payload bytes used - 1
//   5..44 payload (a short last piece is followed by zeros)
//   45 XOR of bytes 0..44                    46, 47 their 16-bit sum, high byte first
// Block contents travel as they lie in memory (little-endian words).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvik::qre {

inline constexpr std::size_t kCommandFrameSize = 8;
inline constexpr std::size_t kDataFrameSize = 48;
inline constexpr std::size_t kMaxFrameSize = 48;
inline constexpr std::size_t kHeaderSize = 5;
inline constexpr std::size_t kChecksSize = 3;
inline constexpr std::size_t kPayloadOffset = 5;
inline constexpr std::size_t kPayloadSize = 40;
inline constexpr uint8_t kCommandKind = 15;
inline constexpr uint8_t kDataLengthNibble = kPayloadSize / 4;
inline constexpr uint8_t kFirstFrameFlag = 0x80;
inline constexpr uint8_t kLibraryAddress = 0;

// Blocks: at most 5,120 bytes, 128 frames.
inline constexpr std::size_t kMaxBlockSize = 5120;
inline constexpr std::size_t kMaxBlockFrames = kMaxBlockSize / kPayloadSize;

// Codes of command frames (low nibble of byte 3).
inline constexpr uint8_t kRepeatRequest = 1;
inline constexpr uint8_t kAcknowledge = 2;
inline constexpr uint8_t kContinue = 3;
inline constexpr uint8_t kGlobalReset = 13;
inline constexpr uint8_t kStatusPoll = 14;
inline constexpr uint8_t kBlockRequest = 15;

// Block types and their sizes; other types have none.
inline constexpr uint8_t kSpectrumBlock1 = 1;      // 1..4: 2118 bytes each
inline constexpr uint8_t kListBlock = 5;           // 366
inline constexpr uint8_t kParameterBlock = 6;      // 64
inline constexpr uint8_t kWideSpectrumBlock3 = 7;  // 7, 8: 4220 each
inline constexpr uint8_t kSettingsBlock = 9;       // 32
inline constexpr uint8_t kVersionBlock = 10;       // 32
inline constexpr uint8_t kTransferBlock = 11;      // 24: digital I/O and I2C
inline constexpr uint8_t kConfigurationBlock = 12; // 316

inline constexpr std::size_t kSpectrumBlockSize = 2118;
inline constexpr std::size_t kListBlockSize = 366;
inline constexpr std::size_t kParameterBlockSize = 64;
inline constexpr std::size_t kWideSpectrumBlockSize = 4220;
inline constexpr std::size_t kSettingsBlockSize = 32;
inline constexpr std::size_t kVersionBlockSize = 32;
inline constexpr std::size_t kTransferBlockSize = 24;
inline constexpr std::size_t kConfigurationBlockSize = 316;

constexpr std::size_t blockSize(uint8_t type) {
    switch (type) {
    case 1:
    case 2:
    case 3:
    case 4:
        return kSpectrumBlockSize;
    case kListBlock:
        return kListBlockSize;
    case kParameterBlock:
        return kParameterBlockSize;
    case 7:
    case 8:
        return kWideSpectrumBlockSize;
    case kSettingsBlock:
        return kSettingsBlockSize;
    case kVersionBlock:
        return kVersionBlockSize;
    case kTransferBlock:
        return kTransferBlockSize;
    case kConfigurationBlock:
        return kConfigurationBlockSize;
    default:
        return 0;
    }
}

// Frames a block of `size` bytes takes.
constexpr std::size_t framesOf(std::size_t size) {
    return (size + kPayloadSize - 1) / kPayloadSize;
}

constexpr uint8_t addressByte(uint8_t address) {
    return static_cast<uint8_t>((address & 0x0F) * 0x11);
}

constexpr bool nibblesEqual(uint8_t byte) {
    return (byte >> 4) == (byte & 0x0F);
}

// The length of the frame whose header holds `byte2`.
constexpr std::size_t frameLength(uint8_t byte2) {
    return (byte2 >> 4) == kCommandKind ? kCommandFrameSize : (byte2 & 0x0F) * 4u + 8u;
}

struct FrameChecks {
    uint8_t xorByte = 0;
    uint16_t sum = 0;
};

constexpr FrameChecks computeChecks(std::span<const uint8_t> bytes) {
    FrameChecks checks;
    for (const uint8_t b : bytes) {
        checks.xorByte ^= b;
        checks.sum = static_cast<uint16_t>(checks.sum + b);
    }
    return checks;
}

// Writes the checks of frame[0..n) at n, n + 1 and n + 2.
constexpr void appendChecks(uint8_t* frame, std::size_t n) {
    const FrameChecks checks = computeChecks(std::span<const uint8_t>(frame, n));
    frame[n] = checks.xorByte;
    frame[n + 1] = static_cast<uint8_t>(checks.sum >> 8);
    frame[n + 2] = static_cast<uint8_t>(checks.sum);
}

enum class ChecksResult { Good, BadXor, BadSum };

// The checks of a whole frame of `length` bytes (at least 3).
constexpr ChecksResult verifyChecks(const uint8_t* frame, std::size_t length) {
    const std::size_t n = length - kChecksSize;
    const FrameChecks checks = computeChecks(std::span<const uint8_t>(frame, n));
    if (frame[n] != checks.xorByte) {
        return ChecksResult::BadXor;
    }
    if (frame[n + 1] != static_cast<uint8_t>(checks.sum >> 8) ||
        frame[n + 2] != static_cast<uint8_t>(checks.sum)) {
        return ChecksResult::BadSum;
    }
    return ChecksResult::Good;
}

using CommandFrame = std::array<uint8_t, kCommandFrameSize>;
using DataFrame = std::array<uint8_t, kDataFrameSize>;

constexpr CommandFrame commandFrame(uint8_t destination, uint8_t source, uint8_t code,
                                    uint8_t parameter, uint8_t sequence) {
    CommandFrame frame{addressByte(destination), addressByte(source),
                       static_cast<uint8_t>(kCommandKind << 4),
                       static_cast<uint8_t>((parameter & 0x0F) << 4 | (code & 0x0F)), sequence};
    appendChecks(frame.data(), kHeaderSize);
    return frame;
}

// One piece of a block: `indexByte` is frames - 1 on the first frame and the
// frame's index on the others; `piece` holds 1..40 bytes.
constexpr DataFrame dataFrame(uint8_t destination, uint8_t source, uint8_t type, uint8_t indexByte,
                              bool first, std::span<const uint8_t> piece) {
    DataFrame frame{};
    frame[0] = addressByte(destination);
    frame[1] = addressByte(source);
    frame[2] = static_cast<uint8_t>((type & 0x0F) << 4 | kDataLengthNibble);
    frame[3] = indexByte;
    frame[4] = static_cast<uint8_t>((first ? kFirstFrameFlag : 0) | ((piece.size() - 1) & 0x7F));
    for (std::size_t i = 0; i < piece.size() && i < kPayloadSize; ++i) {
        frame[kPayloadOffset + i] = piece[i];
    }
    appendChecks(frame.data(), kPayloadOffset + kPayloadSize);
    return frame;
}

} // namespace tarvik::qre
