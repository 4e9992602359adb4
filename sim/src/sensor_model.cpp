// The sensor front end of a simulated board.

#include "sim/sensor_model.h"

#include "block_access.h"
#include "sim/board_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sim {
namespace {

bool continuousMode(uint16_t mode) {
    return mode == 6 || mode == 7 || (mode >= 48 && mode <= 51) || mode == 0xFF20 || mode == 0xFF21;
}

// Modes whose ring holds the newest scan only.
bool newestOnly(uint16_t mode) {
    return mode == 6 || mode == 0xFF20;
}

constexpr std::size_t kDataOffset = KORAL_REQUEST_BLOCK_DATA_OFFSET;
constexpr std::size_t kScanDataOffset = offsetof(DeviceRequestBlock, ScanData);
constexpr uint32_t kFlagSaturation = 0x2;
constexpr uint32_t kFlagDataArea = 0x4;
constexpr uint32_t kFlagMicroseconds = 0x20;
constexpr int16_t kRawHigh = 0x7FFF;
constexpr int16_t kRawLow = -0x8000;

bool isUnsignedFrontEnd(uint16_t type) {
    return type == 2 || type == 7 || type == 9 || type == 11;
}

uint32_t pixelCountOf(std::span<const uint8_t> block) {
    const uint16_t n = SIM_GET(block, NumberPixel);
    return n == 0xFFFF ? SIM_GET(block, NumberPixelLong) : n;
}

uint32_t keptPixelsOf(std::span<const uint8_t> block, uint32_t pixels) {
    const uint16_t n = SIM_GET(block, NumberPixel2);
    const uint32_t kept = n == 0xFFFF ? SIM_GET(block, NumberPixel2Long) : n;
    return kept == 0 ? pixels : std::min(kept, pixels);
}

// The saturation window of the block, as the drivers test it.
bool inSaturationWindow(std::span<const uint8_t> block, uint32_t pixel) {
    const int32_t period = SIM_GET(block, SaturationPeriod);
    const int32_t start = SIM_GET(block, SaturationStart);
    const int32_t margin = SIM_GET(block, SaturationEndMargin);
    const int32_t k = period == 0 ? static_cast<int32_t>(pixel)
                                  : static_cast<int32_t>(pixel % static_cast<uint32_t>(period));
    return k >= start && period - k >= margin;
}

// Channels a type-8 board delivers: those of the multi-channel mode but the
// count's last (MuxChanNum n gives n - 1), else one.
std::size_t channelsOf(std::span<const uint8_t> block) {
    constexpr uint16_t kMuxModeMulti = 2;
    const uint16_t n = SIM_GET(block, MuxChanNum);
    return SIM_GET(block, MuxMode) == kMuxModeMulti && n > 2 ? std::size_t{n} - 1u : 1u;
}

// Bytes of the data area that the request brought and DataLength promises.
std::size_t dataAreaBytes(std::span<const uint8_t> block, uint32_t inputLength) {
    const std::size_t came = std::min<std::size_t>(inputLength, block.size());
    const std::size_t present = came > kDataOffset ? came - kDataOffset : 0;
    return std::min<std::size_t>(present, std::size_t{SIM_GET(block, DataLength)} * 2);
}

} // namespace

SensorModel::SensorModel(const BoardConfig& config)
    : interfaceType_(config.interfaceType), unsignedRange_(isUnsignedFrontEnd(config.frontEndType)),
      dark_(config.dark), signal_(config.signal), frameRate_(config.frameRate) {}

double SensorModel::counts(uint32_t pixel, uint32_t pixels, double integrationUs) const {
    // One broad line in the middle of the sensor.
    const double centre = pixels / 2.0;
    const double width = std::max(pixels / 8.0, 1.0);
    const double x = (pixel - centre) / width;
    const double light = signal_ * integrationUs / 1000.0 * std::exp(-x * x);
    return std::clamp(std::round(dark_ + light), 0.0, fullScale());
}

int16_t SensorModel::rawWord(uint32_t pixel, uint32_t pixels, double integrationUs) const {
    const auto c = static_cast<int32_t>(counts(pixel, pixels, integrationUs));
    return static_cast<int16_t>(unsignedRange_ ? c - 32768 : c);
}

