#pragma once
// The sensor front end of a simulated board: synthetic spectra that follow
// the integration time, the averaging, the dark signal and the saturation of
// the front end, answered into IOCTL_BOARD_GET_SCANS as the board drivers
// answer it (single modes):
//   - AcquisitionMode 0: NumScans scans one after another, each pixel a
//     32-bit value x 100; 1: one result, the sum of NumScans scans x 100
//     divided by NumScans; both into ScanData, or into the data area with
//     RequestFlags 0x4; 2 (burst): NumScans scans of raw 16-bit words into the
//     data area; a burst takes NumScans x BurstBlocks scans (at least one
//     block). The values kept per scan are NumberPixel2 (or its long form)
//     of the block's NumberPixel pixels.
//   - interface type 8 (into ScanData): each result starts with the board's
//     dark reference, kept words of the dark signal alone, followed by one
//     copy of the scan per channel (MuxChanNum - 1 channels in MuxMode 2, at
//     least one).
//   - a data area too small for them (DataLength, or the bytes that came):
//     Status 154; ScanData too small: 158; no pixel to keep: 157; another
//     AcquisitionMode: 150.
//   - with RequestFlags 0x2, a saturated raw word inside the block's
//     saturation window gives WarningCode 199 (0x7FFF) or 198 (0x8000).
//   - the continuous modes (6, 7, 48..51, 0xFF20, 0xFF21): from the INIT of
//     such a mode the board takes a scan every 1/frame_rate s of the
//     platform clock into a ring of RingCapacity scans (at least 1; 1 in
//     modes 6 and 0xFF20). A full ring drops the new scan (mode 6, 0xFF20:
//     the stored one) and counts it lost. A read takes the oldest scan, as a
//     single scan of the block's parameters, with ScansInRing the scans held
//     before the read and ScansLost those lost since the last read (then
//     WarningCode 196); an empty ring makes the read wait for the next scan,
//     or answer Status 159 in modes 0xFF20 and 0xFF21. An INIT that changes
//     nothing the scans depend on keeps the ring; any other INIT empties it.
//
// A pixel's counts are dark + signal x integration time (ms) x the spectrum's
// shape (1 at the brightest pixel), limited to 0..full scale: 65535 for the
// unsigned front ends (types 2, 7, 9, 11, whose words carry counts - 32768),
// 32767 for the others. The integration time is AcqIntCnts microseconds with
// RequestFlags 0x20, else AcqIntCnts periods of the board's clock (4 MHz for
// interface type 1, 8 MHz otherwise) divided by PreCnts.
//
// Not synchronised: the board model uses it under its own lock.

#include "sim/setup.h"

#include "platform/clock.h"

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace sim {

inline constexpr uint16_t kStatusInvalidAcquisitionMode = 150;
inline constexpr uint16_t kStatusNoPixels = 157;
inline constexpr uint16_t kStatusScanDataTooSmall = 158;
inline constexpr uint16_t kStatusNoSpectra = 159; // an empty ring in modes 0xFF20, 0xFF21
inline constexpr uint16_t kWarningBoardError = 194;
inline constexpr uint16_t kWarningScansLost = 196;
inline constexpr uint16_t kWarningSaturatedLow = 198;  // a raw word 0x8000
inline constexpr uint16_t kWarningSaturatedHigh = 199; // a raw word 0x7FFF

class SensorModel {
public:
    explicit SensorModel(const BoardConfig& config);

    // --- the light and the front end
    uint16_t dark() const { return dark_; }
    void setDark(uint16_t counts) {
        dark_ = counts;
        shape_.valid = false;
    }
    double signal() const { return signal_; }
    void setSignal(double countsPerMs) {
        signal_ = countsPerMs;
        shape_.valid = false;
    }
    bool unsignedRange() const { return unsignedRange_; }
    double fullScale() const { return unsignedRange_ ? 65535.0 : 32767.0; }

    // Counts of pixel j of n after an integration of t µs, limited to full scale.
    double counts(uint32_t pixel, uint32_t pixels, double integrationUs) const;
    // The word the board delivers for them.
    int16_t rawWord(uint32_t pixel, uint32_t pixels, double integrationUs) const;
    // The words of a whole scan of n pixels after t µs. Kept until the pixel
    // count, the time, the dark or the signal change, so that a request costs
    // a copy rather than an exp() per pixel; valid until the next call.
    std::span<const int16_t> scanWords(uint32_t pixels, double integrationUs);
    // The integration time a block asks for, in µs.
    double integrationTimeUs(std::span<const uint8_t> block) const;

    // --- timing and faults
    // Every scan request takes latency, plus NumScans x the integration time
    // when followIntegration is set, on the platform clock (a virtual clock in
    // tests). Both off by default: answers come at once.
    void setLatency(platform::Duration latency, bool followIntegration);
    platform::Duration requestDuration(std::span<const uint8_t> block) const;
    // The next count answers carry the warning (194..199) besides their scans.
    void injectWarning(uint16_t warningCode, unsigned count = 1);

    // Answers a GET_SCANS block whose first inputLength bytes came with the
    // request (Status, WarningCode and the scans; the caller stamped the rest).
    void serveGetScans(std::span<uint8_t> block, uint32_t inputLength);

    // --- the continuous modes
    // Scans per second of the stream (0: none comes).
    void setFrameRate(double scansPerSecond) { frameRate_ = scansPerSecond; }
    // An INIT block: starts, keeps or stops the stream as described above.
    void initialise(std::span<const uint8_t> block, platform::TimePoint now);
    void stopStream() { ring_ = Ring{}; }
    bool streaming() const { return ring_.on; }
    // How long a read must wait before the ring holds a scan (zero when it
    // holds one or the read answers at once).
    platform::Duration ringWait(platform::TimePoint now);
    // Answers a GET_SCANS block from the ring.
    void serveRing(std::span<uint8_t> block, uint32_t inputLength, platform::TimePoint now);

private:
    uint16_t takeWarning();
    // Puts the scans taken since the last look into the ring.
    void takeScans(platform::TimePoint now);
    platform::Duration scanPeriod() const;

    // What the stream's scans depend on; an INIT that changes it restarts.
    struct StreamKey {
        uint16_t mode = 0;
        uint16_t capacity = 0;
        uint16_t numScans = 0;
        uint16_t preCnts = 0;
        uint16_t acqIntCnts = 0;
        uint32_t pixels = 0;
        uint32_t flags = 0;
        bool operator==(const StreamKey&) const = default;
    };
    struct Ring {
        bool on = false;
        StreamKey key;
        platform::TimePoint start{};
        uint64_t taken = 0; // scans of the stream put into the ring or lost
        uint32_t count = 0;
        uint32_t lost = 0;
    };

    struct Shape {
        bool valid = false;
        uint32_t pixels = 0;
        double integrationUs = 0.0;
        std::vector<int16_t> words;
    };

    int interfaceType_;
    bool unsignedRange_;
    uint16_t dark_;
    double signal_;
    platform::Duration latency_{0};
    bool followIntegration_ = false;
    std::deque<uint16_t> warnings_;
    double frameRate_;
    Ring ring_;
    Shape shape_;
};

} // namespace sim
