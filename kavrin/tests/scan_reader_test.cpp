// IOCTL_BOARD_GET_SCANS: single-mode frames, and the reader, parser and ring
// of the continuous modes with the answers, losses and warnings they give.

#include "acquisition_harness.h"
#include "board_status.h"
#include "vendor_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace kavrin;
using kavrintest::BlockBuffer;
using kavrintest::initRequest;
using kavrintest::requestsOf;

// Raw value of a pixel in the test pattern: the scan number and pixel.
uint16_t patternValue(uint64_t scan, uint32_t pixel) {
    return static_cast<uint16_t>(scan * 10 + pixel);
}

class ScanTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    kavrintest::StartedBoard harness;
    DEVICE_EXTENSION& device = harness.device;
    sim::Fx2Board& board = *harness.board;

    void SetUp() override { board.setScanPattern(patternValue); }

    uint16_t init(BlockBuffer request) {
        RequestBlock view = request.view();
        HandleInit(device, view);
        return request.get<rb::Status>();
    }
    // A scan request; pending is set when it would stay pending.
    BlockBuffer getScans(bool* pending = nullptr, uint32_t dataWords = 0, uint32_t flags = 0) {
        BlockBuffer request(dataWords);
        request.set<rb::RequestFlags>(flags);
        RequestBlock view = request.view();
        const bool waits = HandleGetScans(device, view, nullptr);
        if (pending) {
            *pending = waits;
        } else {
            EXPECT_FALSE(waits) << "the request would have waited";
        }
        return request;
    }
    // A scan request that first reads the pipe empty: the clock passes the
    // pipe's quiet time once what it held was read.
    BlockBuffer getScansOnceThePipeIsQuiet() {
        std::atomic<bool> done{false};
        std::thread quiet([&] {
            while (!done) {
                if (harness.port->queuedIn(sim::kFx2ScanPipe) == 0 && clock.pendingWaits() != 0) {
                    clock.advance(std::chrono::milliseconds(50));
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        BlockBuffer answer = getScans();
        done = true;
        quiet.join();
        return answer;
    }
    // One frame at a time, each handled before the next comes, so that
    // none is dropped for a busy parser.
    void pushAndWait(unsigned frames) {
        // The reader starts the stream on its own thread.
        for (int i = 0; i < 30000 && !board.streaming(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (unsigned i = 0; i < frames; ++i) {
            const uint64_t before = handled();
            ASSERT_TRUE(board.pushFrames(1));
            ASSERT_TRUE(harness.waitForFrames(before + 1));
        }
    }
    uint64_t handled() {
        std::lock_guard lock(device.acquisition.lock);
        return device.acquisition.framesHandled;
    }
};

TEST_F(ScanTest, ASingleScanComesAsThirtyTwoBitValuesTimesAHundred) {
    ASSERT_EQ(init(initRequest(3, 0, 8, 1)), 0);
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    for (uint32_t j = 0; j < 8; ++j) {
        EXPECT_EQ(answer.scan32(j), static_cast<int32_t>(patternValue(0, j)) * 100);
    }
    EXPECT_EQ(requestsOf(board, VR_GS).size(), 1u);
}

TEST_F(ScanTest, AveragingFourScansOfTenToThirteenGives1150) {
    board.setScanPattern([](uint64_t scan, uint32_t) { return static_cast<uint16_t>(10 + scan); });
    ASSERT_EQ(init(initRequest(3, 1, 4, 4)), 0);
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    EXPECT_EQ(answer.scan32(0), 1150);
    EXPECT_EQ(answer.scan32(3), 1150);
}

// The board sends an average scan by scan: its transfer ends with the last
// scan, which fills no packet, so no empty packet follows the frame of two
// whole packets.
TEST_F(ScanTest, AnAverageEndsWithItsLastScanAndNeedsNoEmptyPacket) {
    board.setFrameRate(100);
    ASSERT_EQ(init(initRequest(3, 1, 126, 2)), 0); // 2 x (126 + 2) x 2 = 1,024 bytes
    std::atomic<bool> done{false};
    BlockBuffer answer;
    std::thread request([&] {
        answer = getScans();
        done = true;
    });
    // The board's wait for its second scan, and the read's.
    EXPECT_TRUE(clock.waitForPendingWaits(2));
    clock.advance(std::chrono::milliseconds(20));
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(done) << "the frame's read waits for a packet the board does not send";
    if (!done) {
        clock.advance(std::chrono::seconds(1));
    }
    request.join();
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    EXPECT_EQ(answer.scan32(5), (patternValue(0, 5) + patternValue(1, 5)) * 100 / 2);
    std::lock_guard lock(device.acquisition.lock);
    EXPECT_FALSE(device.acquisition.residue.pending) << "the next request would empty the pipe";
}

TEST_F(ScanTest, TheDifferentialModeSendsPairsAndGivesTheirDifference) {
    board.setScanPattern([](uint64_t scan, uint32_t pixel) {
        return static_cast<uint16_t>(scan == 0 ? 100 : 100 + pixel);
    });
    ASSERT_EQ(init(initRequest(0xFF03, 0, 4, 1)), 0);
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    for (uint32_t j = 0; j < 4; ++j) {
        EXPECT_EQ(answer.scan32(j), static_cast<int32_t>(j) * 100);
    }
}

TEST_F(ScanTest, BurstScansGoIntoTheDataAreaAsRawWords) {
    ASSERT_EQ(init(initRequest(3, 2, 4, 3)), 0);
    EXPECT_EQ(getScans(nullptr, 11).get<rb::Status>(), kBoardStatusBufferTooSmall);
    BlockBuffer answer = getScans(nullptr, 12);
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    EXPECT_EQ(answer.data16(0), patternValue(0, 0));
    EXPECT_EQ(answer.data16(4), patternValue(1, 0));
    EXPECT_EQ(answer.data16(11), patternValue(2, 3));
}

TEST_F(ScanTest, ScansToTheDataAreaNeedRoomForThirtyTwoBitValues) {
    BlockBuffer request = initRequest(3, 0, 4, 1);
    request.set<rb::RequestFlags>(KORAL_RF_SCANS_TO_DATA);
    ASSERT_EQ(init(request), 0);
    EXPECT_EQ(getScans(nullptr, 7).get<rb::Status>(), kBoardStatusBufferTooSmall);
    // DataLength larger than the bytes that came is no room either.
    BlockBuffer lying(2);
    lying.set<rb::DataLength>(1000);
    RequestBlock view = lying.view();
    EXPECT_FALSE(HandleGetScans(device, view, nullptr));
    EXPECT_EQ(lying.get<rb::Status>(), kBoardStatusBufferTooSmall);

    BlockBuffer answer = getScans(nullptr, 8);
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    int32_t first = 0;
    std::memcpy(&first, answer.bytes.data() + KORAL_REQUEST_BLOCK_DATA_OFFSET + 4, 4);
    EXPECT_EQ(first, static_cast<int32_t>(patternValue(0, 1)) * 100);
}

TEST_F(ScanTest, ScansBeforeAnyInitialisationAreInvalid) {
    EXPECT_EQ(getScans().get<rb::Status>(), kBoardStatusInvalidData);
    EXPECT_TRUE(requestsOf(board, VR_GS).empty());
}

TEST_F(ScanTest, TheModesImageMustBeTheOneLoaded) {
    ASSERT_EQ(init(initRequest(3, 0, 4, 1)), 0);
    device.updateIdentity([](BoardIdentity& identity) { identity.currentImage = 3; });
    EXPECT_EQ(getScans().get<rb::Status>(), kBoardStatusFirmwareUnsupported);
}

TEST_F(ScanTest, ABadTerminatorIs105AndResetsTheScanPipe) {
    ASSERT_EQ(init(initRequest(3, 0, 4, 1)), 0);
    board.injectFrameFault(sim::Fx2FrameFault::BadTerminator);
    const std::size_t resets = board.portResets();
    EXPECT_EQ(getScans().get<rb::Status>(), kBoardStatusBadTerminator);
    EXPECT_EQ(board.portResets(), resets) << "a pipe reset, not a port reset";
    EXPECT_EQ(getScansOnceThePipeIsQuiet().get<rb::Status>(), 0) << "the next frame is whole again";
}

TEST_F(ScanTest, ALongFrameIsAnOverflowWithInfo100) {
    ASSERT_EQ(init(initRequest(3, 0, 4, 1)), 0);
    board.injectFrameFault(sim::Fx2FrameFault::Long);
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), kBoardStatusOverflow);
    EXPECT_EQ(answer.get<rb::StatusInfo>(), 100);
}

// A frame that more bytes follow where the board's transfer ended, or that
// fails to parse, is out of step with the pipe: it is not delivered, and
// what the pipe holds after it stays out of the next request's frame.
TEST_F(ScanTest, AFrameOutOfStepIsRefusedAndThePipeEmptiedBeforeTheNext) {
    struct Case {
        uint16_t pixels; // 254: a scan of one whole packet
        sim::Fx2FrameFault fault;
        uint16_t status;
    };
    uint64_t scan = 0;
    for (const Case& c : {Case{254, sim::Fx2FrameFault::Long, kBoardStatusOverflow},
                          Case{4, sim::Fx2FrameFault::BadTerminator, kBoardStatusBadTerminator}}) {
        SCOPED_TRACE(c.pixels);
        ASSERT_EQ(init(initRequest(3, 0, c.pixels, 1)), 0);
        board.injectFrameFault(c.fault);
        EXPECT_EQ(getScans().get<rb::Status>(), c.status);
        ++scan;
        // A scan of the frame's out-of-step rest, late.
        std::vector<uint8_t> rest(2 + 2 * std::size_t{c.pixels}, 0x11);
        rest.push_back(0xFF);
        rest.push_back(0x00);
        ASSERT_TRUE(harness.port->writeIn(sim::kFx2ScanPipe, rest, true));
        BlockBuffer next = getScansOnceThePipeIsQuiet();
        EXPECT_EQ(next.get<rb::Status>(), 0);
        EXPECT_EQ(next.scan32(0), static_cast<int32_t>(patternValue(scan, 0)) * 100);
        ++scan;
    }
}

TEST_F(ScanTest, AShortFrameTimesOutAs146) {
    ASSERT_EQ(init(initRequest(3, 0, 4, 1)), 0);
    board.injectFrameFault(sim::Fx2FrameFault::Short);
    std::thread timeout([&] {
        // Once the short frame was read, the read waits for the rest of it
        // until its time-out.
        while (board.framesSent() == 0 || harness.port->queuedIn(sim::kFx2ScanPipe) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        clock.waitForPendingWaits(1);
        clock.advance(std::chrono::seconds(10));
    });
    BlockBuffer answer = getScans();
    timeout.join();
    EXPECT_EQ(answer.get<rb::Status>(), kBoardStatusIncompleteFrame);
}

TEST_F(ScanTest, AHaltedScanPipeReportsTheBoardsOwnError) {
    ASSERT_EQ(init(initRequest(3, 0, 4, 1)), 0);
    board.injectFrameFault(sim::Fx2FrameFault::BulkError);
    board.setDeviceError(161, 9);
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), 161);
    EXPECT_EQ(answer.get<rb::StatusInfo>(), 9);
}

TEST_F(ScanTest, TheFifoProtectionFlagReadsTheBoardsBufferFull) {
    BlockBuffer request = initRequest(3, 0, 4, 1, 2);
    request.set<rb::RequestFlags>(KORAL_RF_GEN2_INIT);
    request.set<rb::ExtFifoFullLevel>(0x4000);
    ASSERT_EQ(init(request), 0);
    board.setDeviceError(194, 0);
    EXPECT_EQ(getScans().get<rb::Warning>(), kBoardWarningBufferFull);
}

// --- continuous modes

// Pulled out after the command's check of the state and before its scan was
// asked for: the scan that never came fails the request, never an answer of
// the block's old pixels.
TEST_F(ScanTest, ABoardRemovedBeforeItsScanFailsTheRequestAs155) {
    ASSERT_EQ(init(initRequest(3, 0, 8, 1)), 0);
    harness.port->unplug();
    device.state = DeviceState::SurpriseRemoved;
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), kBoardStatusStopped);
}