std::span<const int16_t> SensorModel::scanWords(uint32_t pixels, double integrationUs) {
    if (!shape_.valid || shape_.pixels != pixels || shape_.integrationUs != integrationUs) {
        shape_.words.resize(pixels);
        for (uint32_t j = 0; j < pixels; ++j) {
            shape_.words[j] = rawWord(j, pixels, integrationUs);
        }
        shape_.pixels = pixels;
        shape_.integrationUs = integrationUs;
        shape_.valid = true;
    }
    return shape_.words;
}

double SensorModel::integrationTimeUs(std::span<const uint8_t> block) const {
    const double cnts = SIM_GET(block, AcqIntCnts);
    if ((SIM_GET(block, RequestFlags) & kFlagMicroseconds) != 0) {
        return cnts;
    }
    const uint16_t pre = SIM_GET(block, PreCnts);
    const double clock = interfaceType_ == 1 ? 4000000.0 : 8000000.0;
    const double rate = pre == 0 ? 0.0 : std::trunc(clock / pre);
    return rate == 0.0 ? 0.0 : cnts / rate * 1e6;
}

void SensorModel::setLatency(platform::Duration latency, bool followIntegration) {
    latency_ = std::max(latency, platform::Duration::zero());
    followIntegration_ = followIntegration;
}

platform::Duration SensorModel::requestDuration(std::span<const uint8_t> block) const {
    platform::Duration d = latency_;
    if (followIntegration_) {
        const double us =
            integrationTimeUs(block) * std::max<uint16_t>(SIM_GET(block, NumScans), 1);
        d += std::chrono::duration_cast<platform::Duration>(
            std::chrono::duration<double, std::micro>(us));
    }
    return d;
}

void SensorModel::injectWarning(uint16_t warningCode, unsigned count) {
    warnings_.insert(warnings_.end(), count, warningCode);
}

uint16_t SensorModel::takeWarning() {
    if (warnings_.empty()) {
        return 0;
    }
    const uint16_t w = warnings_.front();
    warnings_.pop_front();
    return w;
}

void SensorModel::serveGetScans(std::span<uint8_t> block, uint32_t inputLength) {
    SIM_PUT(block, Status, 0);
    SIM_PUT(block, WarningCode, 0);
    const uint16_t mode = SIM_GET(block, AcquisitionMode);
    const uint32_t flags = SIM_GET(block, RequestFlags);
    const uint32_t scans = std::max<uint16_t>(SIM_GET(block, NumScans), 1);
    const uint32_t pixels = pixelCountOf(block);
    const uint32_t kept = keptPixelsOf(block, pixels);
    if (mode > 2) {
        SIM_PUT(block, Status, kStatusInvalidAcquisitionMode);
        return;
    }
    if (kept == 0) {
        SIM_PUT(block, Status, kStatusNoPixels);
        return;
    }
    const bool burst = mode == 2;
    const bool toDataArea = burst || (flags & kFlagDataArea) != 0;
    const std::size_t blocks = burst ? std::max<uint16_t>(SIM_GET(block, BurstBlocks), 1) : 1;
    // A type-8 board's scan in ScanData starts with its dark reference words,
    // then one run of words per channel of the multi-channel mode.
    const bool darkReference = interfaceType_ == 8 && !toDataArea;
    const std::size_t runs = darkReference ? 1 + channelsOf(block) : 1;
    const std::size_t frame = std::size_t{kept} * runs;
    const std::size_t results = mode == 1 ? frame : frame * scans * blocks;
    const std::size_t bytes = results * (burst ? 2 : 4);
    const std::size_t capacity =
        toDataArea ? dataAreaBytes(block, inputLength) : KORAL_SCAN_DATA_PIXELS * 4;
    if (bytes > capacity) {
        SIM_PUT(block, Status, toDataArea ? kStatusBufferTooSmall : kStatusScanDataTooSmall);
        return;
    }
    const std::span<const int16_t> scan = scanWords(pixels, integrationTimeUs(block)).first(kept);
    uint16_t saturation = 0;
    if ((flags & kFlagSaturation) != 0) {
        for (uint32_t j = 0; j < kept; ++j) {
            if (inSaturationWindow(block, j)) {
                if (scan[j] == kRawHigh) {
                    saturation = kWarningSaturatedHigh;
                } else if (scan[j] == kRawLow) {
                    saturation = kWarningSaturatedLow;
                }
            }
        }
    }
    const std::vector<int16_t> dark(darkReference ? kept : 0, rawWord(0, pixels, 0.0));
    // Every scan of a request sees the same light: the scans repeat.
    uint8_t* destination = block.data() + (toDataArea ? kDataOffset : kScanDataOffset);
    for (std::size_t r = 0; r < results; r += kept) {
        if (burst) {
            std::memcpy(destination + r * 2, scan.data(), std::size_t{kept} * 2);
        } else {
            const std::span<const int16_t> words =
                darkReference && (r / kept) % runs == 0 ? std::span<const int16_t>(dark) : scan;
            // The sum of identical scans divided by their number: the scan
            // itself, without the 32-bit overflow of a long sum.
            for (uint32_t j = 0; j < kept; ++j) {
                const int32_t value = int32_t{words[j]} * 100;
                std::memcpy(destination + (r + j) * 4, &value, 4);
            }
        }
    }
    const uint16_t warning = takeWarning();
    SIM_PUT(block, WarningCode, warning != 0 ? warning : saturation);
}

