// The FX2 board sends the scans of a burst at its frame rate, one after the
// other on the platform clock.

#include "sim/fx2_board.h"

#include "platform/clock.h"
#include "platform/usb.h"
#include "platform/usb_sim.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

namespace usb = platform::usb;

constexpr uint16_t kPixels = 4;
constexpr size_t kScanBytes = (kPixels + 2) * 2;

class Fx2BurstTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Fx2BoardConfig config;
        config.running = sim::fx2ShippedImage(2);
        config.frameRate = 1000; // a scan every millisecond
        board = std::make_shared<sim::Fx2Board>(config);
        port = sim::Fx2Board::plug(board);
        ASSERT_TRUE(port);
        ASSERT_EQ(port->hostDevice()->selectConfiguration(1), 0);
        board->setScanPattern([](uint64_t scan, uint32_t pixel) {
            return static_cast<uint16_t>(100 * scan + pixel);
        });
    }
    void TearDown() override { port->unplug(); }

    void request(uint8_t code, std::vector<uint8_t> data = {}) {
        const usb::SimReply reply =
            board->handleControl(*port, usb::ControlSetup::vendorOut(code, 0, 0), data,
                                 static_cast<uint16_t>(data.size()));
        ASSERT_EQ(reply.status, 0);
    }
    // A single-mode INIT (OP-Mode 3) for bursts of n scans.
    void init(uint16_t scans) {
        std::vector<uint8_t> block(sim::kFx2InitBlockSize, 0);
        block[2] = 3;
        block[10] = static_cast<uint8_t>(scans);
        block[22] = kPixels;
        request(sim::kFx2RequestInit, block);
    }
    // Until the pipe holds n scans (a guard of real time, not a measurement).
    bool queued(size_t scans) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (port->queuedIn(sim::kFx2ScanPipe) < scans * kScanBytes) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::yield();
        }
        return port->queuedIn(sim::kFx2ScanPipe) == scans * kScanBytes;
    }

    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    std::shared_ptr<sim::Fx2Board> board;
    std::shared_ptr<usb::SimPort> port;
};

TEST_F(Fx2BurstTest, ScansOfABurstLeaveAtTheFrameRateInOrder) {
    init(3);
    request(sim::kFx2RequestGetScans);
    ASSERT_TRUE(queued(1)) << "the first scan at once";
    EXPECT_EQ(board->framesSent(), 0u) << "the frame is not whole yet";
    clock.advance(std::chrono::microseconds(999));
    EXPECT_TRUE(queued(1));
    clock.advance(std::chrono::microseconds(1));
    ASSERT_TRUE(queued(2));
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(queued(3));
    std::vector<uint8_t> frame(3 * kScanBytes);
    size_t have = 0;
    while (have < frame.size()) {
        const usb::TransferResult read = port->hostDevice()->readPipe(
            sim::kFx2ScanPipe, std::span<uint8_t>(frame).subspan(have), 100);
        ASSERT_TRUE(read.ok());
        have += read.length;
    }
    for (size_t s = 0; s < 3; ++s) {
        const uint8_t* scan = frame.data() + s * kScanBytes;
        EXPECT_EQ(scan[0], s) << "counter";
        EXPECT_EQ(scan[2] | scan[3] << 8, 100 * s) << "first pixel of scan " << s;
        EXPECT_EQ(scan[kScanBytes - 2], 0xFF);
        EXPECT_EQ(scan[kScanBytes - 1], 0x00);
    }
    EXPECT_EQ(board->framesSent(), 1u);
}

} // namespace
