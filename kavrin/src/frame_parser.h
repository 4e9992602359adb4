#pragma once
// Scan frames as the board sends them after VR_GS: each scan is two bytes
// that carry nothing for us, one 16-bit little-endian value per pixel and
// the terminator 0xFF 0x00. ParseFrame turns a frame into results; it reads
// only the bytes it is given and writes only into the destination it is
// given, whatever the counts say.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kavrin {

// ParseFrame flag bits.
inline constexpr uint32_t kParseAverage = 0x1; // sum every scan into one result and divide
inline constexpr uint32_t kParseBurst = 0x2;   // 16-bit values, one scan after another
inline constexpr uint32_t kParse32Bit = 0x4;   // signed 32-bit sums, x 100
inline constexpr uint32_t kParseToState = 0x8; // report into the acquisition state

inline constexpr uint8_t kTerminator0 = 0xFF;
inline constexpr uint8_t kTerminator1 = 0x00;
inline constexpr std::size_t kScanSkipBytes = 2;

// What the last IOCTL_BOARD_INIT recorded about the frames.
struct FrameLayout {
    uint32_t pixelCount = 0;     // values per scan on the wire
    uint32_t keptPixelCount = 0; // the first values of each scan that are kept
    uint32_t numScans = 1;       // scans (pairs when differential) per frame; 0 counts as 1
    bool differential = false;   // scans come in pairs: second minus first
    bool saturationCheck = false;
    uint16_t saturationPeriod = 0;
    uint8_t saturationStart = 0;
    uint8_t saturationEndMargin = 0;

    // Scans on the wire per frame.
    uint64_t wireScans() const;
    // Bytes of one frame; 64 bits, so that no count overflows it.
    uint64_t frameSize() const;
};

struct ParseResult {
    uint16_t error = 0;      // 0, 105 (terminator) or 158 (short frame, small destination)
    uint16_t saturation = 0; // 0, 198 or 199 (the last one found)
    bool ok() const { return error == 0; }
};

// Parses a frame into destination (bytes). 32-bit results are little-endian
// int32 values, 16-bit ones uint16 values.
ParseResult ParseFrame(std::span<uint8_t> destination, std::span<const uint8_t> frame,
                       uint32_t flags, const FrameLayout& layout);

// The report of a parse into a warning and a status (the request block's, or
// the acquisition state's pending ones): a saturation warning there already
// is cleared, then an empty warning takes the parse's saturation code; a
// nonzero error replaces the status.
void ReportParse(const ParseResult& result, uint16_t& warning, uint16_t& status);

// Whether pixel j of a scan lies in the saturation window.
bool InSaturationWindow(uint32_t pixel, uint16_t period, uint8_t start, uint8_t endMargin);

} // namespace kavrin