// --- the continuous modes

platform::Duration SensorModel::scanPeriod() const {
    if (!(frameRate_ > 0.0)) {
        return platform::Duration::max();
    }
    const auto period = std::chrono::duration_cast<platform::Duration>(
        std::chrono::duration<double>(1.0 / frameRate_));
    return std::max(period, platform::Duration(1));
}

void SensorModel::initialise(std::span<const uint8_t> block, platform::TimePoint now) {
    StreamKey key;
    key.mode = SIM_GET(block, WorkMode);
    if (!continuousMode(key.mode)) {
        stopStream();
        return;
    }
    const auto capacity = static_cast<int16_t>(SIM_GET(block, RingCapacity));
    key.capacity = newestOnly(key.mode) ? 1 : static_cast<uint16_t>(std::max<int16_t>(capacity, 1));
    key.numScans = SIM_GET(block, NumScans);
    key.preCnts = SIM_GET(block, PreCnts);
    key.acqIntCnts = SIM_GET(block, AcqIntCnts);
    key.pixels = pixelCountOf(block);
    key.flags = SIM_GET(block, RequestFlags);
    if (ring_.on && ring_.key == key) {
        return;
    }
    ring_ = Ring{};
    ring_.on = true;
    ring_.key = key;
    ring_.start = now;
}

void SensorModel::takeScans(platform::TimePoint now) {
    const platform::Duration period = scanPeriod();
    if (!ring_.on || period == platform::Duration::max() || now <= ring_.start) {
        return;
    }
    const auto produced = static_cast<uint64_t>((now - ring_.start) / period);
    if (produced <= ring_.taken) {
        return;
    }
    const uint64_t fresh = produced - ring_.taken;
    ring_.taken = produced;
    const auto addLost = [this](uint64_t n) {
        ring_.lost = static_cast<uint32_t>(std::min<uint64_t>(ring_.lost + n, UINT32_MAX));
    };
    if (newestOnly(ring_.key.mode)) {
        // Each new scan replaces the one the ring held.
        addLost(ring_.count + fresh - 1);
        ring_.count = 1;
        return;
    }
    const uint64_t stored = std::min<uint64_t>(fresh, ring_.key.capacity - ring_.count);
    ring_.count += static_cast<uint32_t>(stored);
    addLost(fresh - stored);
}

platform::Duration SensorModel::ringWait(platform::TimePoint now) {
    takeScans(now);
    const platform::Duration period = scanPeriod();
    if (!ring_.on || ring_.count > 0 || ring_.key.mode == 0xFF20 || ring_.key.mode == 0xFF21 ||
        period == platform::Duration::max()) {
        return platform::Duration::zero();
    }
    const platform::TimePoint next =
        ring_.start + period * static_cast<platform::Duration::rep>(ring_.taken + 1);
    return std::max(next - now, platform::Duration::zero());
}

void SensorModel::serveRing(std::span<uint8_t> block, uint32_t inputLength,
                            platform::TimePoint now) {
    takeScans(now);
    if (ring_.count == 0) {
        SIM_PUT(block, Status, kStatusNoSpectra);
        SIM_PUT(block, WarningCode, 0);
        return;
    }
    serveGetScans(block, inputLength);
    if (SIM_GET(block, Status) != 0) {
        return; // the scan stays in the ring
    }
    SIM_PUT(block, ScansInRing, static_cast<uint16_t>(std::min<uint32_t>(ring_.count, 0xFFFF)));
    SIM_PUT(block, ScansLost, static_cast<uint16_t>(std::min<uint32_t>(ring_.lost, 0xFFFF)));
    if (ring_.lost != 0) {
        SIM_PUT(block, WarningCode, kWarningScansLost);
        ring_.lost = 0;
    }
    --ring_.count;
}

} // namespace sim