TEST_F(ScanTest, ModeSixAnswersTheNewestScanAndCountsTheOverwrittenOnes) {
    ASSERT_EQ(init(initRequest(6, 0, 4, 1)), 0);
    pushAndWait(1);
    pushAndWait(1);
    pushAndWait(1);
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    EXPECT_EQ(answer.scan32(1), static_cast<int32_t>(patternValue(2, 1)) * 100);
    EXPECT_EQ(answer.get<rb::LostScans>(), 2);
    EXPECT_EQ(answer.get<rb::Warning>(), kBoardWarningScansLost);
    EXPECT_EQ(answer.get<rb::ScansInRing>(), 1);

    pushAndWait(1);
    BlockBuffer next = getScans();
    EXPECT_EQ(next.get<rb::LostScans>(), 0);
    EXPECT_EQ(next.get<rb::Warning>(), 0) << "the loss was reported once";
}

TEST_F(ScanTest, ModeSevenKeepsTheOldestAndDropsWhatAFullRingCannotHold) {
    BlockBuffer request = initRequest(7, 0, 4, 1);
    request.set<rb::RingCapacity>(2);
    ASSERT_EQ(init(request), 0);
    pushAndWait(4);
    BlockBuffer first = getScans();
    EXPECT_EQ(first.scan32(0), static_cast<int32_t>(patternValue(0, 0)) * 100);
    EXPECT_EQ(first.get<rb::ScansInRing>(), 2);
    EXPECT_EQ(first.get<rb::LostScans>(), 2);
    EXPECT_EQ(first.get<rb::Warning>(), kBoardWarningScansLost);
    BlockBuffer second = getScans();
    EXPECT_EQ(second.scan32(0), static_cast<int32_t>(patternValue(1, 0)) * 100);
    EXPECT_EQ(second.get<rb::ScansInRing>(), 1);
}

