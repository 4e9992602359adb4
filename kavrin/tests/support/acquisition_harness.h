#pragma once
// A started board at the level of the driver's own functions: the simulated
// board runs its operating image from the start, the extension is marked
// started with that image loaded, and request blocks are plain buffers.

#include "acquisition.h"
#include "kavrin_test_support.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace kavrintest {

inline sim::Fx2BoardConfig runningBoard(int generation = 1) {
    sim::Fx2BoardConfig config;
    config.generation = generation;
    config.running = sim::fx2ShippedImage(generation == 2 ? 5 : 2);
    return config;
}

struct StartedBoard : BoardHarness {
    explicit StartedBoard(sim::Fx2BoardConfig config = runningBoard()) : BoardHarness(config) {
        follow(true);
        const int generation = config.generation;
        device.updateIdentity([&](kavrin::BoardIdentity& identity) {
            identity.generation = static_cast<uint8_t>(generation);
            identity.currentImage = generation == 2 ? 5 : 2;
            identity.loadedFirmwareType = 1;
            identity.firmwareId = {identity.currentImage, 0x064, 204, 100};
        });
        device.state = kavrin::DeviceState::Started;
        device.firstInitialisation = false;
    }
    ~StartedBoard() { kavrin::StopContinuousAcquisition(device, true); }

    // Until the parser or reader handled n frames in all (a guard of real
    // time against a hung test, not a measurement).
    bool waitForFrames(uint64_t n) {
        kavrin::Acquisition& acq = device.acquisition;
        std::unique_lock lock(acq.lock);
        return acq.changed.wait_for(lock, std::chrono::seconds(30),
                                    [&] { return acq.framesHandled >= n; });
    }
};

// A request block with a data area of dataWords 16-bit words.
struct BlockBuffer {
    explicit BlockBuffer(uint32_t dataWords = 0)
        : bytes(KORAL_REQUEST_BLOCK_SIZE + 2 * static_cast<std::size_t>(dataWords), 0) {
        view().set<kavrin::rb::DataLength>(dataWords);
        view().set<kavrin::rb::DriverVersion>(kavrin::kDriverVersion);
    }
    kavrin::RequestBlock view() { return kavrin::RequestBlock(bytes); }
    template <class F> typename F::Type get() { return view().get<F>(); }
    template <class F> void set(typename F::Type v) { view().set<F>(v); }
    int32_t scan32(std::size_t i) {
        int32_t v = 0;
        std::memcpy(&v, bytes.data() + offsetof(DeviceRequestBlock, ScanData) + 4 * i, 4);
        return v;
    }
    uint16_t data16(std::size_t i) {
        return static_cast<uint16_t>(bytes[KORAL_REQUEST_BLOCK_DATA_OFFSET + 2 * i] |
                                     bytes[KORAL_REQUEST_BLOCK_DATA_OFFSET + 2 * i + 1] << 8);
    }
    std::vector<uint8_t> bytes;
};

// An INIT request: mode, acquisition mode, pixels (all kept), scans.
inline BlockBuffer initRequest(uint16_t mode, uint16_t acquisitionMode, uint16_t pixels,
                               uint16_t scans, int generation = 1) {
    BlockBuffer b;
    namespace rb = kavrin::rb;
    b.set<rb::SensorWorkMode>(mode);
    b.set<rb::AcquisitionMode>(acquisitionMode);
    b.set<rb::PixelCount>(pixels);
    b.set<rb::KeptPixelCount>(pixels);
    b.set<rb::NumScans>(scans);
    b.set<rb::PreCnts>(1);
    b.set<rb::HardwareWord>(static_cast<uint16_t>(generation << 12 | 0x064));
    return b;
}

// The board's requests of one code.
inline std::vector<sim::Fx2Board::Request> requestsOf(const sim::Fx2Board& board, uint8_t code) {
    std::vector<sim::Fx2Board::Request> found;
    for (const auto& r : board.requests()) {
        if (r.request == code) {
            found.push_back(r);
        }
    }
    return found;
}

} // namespace kavrintest
