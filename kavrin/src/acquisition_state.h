#pragma once
// What a board's acquisition keeps between commands: the INIT block last
// sent, what the last IOCTL_BOARD_INIT recorded, the scan ring, the scan
// reader and frame parser of the continuous modes, and the pending scan
// request.

#include "frame_parser.h"

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/event.h"
#include "platform/thread.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kavrin {

inline constexpr std::size_t kInitBlockSize = 36;

// The block the board's firmware takes with VR_INIT (little-endian).
struct INIT_PARAMETER_BLOCK {
    static constexpr std::size_t Version = 0;
    static constexpr std::size_t OpMode = 2;
    static constexpr std::size_t PreCnts = 4;
    static constexpr std::size_t AcqIntCnts = 6;
    static constexpr std::size_t DelIntCnts = 8;
    static constexpr std::size_t NumScans = 10;
    static constexpr std::size_t FlashHW = 12;
    static constexpr std::size_t FlashOpt = 13;
    static constexpr std::size_t MuxMode = 14;
    static constexpr std::size_t MuxChanNum = 16;
    static constexpr std::size_t MuxSpec = 18;
    static constexpr std::size_t InpSrcFlags = 20;
    static constexpr std::size_t Flags = 21;
    static constexpr std::size_t Numberpixel = 22;
    static constexpr std::size_t TOTime = 24;
    static constexpr std::size_t TOTimeExtTrig = 28;
    static constexpr std::size_t FEEType = 32;
    static constexpr std::size_t SensorType = 33;
    static constexpr std::size_t ETDelay = 34;

    std::array<uint8_t, kInitBlockSize> bytes{};

    uint8_t get8(std::size_t offset) const { return bytes[offset]; }
    uint16_t get16(std::size_t offset) const {
        return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
    }
    uint32_t get32(std::size_t offset) const {
        return static_cast<uint32_t>(get16(offset)) | static_cast<uint32_t>(get16(offset + 2))
                                                          << 16;
    }
    void set8(std::size_t offset, uint8_t value) { bytes[offset] = value; }
    void set16(std::size_t offset, uint16_t value) {
        bytes[offset] = static_cast<uint8_t>(value);
        bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
    }
    void set32(std::size_t offset, uint32_t value) {
        set16(offset, static_cast<uint16_t>(value));
        set16(offset + 2, static_cast<uint16_t>(value >> 16));
    }
    bool operator==(const INIT_PARAMETER_BLOCK&) const = default;
};
static_assert(INIT_PARAMETER_BLOCK::ETDelay + 2 == kInitBlockSize);

// Scans kept for the continuous modes; changed only under its lock.
struct SCAN_RING_BUFFER {
    uint32_t capacity = 0;  // scans
    uint32_t scanBytes = 0; // kept pixel count x 4
    std::vector<uint8_t> scans;
    std::vector<uint16_t> status; // the warning pending when each scan was stored
    uint32_t writeIndex = 0;
    uint32_t readIndex = 0;
    uint32_t count = 0;
    uint32_t lost = 0;
    bool lossMarked = false;
    uint16_t pendingWarning = 0;
    uint16_t pendingError = 0;

    void resetIndexes() {
        writeIndex = readIndex = count = lost = 0;
        lossMarked = false;
        pendingWarning = pendingError = 0;
    }
};

// What the last IOCTL_BOARD_INIT recorded.
struct AcquisitionSettings {
    bool initialised = false; // an IOCTL_BOARD_INIT got this far since start
    uint32_t requestFlags = 0;
    uint8_t muxSpec = 0;
    uint16_t sensorWorkMode = 0;
    uint16_t acquisitionMode = 0;
    uint32_t ringCapacity = 1;
    FrameLayout layout;
    uint64_t frameSize = 0;
    uint32_t scanReadTimeoutMs = 0;   // factor 1, for the continuous reader
    uint32_t singleReadTimeoutMs = 0; // with the single-mode factor
    uint64_t scanExposureUs = 0;      // one scan's integration, as the board times it
};

// What the scan pipe may still bring that no request will read: the rest of
// a single-mode frame whose read did not end whole (the board sends it all
// the same, scan by scan as it takes them or at once at the end), or frames
// of a stream that stopped. Emptied before the next start-scan, so that a
// request reads only the frame it asked for.
struct ScanPipeResidue {
    bool pending = false;
    uint64_t bytes = 0;            // of cut frames still to come
    platform::TimePoint nextDue{}; // the next of their scans is due by then
    platform::TimePoint lastDue{}; // the last of them is due by then
    uint64_t scanExposureUs = 0;   // between two of their scans
};

// The parse flags value that tells the parser to end.
inline constexpr uint32_t kParseEnd = 0xFF;

// Frame buffers of the continuous reader: every one not with the parser has
// a read posted, so that the board's frames find one while the reader hands
// the last on or the parser is held up (its state request), for as long as
// the buffers last. Fewer for big frames, never fewer than two: the reads a
// board keeps posted are the host's USB buffer memory, which a machine has
// one budget of for every device (16 MiB by default on Linux), so each board
// keeps about kReaderBufferBytes of them.
inline constexpr std::size_t kFrameBuffers = 64;
inline constexpr std::size_t kReaderBufferBytes = std::size_t{1} << 20;

struct Acquisition {
    // INIT block state.
    INIT_PARAMETER_BLOCK lastSent;
    bool sentSinceStart = false; // cleared by IOCTL_BOARD_DEINIT, at start and by a cut frame
    AcquisitionSettings settings;

    // Ring, hand-over and pending scan request: one lock.
    std::mutex lock;
    SCAN_RING_BUFFER ring;
    platform::IoRequestPtr pendingScan;
    ScanPipeResidue residue;
    uint32_t parseFlags = 0;
    // Frames handed to the parser, oldest first (indexes into frames); a
    // buffer stays with the parser from its hand-over until it is parsed.
    std::array<std::size_t, kFrameBuffers> handed{};
    std::size_t handedCount = 0;
    std::array<bool, kFrameBuffers> withParser{};
    uint64_t framesHandled = 0;           // parsed, dropped or failed reads, for observers
    std::condition_variable changed;      // framesHandled moved, or a request completed
    std::atomic<bool> pendingFlag{false}; // a scan request pends (dispatch's quick check)

    // The threads of the continuous modes.
    platform::Thread reader;
    platform::Thread parser;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequest{false};
    std::atomic<bool> stopAsked{false}; // by StopContinuousAcquisition, not the reader itself
    platform::Event frameReady{platform::ResetMode::Auto};
    std::array<std::vector<uint8_t>, kFrameBuffers> frames;
    std::size_t frameCount = 0; // buffers of this run, at least two
    std::vector<uint8_t> parseBuffer;
};

} // namespace kavrin