TEST_F(ScanTest, ASlowFrameWithinTheReadTimeOutIsNoLoss) {
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    pushAndWait(1); // the stream runs
    board.setSlowFrameDelay(std::chrono::milliseconds(100));
    board.injectFrameFault(sim::Fx2FrameFault::Slow);
    const uint64_t before = handled();
    ASSERT_TRUE(board.pushFrames(1));
    bool pending = false;
    getScans(&pending); // the first scan
    EXPECT_FALSE(pending);
    getScans(&pending);
    EXPECT_TRUE(pending) << "the slow frame has not come yet";
    clock.advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(harness.waitForFrames(before + 1));
    BlockBuffer late = getScans();
    EXPECT_EQ(late.get<rb::Status>(), 0);
    EXPECT_EQ(late.get<rb::LostScans>(), 0);
    EXPECT_EQ(late.scan32(2), static_cast<int32_t>(patternValue(1, 2)) * 100);
}

TEST_F(ScanTest, AnEmptyRingWaitsExceptInTheModesThatDoNot) {
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    bool pending = false;
    getScans(&pending);
    EXPECT_TRUE(pending);
    ASSERT_EQ(init(initRequest(0xFF21, 0, 4, 1)), 0);
    EXPECT_EQ(getScans().get<rb::Status>(), kBoardStatusNoSpectra);
}

