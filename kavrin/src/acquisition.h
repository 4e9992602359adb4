#pragma once
// The acquisition commands: IOCTL_BOARD_INIT with its INIT_PARAMETER_BLOCK
// and mode translation, IOCTL_BOARD_DEINIT, IOCTL_BOARD_GET_SCANS in the
// single and continuous modes, the scan ring, and the stop of the reader and
// parser threads.

#include "device_extension.h"
#include "request_block.h"

#include <cstdint>
#include <optional>

namespace kavrin {

// What the sensor work mode becomes for the firmware.
struct ModeTranslation {
    uint16_t opMode = 3;
    bool refused = false;    // Status 150
    bool notInTable = false; // no firmware type
};
ModeTranslation TranslateMode(uint16_t sensorWorkMode, uint16_t acquisitionMode, int generation);

bool IsContinuousMode(uint16_t sensorWorkMode);
bool IsExternalTriggerMode(uint16_t sensorWorkMode);

// Scan-read time-out in ms: factor x (AcqIntCnts x PreCnts / 8000 x
// ((0x10000 / pixels) / 2 + 1) + pixels / 100 + 100) x 2, plus TOTimeExtTrig
// + 20 in the external-trigger modes. Computed in 64 bits and held below the
// platform's "no time-out" value; pixels must not be 0.
uint32_t ScanReadTimeoutMs(uint32_t factor, uint16_t acqIntCnts, uint16_t preCnts, uint32_t pixels,
                           uint16_t sensorWorkMode, uint32_t toTimeExtTrig);

// The pixel counts a block asks for (the 32-bit forms behind 0xFFFF), times
// MuxSpec with MuxMode 2.
struct PixelCounts {
    uint64_t pixels = 0;
    uint64_t kept = 0;
};
PixelCounts RequestedPixelCounts(const RequestBlock& block);

struct BuildResult {
    bool ok = false;
    bool intervalCountsChanged = false;
    bool notInTable = false;
};
// Fills block (a copy of the block last sent) from the request block.
BuildResult BuildInitParameterBlock(RequestBlock& request, INIT_PARAMETER_BLOCK& block,
                                    uint32_t pixelCount);

void HandleInit(DEVICE_EXTENSION& device, RequestBlock& block);
void HandleDeinit(DEVICE_EXTENSION& device, RequestBlock& block);

// Single modes answer at once. Continuous modes answer at once or, with an
// empty ring, keep the request pending (true): it is then remembered with a
// cancel routine and completed by the parser, the reader or a stop, which
// release a remove-lock hold the caller took for it. Without a request
// (null) an empty ring answers nothing and gives true.
bool HandleGetScans(DEVICE_EXTENSION& device, RequestBlock& block,
                    const platform::IoRequestPtr& request);

// Sets up the ring and starts the reader and the parser (each must signal
// its start within 100 ms); false with Status 157 or 150.
bool StartContinuousAcquisition(DEVICE_EXTENSION& device, RequestBlock& block);

// Ends the reader and parser (joined before it returns). completePending:
// a pending scan request is completed with Status 155.
void StopContinuousAcquisition(DEVICE_EXTENSION& device, bool completePending);

// --- the ring (callers hold Acquisition::lock)
// (Re)allocates for capacity x kept scans; false: no memory or no pixel.
bool SetUpScanRingBuffer(SCAN_RING_BUFFER& ring, uint32_t capacity, uint64_t keptPixels);
void StoreScanInRing(SCAN_RING_BUFFER& ring, uint16_t sensorWorkMode,
                     std::span<const uint8_t> scan);
// Into the block's ScanData, or its data area with RequestFlags 0x4; false
// when the destination is too small (Status 158, the scan stays).
bool CopyScansFromRing(SCAN_RING_BUFFER& ring, RequestBlock& block, uint32_t requestFlags,
                       uint16_t& scanStatus);

} // namespace kavrin
