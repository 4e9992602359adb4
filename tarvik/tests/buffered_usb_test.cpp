// A buffered run through the USB board driver: the simulated FX2 board sends
// frames faster than the client reads them, and what the reads report as
// held and lost adds up to what the board sent. Frames of whole packets.

#include "sim_road_fixture.h"

#include <chrono>
#include <thread>

namespace tarvik::testing {
namespace {

// A guard of real time against a hung test, not a measurement.
bool within(std::chrono::steady_clock::time_point deadline) {
    std::this_thread::yield();
    return std::chrono::steady_clock::now() < deadline;
}

class BufferedUsbTest : public SimRoadTest {};

TEST_F(BufferedUsbTest, ScansHeldAndLostAddUpToWhatTheBoardSent) {
    open("frame_rate = 0.1\n");
    const std::shared_ptr<sim::Fx2Board> fx2 = sim::BoardRegistry::instance().findUsbBoard("b");
    ASSERT_TRUE(fx2);
    fx2->setFrameRate(0); // the frames come from the test
    setTime(10.0);
    // In this mode an empty ring answers at once instead of waiting.
    ASSERT_EQ(KORAL_ParaSetSensorWorkMode(0, 0xFF21, 1), 0) << describe(record());
    ASSERT_EQ(KORAL_ParaSetSpecBuffer(3, 1), 0) << describe(record());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fx2->streaming() && within(deadline)) {
    }
    constexpr uint64_t kSent = 40;
    ASSERT_TRUE(fx2->pushFrames(kSent));

    uint64_t reads = 0;
    uint64_t lost = 0;
    while (reads + lost < kSent && within(deadline)) {
        uint32_t held = 0;
        uint32_t lostNow = 0;
        if (KORAL_GetBufferedSpectra(&held, &lostNow, 1) == -1) {
            // Frames still on their way: the ring is empty for now.
            ASSERT_EQ(record().code, 159) << describe(record());
            continue;
        }
        EXPECT_GE(held, 1u);
        EXPECT_LE(held, 3u);
        EXPECT_LE(reads + lost + lostNow + held, kSent) << "more than the board sent";
        ++reads;
        lost += lostNow;
    }
    EXPECT_EQ(reads + lost, kSent);
    EXPECT_GE(reads, 3u) << "at least a ring's worth was read";
    uint32_t held = 0;
    uint32_t lostNow = 0;
    EXPECT_EQ(KORAL_GetBufferedSpectra(&held, &lostNow, 1), -1) << "nothing is left";
    EXPECT_RECORD(1, 159, 0, 1, "KORAL_GetBufferedSpectra");
    EXPECT_EQ(stored()[522], sensorCounts(522, 10.0));
}

// 1,022 pixels make frames of whole 512-byte packets, which the board ends
// with a zero-length packet: that packet belongs to its frame, so each
// spectrum is its own request's and the stream loses no frame.
TEST_F(BufferedUsbTest, FramesOfWholePacketsGiveEachRequestItsOwnSpectrum) {
    open("pixels = 1022\nsensor_type = 7\nfrontend_type = 7\ninstant_bus = 1\n");
    for (int32_t average : {1, 10}) {
        ASSERT_EQ(KORAL_ParaSetAverageNumber(&average, 1), 0);
        for (int call = 0; call < 6; ++call) {
            const double ms = call % 2 == 0 ? 30.0 : 40.0;
            setTime(ms);
            ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record()) << " call " << call;
            EXPECT_EQ(stored()[511], sensorCounts(511, ms))
                << "average " << average << " call " << call;
        }
    }
    ASSERT_EQ(KORAL_ParaSetSensorWorkMode(0, 7, 1), 0) << describe(record());
    for (int k = 0; k < 20; ++k) {
        const int32_t result = KORAL_GetSpectra(1);
        ASSERT_GE(result, -2) << describe(record());
        EXPECT_FALSE(result == -2 && record().code == 195) << "a frame dropped, spectrum " << k;
    }
}

} // namespace
} // namespace tarvik::testing