TEST_F(ScanTest, ScansWithoutARunningReaderAre150) {
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    StopContinuousAcquisition(device, true);
    EXPECT_EQ(getScans().get<rb::Status>(), kBoardStatusModeNotAvailable);
}

TEST_F(ScanTest, AFrameThatFailsToParseReachesTheClientWithTheNextAnswer) {
    BlockBuffer request = initRequest(7, 0, 4, 1);
    request.set<rb::RingCapacity>(4);
    ASSERT_EQ(init(request), 0);
    board.injectFrameFault(sim::Fx2FrameFault::BadTerminator);
    pushAndWait(1);
    BlockBuffer failed = getScans();
    EXPECT_EQ(failed.get<rb::Status>(), kBoardStatusBadTerminator);
    EXPECT_EQ(failed.get<rb::StatusInfo>(), 0);
    EXPECT_EQ(failed.get<rb::LostScans>(), 1);
    pushAndWait(1);
    BlockBuffer good = getScans();
    EXPECT_EQ(good.get<rb::Status>(), 0);
    EXPECT_EQ(good.scan32(0), static_cast<int32_t>(patternValue(1, 0)) * 100);
}

TEST_F(ScanTest, ASaturationWarningIsCarriedByExactlyOneStoredScan) {
    board.setScanPattern([](uint64_t scan, uint32_t pixel) {
        return static_cast<uint16_t>(scan == 1 && pixel == 2 ? 0x7FFF : 100);
    });
    BlockBuffer request = initRequest(7, 0, 4, 1);
    request.set<rb::RingCapacity>(4);
    request.set<rb::RequestFlags>(KORAL_RF_WARN_CLASS1);
    request.set<rb::SaturationPeriod>(100);
    ASSERT_EQ(init(request), 0);
    pushAndWait(3);
    std::vector<uint16_t> warnings;
    for (int i = 0; i < 3; ++i) {
        warnings.push_back(getScans().get<rb::Warning>());
    }
    EXPECT_EQ(warnings, (std::vector<uint16_t>{0, 199, 0}));
}

