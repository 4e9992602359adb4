#pragma once
// The frames of the link (wire format in tarvik_serial_frame.h): building
// and sending command frames and the pieces of a data block, the receiver
// that assembles frames from the port and turns each good one into a reply
// flag for the transfer state machine, storing received pieces into their
// block, and draining a line after a bad frame.
//
// Received pieces never land outside their block: a piece whose place lies
// beyond the block is refused as out of order (-153) or too long (-155), and
// a header announcing a frame longer than the 48-byte buffer is refused
// (-150) before a byte of it is read.

#include "tarvik_serial_frame.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvik {

// The header of the last frame received, and what the receiver reads next.
struct QreReceiveRecord {
    uint8_t destination = 0;
    uint8_t source = 0;
    uint8_t kind = 0;          // 15 reply, else the block type
    uint8_t payloadLength = 0; // length nibble * 4
    uint16_t expectedLength = qre::kMaxFrameSize;
    uint8_t replyCode = 0;
    uint8_t replyParameter = 0;
    uint8_t replySequence = 0; // the QRE's own, kept, not checked
    uint8_t sendBlockType = 0; // the block a write sends
    uint16_t bytesToRead = qre::kHeaderSize;
};

// The block being sent or received.
struct QreTransferRecord {
    uint8_t blockType = 0;
    uint8_t typeKnown = 1;
    uint16_t blockSize = 0;
    uint16_t frames = 0; // sending: frames of the block; receiving: announced frames - 1
    uint16_t lastFrameBytes = 0;
    const uint8_t* source = nullptr;
    uint8_t* target = nullptr;
    uint16_t frameCounter = 0;
    bool repeatedFrame = false; // the piece just stored was a repeat of the one before
};

struct QreFrameBuffers {
    std::array<uint8_t, qre::kMaxFrameSize> transmit{};
    std::array<uint8_t, qre::kMaxFrameSize> raw{};      // bytes as they come
    std::array<uint8_t, qre::kMaxFrameSize> received{}; // the checked copy
    int16_t rawCount = 0;
};

struct QreBlockStorage {
    uint8_t* data = nullptr;
    uint16_t size = 0;
};

// 0 (the port's failures are in the error list).
int32_t SendQreCommandFrame(uint8_t code, uint8_t parameter);
// 0, or -31 (pushed) when the block named by the receive record is unknown
// or above 5,120 bytes; nothing is sent then.
int32_t SendQreFirstDataFrame();
// 0; -153 (pushed, nothing sent) when the block has no piece left.
int32_t SendQreNextDataFrame();
// One poll of the port.
void ReceiveQreFrame();
// 0 or the negative code it pushed.
int32_t StoreQreDataFrame();
// 0, -100 or -101 (pushed).
int32_t CheckQreFrameHeader(const uint8_t* frame);
void ParseQreFrameHeader(const uint8_t* frame);
void AppendQreChecksum(uint8_t* frame, std::size_t n);
// 0, -102 or -103 (pushed).
int32_t CheckQreChecksum(const uint8_t* frame, std::size_t length);
// The block's size (also into the transfer record) and storage; -1 for a type
// without storage, else 0.
int32_t LookupQreBlock(uint8_t type, QreBlockStorage* out);
// Discards input until the line is quiet (for at most kQreDrainLimitMs) and
// leaves the receive record idle.
void DrainQreInput();
inline constexpr uint32_t kQreDrainLimitMs = 2000;
// Count 0, frame length 48, 5 bytes to read, countdown stopped.
void ResetQreReceiver();

} // namespace tarvik
