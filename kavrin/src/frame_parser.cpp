#include "frame_parser.h"

#include "board_status.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kavrin {

namespace {

constexpr uint16_t kRawSaturatedLow = 0x8000;
constexpr uint16_t kRawSaturatedHigh = 0x7FFF;
constexpr int64_t kResultScale = 100;

uint16_t read16(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint16_t v = 0;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

int32_t read32(const uint8_t* p) {
    uint32_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return static_cast<int32_t>(v);
}

void write32(uint8_t* p, int32_t value) {
    std::memcpy(p, &value, sizeof value);
}

void write16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

// The warning of the last saturated value of a scan inside the window, or
// found when there is none. Most scans have no saturated value at all: one
// plain pass tells, and only a scan with one is searched from its end.
uint16_t scanSaturation(const uint8_t* in, uint32_t kept, const FrameLayout& layout,
                        uint16_t found) {
    bool any = false;
    for (std::size_t j = 0; j < kept; ++j) {
        const uint16_t raw = read16(in + 2 * j);
        any |= (raw == kRawSaturatedLow) | (raw == kRawSaturatedHigh);
    }
    for (std::size_t j = kept; any && j-- > 0;) {
        const uint16_t raw = read16(in + 2 * j);
        if ((raw == kRawSaturatedLow || raw == kRawSaturatedHigh) &&
            InSaturationWindow(static_cast<uint32_t>(j), layout.saturationPeriod,
                               layout.saturationStart, layout.saturationEndMargin)) {
            return raw == kRawSaturatedLow ? kBoardWarningSaturationLow
                                           : kBoardWarningSaturationHigh;
        }
    }
    return found;
}

bool isSaturationWarning(uint16_t code) {
    return code == kBoardWarningSaturationLow || code == kBoardWarningSaturationHigh;
}

} // namespace

uint64_t FrameLayout::wireScans() const {
    const uint64_t scans = std::max<uint32_t>(numScans, 1);
    return differential ? scans * 2 : scans;
}

uint64_t FrameLayout::frameSize() const {
    return (static_cast<uint64_t>(pixelCount) + 2) * 2 * wireScans();
}

bool InSaturationWindow(uint32_t pixel, uint16_t period, uint8_t start, uint8_t endMargin) {
    const int64_t k = period == 0 ? pixel : pixel % period;
    return k >= start && static_cast<int64_t>(period) - k >= endMargin;
}

ParseResult ParseFrame(std::span<uint8_t> destination, std::span<const uint8_t> frame,
                       uint32_t flags, const FrameLayout& layout) {
    ParseResult result;
    const bool wide = (flags & kParse32Bit) != 0;
    const std::size_t valueSize = wide ? 4 : 2;
    const uint32_t kept = std::min(layout.keptPixelCount, layout.pixelCount);
    const std::size_t resultBytes = static_cast<std::size_t>(kept) * valueSize;
    const bool accumulate = (flags & kParseAverage) != 0 || layout.differential;
    const uint64_t scans = std::max<uint32_t>(layout.numScans, 1);
    const uint64_t wireScans = layout.wireScans();
    const std::size_t scanBytes = (static_cast<std::size_t>(layout.pixelCount) + 2) * 2;

    if (resultBytes > destination.size()) {
        result.error = kBoardStatusOverflow;
        return result;
    }
    std::fill_n(destination.begin(), resultBytes, uint8_t{0});

    // Single results in 32 bits are written finished; the others are sums
    // scaled (and divided) at the end.
    const bool direct = wide && !accumulate;
    uint64_t written = 0;
    std::size_t offset = 0;
    for (uint64_t scan = 0; scan < wireScans; ++scan) {
        if (frame.size() - offset < scanBytes) {
            result.error = kBoardStatusOverflow; // the frame ends inside this scan
            break;
        }
        // Where this scan's values go: the one result, or the next one.
        const uint64_t slot = accumulate ? 0 : scan;
        if ((slot + 1) * resultBytes > destination.size()) {
            result.error = kBoardStatusOverflow;
            break;
        }
        uint8_t* out = destination.data() + slot * resultBytes;
        if (!accumulate && !direct && slot > 0) {
            std::fill_n(out, resultBytes, uint8_t{0});
        }
        const uint8_t* in = frame.data() + offset + kScanSkipBytes;
        const bool subtract = layout.differential && scan % 2 == 0;
        if (layout.saturationCheck) {
            result.saturation = scanSaturation(in, kept, layout, result.saturation);
        }
        if (direct) {
            // Nothing to add to: the result is the value x 100 at once.
            for (std::size_t j = 0; j < kept; ++j) {
                const int64_t value = static_cast<int16_t>(read16(in + 2 * j));
                write32(out + 4 * j, static_cast<int32_t>(value * kResultScale));
            }
            written = slot + 1;
        } else if (wide) {
            for (std::size_t j = 0; j < kept; ++j) {
                const int32_t value = static_cast<int16_t>(read16(in + 2 * j));
                const uint32_t sum = static_cast<uint32_t>(read32(out + 4 * j)) +
                                     static_cast<uint32_t>(subtract ? -value : value);
                write32(out + 4 * j, static_cast<int32_t>(sum));
            }
        } else {
            for (std::size_t j = 0; j < kept; ++j) {
                const uint16_t raw = read16(in + 2 * j);
                const uint16_t sum =
                    static_cast<uint16_t>(read16(out + 2 * j) + (subtract ? -raw : raw));
                write16(out + 2 * j, sum);
            }
        }
        const std::size_t end = offset + scanBytes;
        if (frame[end - 2] != kTerminator0 || frame[end - 1] != kTerminator1) {
            result.error = kBoardStatusBadTerminator;
            break;
        }
        offset = end;
    }

    if (wide) {
        // The sums of every result written become x 100 (and the mean).
        const uint64_t results = accumulate ? 1 : wireScans;
        const int64_t divisor = (flags & kParseAverage) != 0 ? static_cast<int64_t>(scans) : 1;
        for (uint64_t r = written; r < results && (r + 1) * resultBytes <= destination.size();
             ++r) {
            uint8_t* out = destination.data() + r * resultBytes;
            for (std::size_t j = 0; j < kept; ++j) {
                const int64_t value = static_cast<int64_t>(read32(out + 4 * j)) * kResultScale;
                // A division per value costs more than the rest of a scan.
                write32(out + 4 * j, static_cast<int32_t>(divisor == 1 ? value : value / divisor));
            }
        }
    }
    return result;
}

void ReportParse(const ParseResult& result, uint16_t& warning, uint16_t& status) {
    if (isSaturationWarning(warning)) {
        warning = 0;
    }
    if (warning == 0) {
        warning = result.saturation;
    }
    if (result.error != 0) {
        status = result.error;
    }
}

} // namespace kavrin