TEST_F(ScanTest, ADroppedSaturatedScanTakesItsWarningAlong) {
    board.setScanPattern([](uint64_t scan, uint32_t pixel) {
        return static_cast<uint16_t>(scan == 1 && pixel == 0 ? 0x8000 : 100);
    });
    BlockBuffer request = initRequest(7, 0, 4, 1);
    request.set<rb::RequestFlags>(KORAL_RF_WARN_CLASS1);
    ASSERT_EQ(init(request), 0);
    pushAndWait(2);
    BlockBuffer first = getScans();
    EXPECT_EQ(first.get<rb::Warning>(), kBoardWarningScansLost);
    EXPECT_EQ(first.get<rb::LostScans>(), 1);
    pushAndWait(1);
    EXPECT_EQ(getScans().get<rb::Warning>(), 0);
}

TEST_F(ScanTest, AFailedReadRestartsTheStreamAndIsReportedAsADroppedFrame) {
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    board.injectFrameFault(sim::Fx2FrameFault::BulkError);
    pushAndWait(1);
    EXPECT_EQ(requestsOf(board, VR_REINIT).size(), 1u);
    pushAndWait(1);
    BlockBuffer after = getScans();
    EXPECT_EQ(after.get<rb::Status>(), 0);
    EXPECT_EQ(after.get<rb::LostScans>(), 1);
    EXPECT_EQ(after.get<rb::Warning>(), kBoardWarningFrameDropped);
}

