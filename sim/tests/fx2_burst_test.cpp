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

namespace {

// A streaming board on a bus with a rate: what the host leaves in the board's
// buffer makes room for no more, and the board loses the scans that find it
// full, reporting them as its buffer's overrun.
class Fx2BufferTest : public ::testing::TestWithParam<bool> {
protected:
    static constexpr uint16_t kPixels = 1022; // a scan of 2,048 bytes: the whole buffer
    static constexpr size_t kScanBytes = (kPixels + 2) * 2;

    void SetUp() override {
        sim::Fx2BoardConfig config;
        config.running = sim::fx2ShippedImage(2);
        config.frameRate = 1000;
        // A rate at which the bus's own time is negligible: only the host's
        // reading decides.
        config.busBytesPerSecond = GetParam() ? 1e12 : 0;
        board = std::make_shared<sim::Fx2Board>(config);
        port = sim::Fx2Board::plug(board);
        ASSERT_TRUE(port);
        ASSERT_EQ(port->hostDevice()->selectConfiguration(1), 0);
    }
    void TearDown() override { port->unplug(); }

    uint16_t request(uint8_t code, std::vector<uint8_t> data = {}) {
        const bool in = code == sim::kFx2RequestGetError;
        const auto setup = in ? usb::ControlSetup::vendorIn(code, 0, 0)
                              : usb::ControlSetup::vendorOut(code, 0, 0);
        const usb::SimReply reply =
            board->handleControl(*port, setup, data, static_cast<uint16_t>(in ? 12 : data.size()));
        EXPECT_EQ(reply.status, 0);
        return reply.data.size() >= 2 ? static_cast<uint16_t>(reply.data[0] | reply.data[1] << 8)
                                      : 0;
    }
    // Until the board dealt with n frames (a guard of real time).
    bool dealt(size_t n) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (board->framesSent() + board->scansDropped() < n) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    // Continuous mode, one scan a frame.
    void stream() {
        std::vector<uint8_t> block(sim::kFx2InitBlockSize, 0);
        block[2] = 7;
        block[10] = 1;
        block[22] = static_cast<uint8_t>(kPixels);
        block[23] = static_cast<uint8_t>(kPixels >> 8);
        request(sim::kFx2RequestInit, block);
        request(sim::kFx2RequestGetScans);
    }

    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    std::shared_ptr<sim::Fx2Board> board;
    std::shared_ptr<usb::SimPort> port;
};

TEST_P(Fx2BufferTest, AHostThatDoesNotReadLosesTheScansThatFindTheBufferFull) {
    stream();
    // Five frames and no sixth, which could come between the two state
    // reads below.
    for (size_t n = 1; n <= 5; ++n) {
        ASSERT_TRUE(dealt(n)) << n;
        if (n < 5) {
            clock.advance(std::chrono::milliseconds(1));
        }
    }
    if (GetParam()) {
        // The board holds the frame it sends and its buffer: the third frame
        // finds just that much untaken; from the fourth on nothing fits.
        EXPECT_EQ(board->framesSent(), 3u);
        EXPECT_EQ(board->scansDropped(), 2u);
        EXPECT_EQ(port->queuedIn(sim::kFx2ScanPipe), 3 * kScanBytes);
        EXPECT_EQ(request(sim::kFx2RequestGetError), sim::kFx2ErrorBufferFull);
        EXPECT_EQ(request(sim::kFx2RequestGetError), 0) << "reported once";
    } else {
        EXPECT_EQ(board->scansDropped(), 0u) << "an instant bus has room for everything";
        EXPECT_GE(port->queuedIn(sim::kFx2ScanPipe), 5 * kScanBytes);
        EXPECT_EQ(request(sim::kFx2RequestGetError), 0);
    }
    request(sim::kFx2RequestStop);
}

// A board's sensor scans at its rate whatever the simulation's thread does:
// one woken late makes the frames it owes rather than skipping them.
TEST_P(Fx2BufferTest, AStreamerWokenLateMakesEveryFrameItOwes) {
    stream();
    ASSERT_TRUE(dealt(1));
    clock.advance(std::chrono::milliseconds(10));
    ASSERT_TRUE(dealt(11));
    EXPECT_EQ(board->framesSent() + board->scansDropped(), 11u);
    request(sim::kFx2RequestStop);
}

INSTANTIATE_TEST_SUITE_P(Bus, Fx2BufferTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "WithRate" : "Instant"; });

} // namespace