// The bus lends the reads waiting on its pipes only so much memory, as a
// host's USB stack does for every device together: the reads it refuses are
// no failure of the stream, which goes on with the reads posted.
TEST_F(ScanTest, ReadsTheBusHasNoMemoryForLeaveTheStreamToTheReadsPosted) {
    constexpr std::size_t kFrameBytes = (4 + 2) * 2;
    const kavrintest::ScopedSimReadBudget budget(3 * kFrameBytes);
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    int32_t previous = -1;
    for (int frame = 0; frame < 10; ++frame) {
        pushAndWait(1);
        BlockBuffer answer = getScans();
        ASSERT_EQ(answer.get<rb::Status>(), 0) << "frame " << frame;
        ASSERT_EQ(answer.get<rb::LostScans>(), 0) << "frame " << frame;
        // Pixel 0 carries the board's scan number: none may be missing.
        if (previous >= 0) {
            ASSERT_EQ(answer.scan32(0), previous + 1000) << "frame " << frame;
        }
        previous = answer.scan32(0);
    }
    EXPECT_TRUE(requestsOf(board, VR_REINIT).empty());
}

// A frame the bus never has memory for is lost as a failed read once its
// read time-out passed, so that the stream fails as failed reads do rather
// than leaving the client to wait without end.
TEST_F(ScanTest, AStreamWithoutMemoryForAnyReadFailsAs102) {
    constexpr std::size_t kFrameBytes = (4 + 2) * 2;
    const kavrintest::ScopedSimReadBudget budget(kFrameBytes - 1);
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    BlockBuffer answer;
    bool pending = true;
    // Eleven read time-outs of 200 ms, slowly enough for the board to answer
    // each failed read's requests within their time-out of 1 s.
    for (int step = 0; step < 5000 && pending; ++step) {
        ASSERT_TRUE(clock.waitForPendingWaits(1));
        clock.advance(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        answer = getScans(&pending);
    }
    ASSERT_FALSE(pending);
    EXPECT_EQ(answer.get<rb::Status>(), kBoardStatusReaderFailed);
}

// A frame the board began before a new INIT reaches the pipe after it: the
// stream of the new settings starts without it.
TEST_F(ScanTest, AFrameBegunBeforeANewInitNeverReachesTheNewStream) {
    BlockBuffer request = initRequest(7, 0, 4, 1);
    request.set<rb::RingCapacity>(4);
    ASSERT_EQ(init(request), 0);
    pushAndWait(1); // scan 0, of the old time
    board.setSlowFrameDelay(std::chrono::milliseconds(10));
    board.injectFrameFault(sim::Fx2FrameFault::Slow);
    ASSERT_TRUE(board.pushFrames(1)); // scan 1, on its way
    request.set<rb::AcqIntCnts>(8);
    ASSERT_EQ(init(request), 0);
    // The slow frame's wait and the new reader's.
    ASSERT_TRUE(clock.waitForPendingWaits(2));
    clock.advance(std::chrono::milliseconds(10));
    for (int i = 0; i < 30000 && board.framesSent() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(board.framesSent(), 2u);
    for (int i = 0; i < 30000 && !board.streaming(); ++i) {
        clock.advance(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pushAndWait(1); // scan 2, of the new time
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), 0);
    EXPECT_EQ(answer.scan32(0), static_cast<int32_t>(patternValue(2, 0)) * 100);
    EXPECT_EQ(answer.get<rb::ScansInRing>(), 1);
}

TEST_F(ScanTest, MoreThanTenFailedReadsInARowAre102) {
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    board.injectFrameFault(sim::Fx2FrameFault::BulkError, 11);
    pushAndWait(11);
    BlockBuffer answer = getScans();
    EXPECT_EQ(answer.get<rb::Status>(), kBoardStatusReaderFailed);
    EXPECT_EQ(answer.get<rb::StatusInfo>(), 0);
    pushAndWait(1);
    EXPECT_EQ(getScans().get<rb::Status>(), 0) << "a whole frame ends the run of failures";
}

TEST_F(ScanTest, AFailedRestartIs140AndEndsTheReader) {
    ASSERT_EQ(init(initRequest(7, 0, 4, 1)), 0);
    board.stallRequest(VR_REINIT);
    board.injectFrameFault(sim::Fx2FrameFault::BulkError);
    pushAndWait(1);
    EXPECT_EQ(getScans().get<rb::Status>(), kBoardStatusRestartFailed);
    device.acquisition.reader.join();
    EXPECT_FALSE(device.acquisition.running.load());
    EXPECT_EQ(getScans().get<rb::Status>(), kBoardStatusModeNotAvailable);
    EXPECT_EQ(requestsOf(board, VR_STOP).size(), 1u);
}

// A board that streams on its own over a bus with the high-speed rate and
// holds only its small buffer, on the real clock. Its state requests take
// far longer than a frame: a reader held up by them leaves the board's buffer
// to overrun, one whose reads stay posted takes every frame.
TEST(StreamingReaderTest, SlowStateRequestsCostTheBoardNoScan) {
    sim::Fx2BoardConfig config = kavrintest::runningBoard();
    config.busBytesPerSecond = sim::kUsbHighSpeedBulkBytesPerSecond;
    config.frameRate = 200;
    kavrintest::StartedBoard harness(config);
    sim::Fx2Board& board = *harness.board;
    board.setScanPattern(patternValue);
    // More than two frames' time: a reader that waits for it falls further
    // behind with every frame.
    board.delayRequest(VR_GERR, std::chrono::milliseconds(12));
    BlockBuffer request = initRequest(7, 0, 256, 1);
    request.set<rb::RingCapacity>(1024);
    RequestBlock view = request.view();
    HandleInit(harness.device, view);
    ASSERT_EQ(request.get<rb::Status>(), 0);

    Acquisition& acq = harness.device.acquisition;
    constexpr int kScans = 150;
    int32_t previous = -1;
    for (int i = 0; i < kScans; ++i) {
        {
            std::unique_lock lock(acq.lock);
            ASSERT_TRUE(acq.changed.wait_for(lock, std::chrono::seconds(30), [&] {
                return acq.ring.count > 0 || acq.ring.pendingError != 0;
            }));
        }
        BlockBuffer answer;
        RequestBlock answerView = answer.view();
        ASSERT_FALSE(HandleGetScans(harness.device, answerView, nullptr));
        ASSERT_EQ(answer.get<rb::Status>(), 0);
        ASSERT_EQ(answer.get<rb::LostScans>(), 0) << "scan " << i;
        ASSERT_NE(answer.get<rb::Warning>(), kBoardWarningBufferFull) << "scan " << i;
        // Pixel 0 carries the board's scan number: none may be missing.
        const int32_t value = answer.scan32(0);
        if (previous >= 0) {
            ASSERT_EQ(value, previous + 1000) << "scan " << i;
        }
        previous = value;
    }
    EXPECT_EQ(board.scansDropped(), 0u);
}

// Frames of whole packets at a rate the reader barely keeps up with, and a
// stream stopped and started again by each new time: the board goes on
// filling the reads still posted while the reader drops them.
TEST(StreamingReaderTest, AStreamOfWholePacketFramesStopsAndStartsAgainCleanly) {
    sim::Fx2BoardConfig config = kavrintest::runningBoard();
    config.frameRate = 20000;
    kavrintest::StartedBoard harness(config);
    BlockBuffer request = initRequest(7, 0, 254, 1); // (254 + 2) x 2 = 512 bytes
    request.set<rb::RingCapacity>(16);
    for (int round = 0; round < 60; ++round) {
        request.set<rb::AcqIntCnts>(static_cast<uint16_t>(4 + round % 2));
        RequestBlock view = request.view();
        HandleInit(harness.device, view);
        ASSERT_EQ(request.get<rb::Status>(), 0) << "round " << round;
        ASSERT_TRUE(harness.waitForFrames(8 * (round + 1))) << "round " << round;
    }
}

} // namespace
