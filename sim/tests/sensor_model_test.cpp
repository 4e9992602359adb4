// The sensor front end of a simulated board, alone and behind the board's
// GET_SCANS: light, dark, integration time, averaging, saturation, the data
// area, latency and faults.

#include "sim/board_model.h"
#include "sim/sensor_model.h"

#include "platform/clock.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

using platform::kStatusSuccess;
using sim::BoardModel;
using sim::SensorModel;

constexpr std::size_t kDataOffset = KORAL_REQUEST_BLOCK_DATA_OFFSET;
constexpr uint32_t kPixels = 64;

sim::BoardConfig configOf(uint16_t frontEndType = 3) {
    sim::BoardConfig config;
    config.name = "sensor";
    config.frontEndType = frontEndType;
    config.dark = 500;
    config.signal = 2000.0;
    return config;
}

// A request block with a data area of dataWords 16-bit words.
struct Block {
    explicit Block(uint32_t dataWords = 0)
        : bytes(KORAL_REQUEST_BLOCK_SIZE + std::size_t{dataWords} * 2) {
        put(offsetof(DeviceRequestBlock, DataLength), dataWords);
        put<uint16_t>(offsetof(DeviceRequestBlock, NumberPixel), kPixels);
        put<uint16_t>(offsetof(DeviceRequestBlock, NumScans), 1);
        put<uint16_t>(offsetof(DeviceRequestBlock, PreCnts), 8000);  // 1000 counts per second
        put<uint16_t>(offsetof(DeviceRequestBlock, AcqIntCnts), 10); // 10 ms
    }
    template <class T> void put(std::size_t offset, T value) {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    }
    template <class T> T get(std::size_t offset) const {
        T value{};
        std::memcpy(&value, bytes.data() + offset, sizeof value);
        return value;
    }
    std::span<uint8_t> span() { return bytes; }
    uint32_t length() const { return static_cast<uint32_t>(bytes.size()); }
    int32_t scanData(std::size_t i) const {
        return get<int32_t>(offsetof(DeviceRequestBlock, ScanData) + i * 4);
    }
    int32_t data32(std::size_t i) const { return get<int32_t>(kDataOffset + i * 4); }
    int16_t data16(std::size_t i) const { return get<int16_t>(kDataOffset + i * 2); }
    uint16_t status() const { return get<uint16_t>(offsetof(DeviceRequestBlock, Status)); }
    uint16_t warning() const { return get<uint16_t>(offsetof(DeviceRequestBlock, WarningCode)); }

    std::vector<uint8_t> bytes;
};

class SensorModelTest : public ::testing::Test {
protected:
    SensorModel sensor{configOf()};

    void serve(Block& block) { sensor.serveGetScans(block.span(), block.length()); }
};

TEST_F(SensorModelTest, IntegrationTimeComesBackFromTheCounts) {
    Block block;
    EXPECT_DOUBLE_EQ(sensor.integrationTimeUs(block.span()), 10000.0);
    block.put<uint16_t>(offsetof(DeviceRequestBlock, PreCnts), 64000); // 125 per second
    EXPECT_DOUBLE_EQ(sensor.integrationTimeUs(block.span()), 80000.0);
    block.put<uint32_t>(offsetof(DeviceRequestBlock, RequestFlags), 0x20);
    EXPECT_DOUBLE_EQ(sensor.integrationTimeUs(block.span()), 10.0);
    block.put<uint32_t>(offsetof(DeviceRequestBlock, RequestFlags), 0);
    block.put<uint16_t>(offsetof(DeviceRequestBlock, PreCnts), 0);
    EXPECT_DOUBLE_EQ(sensor.integrationTimeUs(block.span()), 0.0);

    sim::BoardConfig isa = configOf();
    isa.interfaceType = 1; // a 4 MHz clock
    Block isaBlock;
    EXPECT_DOUBLE_EQ(SensorModel(isa).integrationTimeUs(isaBlock.span()), 20000.0);
}

TEST_F(SensorModelTest, LightGrowsWithTheIntegrationTimeAboveTheDark) {
    const uint32_t centre = kPixels / 2;
    EXPECT_DOUBLE_EQ(sensor.counts(centre, kPixels, 0.0), 500.0);
    EXPECT_DOUBLE_EQ(sensor.counts(centre, kPixels, 1000.0), 2500.0);
    EXPECT_DOUBLE_EQ(sensor.counts(centre, kPixels, 2000.0), 4500.0);
    EXPECT_LT(sensor.counts(0, kPixels, 2000.0), 600.0);
    EXPECT_GT(sensor.counts(0, kPixels, 2000.0), 499.0);
    sensor.setDark(40);
    EXPECT_DOUBLE_EQ(sensor.counts(centre, kPixels, 0.0), 40.0);
    EXPECT_DOUBLE_EQ(sensor.counts(centre, kPixels, 1e9), 32767.0);
}

TEST_F(SensorModelTest, UnsignedFrontEndsDeliverCountsLessHalfTheRange) {
    SensorModel unsignedSensor(configOf(7));
    EXPECT_TRUE(unsignedSensor.unsignedRange());
    EXPECT_DOUBLE_EQ(unsignedSensor.fullScale(), 65535.0);
    EXPECT_EQ(unsignedSensor.rawWord(kPixels / 2, kPixels, 1000.0), 2500 - 32768);
    EXPECT_EQ(unsignedSensor.rawWord(kPixels / 2, kPixels, 1e9), 0x7FFF);
    EXPECT_FALSE(sensor.unsignedRange());
    EXPECT_EQ(sensor.rawWord(kPixels / 2, kPixels, 1000.0), 2500);
}

// The kept scan shape must follow every change of what it depends on.
TEST_F(SensorModelTest, TheKeptScanFollowsEachChangeOfItsInputs) {
    struct Step {
        const char* what;
        uint32_t pixels;
        double us;
        uint16_t dark;
        double signal;
    };
    const Step steps[] = {
        {"first", kPixels, 1000.0, 500, 2.0},   {"same again", kPixels, 1000.0, 500, 2.0},
        {"time", kPixels, 3000.0, 500, 2.0},    {"pixels", kPixels / 2, 3000.0, 500, 2.0},
        {"dark", kPixels / 2, 3000.0, 70, 2.0}, {"signal", kPixels / 2, 3000.0, 70, 9.0},
        {"more pixels", 4096, 3000.0, 70, 9.0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        sensor.setDark(step.dark);
        sensor.setSignal(step.signal);
        const std::span<const int16_t> kept = sensor.scanWords(step.pixels, step.us);
        ASSERT_EQ(kept.size(), step.pixels);
        for (const uint32_t j : {0u, step.pixels / 3, step.pixels / 2, step.pixels - 1}) {
            EXPECT_EQ(kept[j], sensor.rawWord(j, step.pixels, step.us)) << "pixel " << j;
        }
    }
}

TEST_F(SensorModelTest, SingleAndAveragedScansAreHundredfoldValuesInScanData) {
    Block block;
    serve(block);
    EXPECT_EQ(block.status(), 0);
    EXPECT_EQ(block.scanData(kPixels / 2), 20500 * 100);
    EXPECT_EQ(block.scanData(kPixels), 0); // nothing beyond the pixels

    Block averaged;
    averaged.put<uint16_t>(offsetof(DeviceRequestBlock, AcquisitionMode), 1);
    averaged.put<uint16_t>(offsetof(DeviceRequestBlock, NumScans), 65535);
    serve(averaged);
    EXPECT_EQ(averaged.scanData(kPixels / 2), 20500 * 100);

    Block two;
    two.put<uint16_t>(offsetof(DeviceRequestBlock, NumScans), 2);
    serve(two);
    EXPECT_EQ(two.scanData(kPixels + kPixels / 2), 20500 * 100);
}

TEST_F(SensorModelTest, OnlyTheKeptPixelsAreDelivered) {
    Block block;
    block.put<uint16_t>(offsetof(DeviceRequestBlock, NumberPixel2), 8);
    serve(block);
    EXPECT_EQ(block.scanData(7), sensor.rawWord(7, kPixels, 10000.0) * 100);
    EXPECT_EQ(block.scanData(8), 0);
}

TEST_F(SensorModelTest, DataAreaTakesThirtyTwoBitValuesWhenItHoldsThem) {
    Block block(2 * kPixels);
    block.put<uint32_t>(offsetof(DeviceRequestBlock, RequestFlags), 0x4);
    serve(block);
    EXPECT_EQ(block.status(), 0);
    EXPECT_EQ(block.data32(kPixels / 2), 20500 * 100);
    EXPECT_EQ(block.scanData(kPixels / 2), 0);

    Block small(2 * kPixels - 2);
    small.put<uint32_t>(offsetof(DeviceRequestBlock, RequestFlags), 0x4);
    serve(small);
    EXPECT_EQ(small.status(), sim::kStatusBufferTooSmall);

    // DataLength promising more than came with the request.
    Block lying(2 * kPixels - 3);
    lying.put<uint32_t>(offsetof(DeviceRequestBlock, RequestFlags), 0x4);
    lying.put<uint32_t>(offsetof(DeviceRequestBlock, DataLength), 4 * kPixels);
    serve(lying);
    EXPECT_EQ(lying.status(), sim::kStatusBufferTooSmall);
}

TEST_F(SensorModelTest, BurstDeliversRawWordsOneScanAfterAnother) {
    Block block(3 * kPixels);
    block.put<uint16_t>(offsetof(DeviceRequestBlock, AcquisitionMode), 2);
    block.put<uint16_t>(offsetof(DeviceRequestBlock, NumScans), 3);
    serve(block);
    EXPECT_EQ(block.status(), 0);
    EXPECT_EQ(block.data16(kPixels / 2), 20500);
    EXPECT_EQ(block.data16(2 * kPixels + kPixels / 2), 20500);

    Block small(3 * kPixels - 1);
    small.put<uint16_t>(offsetof(DeviceRequestBlock, AcquisitionMode), 2);
    small.put<uint16_t>(offsetof(DeviceRequestBlock, NumScans), 3);
    serve(small);
    EXPECT_EQ(small.status(), sim::kStatusBufferTooSmall);
}

TEST_F(SensorModelTest, BadRequestsAreAnsweredWithTheirStatus) {
    Block mode;
    mode.put<uint16_t>(offsetof(DeviceRequestBlock, AcquisitionMode), 3);
    serve(mode);
    EXPECT_EQ(mode.status(), sim::kStatusInvalidAcquisitionMode);

    Block none;
    none.put<uint16_t>(offsetof(DeviceRequestBlock, NumberPixel), 0);
    serve(none);
    EXPECT_EQ(none.status(), sim::kStatusNoPixels);

    Block large;
    large.put<uint16_t>(offsetof(DeviceRequestBlock, NumberPixel), 0xFFFF);
    large.put<uint32_t>(offsetof(DeviceRequestBlock, NumberPixelLong), KORAL_SCAN_DATA_PIXELS + 1);
    serve(large);
    EXPECT_EQ(large.status(), sim::kStatusScanDataTooSmall);
    large.put<uint32_t>(offsetof(DeviceRequestBlock, NumberPixelLong), KORAL_SCAN_DATA_PIXELS);
    serve(large);
    EXPECT_EQ(large.status(), 0);
}

TEST_F(SensorModelTest, SaturationWarnsInsideTheWindowWhenAsked) {
    Block block;
    block.put<uint16_t>(offsetof(DeviceRequestBlock, AcqIntCnts), 60000); // 60 s
    block.put<uint16_t>(offsetof(DeviceRequestBlock, SaturationPeriod), kPixels);
    serve(block);
    EXPECT_EQ(block.scanData(kPixels / 2), 32767 * 100);
    EXPECT_EQ(block.warning(), 0);
    block.put<uint32_t>(offsetof(DeviceRequestBlock, RequestFlags), 0x2);
    serve(block);
    EXPECT_EQ(block.warning(), sim::kWarningSaturatedHigh);
    // A window of the last pixels only, far from the line.
    block.put<uint8_t>(offsetof(DeviceRequestBlock, SaturationStart), 60);
    serve(block);
    EXPECT_EQ(block.warning(), 0);
    // A period of 0 looks at pixel 0 alone.
    block.put<uint8_t>(offsetof(DeviceRequestBlock, SaturationStart), 0);
    block.put<uint16_t>(offsetof(DeviceRequestBlock, SaturationPeriod), 0);
    serve(block);
    EXPECT_EQ(block.warning(), 0);

    SensorModel unsignedSensor(configOf(7));
    unsignedSensor.setDark(0);
    unsignedSensor.setSignal(0.0);
    Block low;
    low.put<uint32_t>(offsetof(DeviceRequestBlock, RequestFlags), 0x2);
    unsignedSensor.serveGetScans(low.span(), low.length());
    EXPECT_EQ(low.scanData(0), -32768 * 100);
    EXPECT_EQ(low.warning(), sim::kWarningSaturatedLow);
}

TEST_F(SensorModelTest, InjectedWarningsComeWithTheNextAnswers) {
    sensor.injectWarning(sim::kWarningBoardError, 2);
    sensor.injectWarning(196);
    Block block;
    std::vector<uint16_t> warnings;
    for (int i = 0; i < 4; ++i) {
        serve(block);
        warnings.push_back(block.warning());
        EXPECT_EQ(block.scanData(kPixels / 2), 20500 * 100);
    }
    EXPECT_EQ(warnings, (std::vector<uint16_t>{194, 194, 196, 0}));
}

TEST_F(SensorModelTest, RequestDurationFollowsTheIntegrationWhenAsked) {
    Block block;
    block.put<uint16_t>(offsetof(DeviceRequestBlock, NumScans), 3);
    EXPECT_EQ(sensor.requestDuration(block.span()), platform::Duration::zero());
    sensor.setLatency(std::chrono::milliseconds(5), false);
    EXPECT_EQ(sensor.requestDuration(block.span()), std::chrono::milliseconds(5));
    sensor.setLatency(std::chrono::milliseconds(5), true);
    EXPECT_EQ(sensor.requestDuration(block.span()), std::chrono::milliseconds(35));
}

class BoardSensorTest : public ::testing::Test {
protected:
    BoardModel board{configOf(), "SIM\\sensor"};
    Block block;

    BoardModel::Answer send() {
        return board.handle(IOCTL_BOARD_GET_SCANS, block.span(), block.length(), block.length());
    }
};

TEST_F(BoardSensorTest, GetScansIsServedFromTheSensor) {
    block.put<uint16_t>(offsetof(DeviceRequestBlock, WarningCode), 195);
    const BoardModel::Answer answer = send();
    EXPECT_EQ(answer.status, kStatusSuccess);
    EXPECT_EQ(answer.information, block.length());
    EXPECT_EQ(block.status(), 0);
    EXPECT_EQ(block.warning(), 0);
    EXPECT_EQ(block.scanData(kPixels / 2), 20500 * 100);
    EXPECT_EQ(board.requests().back().outcome, sim::RequestOutcome::Served);
}

TEST_F(BoardSensorTest, InjectedStatusReplacesTheScans) {
    board.injectStatus(IOCTL_BOARD_GET_SCANS, 158, 100);
    EXPECT_EQ(send().status, kStatusSuccess);
    EXPECT_EQ(block.status(), 158);
    EXPECT_EQ(block.scanData(kPixels / 2), 0);
    board.withSensor([](SensorModel& s) { s.injectWarning(197); });
    send();
    EXPECT_EQ(block.status(), 0);
    EXPECT_EQ(block.warning(), 197);
}

TEST_F(BoardSensorTest, HungScanRequestsStayPending) {
    board.injectHang(IOCTL_BOARD_GET_SCANS);
    const BoardModel::Answer answer = send();
    EXPECT_TRUE(answer.hold);
    EXPECT_EQ(answer.status, platform::kStatusPending);
    EXPECT_EQ(block.scanData(kPixels / 2), 0);
    EXPECT_EQ(board.requests().back().outcome, sim::RequestOutcome::Held);
}

TEST_F(BoardSensorTest, LatencyPassesOnThePlatformClock) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    board.withSensor([](SensorModel& s) { s.setLatency(std::chrono::milliseconds(2), true); });
    const platform::TimePoint before = clock.now();
    send();
    EXPECT_EQ(clock.now() - before, std::chrono::milliseconds(12));
    EXPECT_EQ(block.scanData(kPixels / 2), 20500 * 100);
}

TEST_F(BoardSensorTest, StopRequestEndsTheLatencyAsCancelled) {
    board.withSensor([](SensorModel& s) { s.setLatency(std::chrono::hours(1), false); });
    platform::Thread thread;
    // Whether the stop comes before or during the wait, it ends it.
    ASSERT_TRUE(thread.start(
        [&](platform::Thread& self) {
            self.signalRunning();
            return static_cast<uint32_t>(send().status);
        },
        10000));
    thread.requestStop();
    ASSERT_TRUE(thread.stop(platform::kInfinite));
    EXPECT_EQ(thread.exitCode(), static_cast<uint32_t>(platform::kStatusCancelled));
    EXPECT_EQ(block.scanData(kPixels / 2), 0);
}

} // namespace

namespace {

// The ring of the continuous modes, read at set times of a stream of 100
// scans a second (10 ms apart).
struct RingRead {
    uint16_t status;
    uint16_t held;
    uint16_t lost;
    uint16_t warning;
};

RingRead readRing(SensorModel& sensor, Block& b, int64_t atMs) {
    sensor.serveRing(b.span(), b.length(), platform::TimePoint{} + std::chrono::milliseconds(atMs));
    return {b.status(), b.get<uint16_t>(offsetof(DeviceRequestBlock, ScansInRing)),
            b.get<uint16_t>(offsetof(DeviceRequestBlock, ScansLost)), b.warning()};
}

void expectReads(uint16_t mode, const std::vector<std::pair<int64_t, RingRead>>& reads) {
    sim::BoardConfig config = configOf();
    config.frameRate = 100;
    SensorModel sensor(config);
    Block b;
    b.put<uint16_t>(offsetof(DeviceRequestBlock, WorkMode), mode);
    b.put<uint16_t>(offsetof(DeviceRequestBlock, RingCapacity), 4);
    sensor.initialise(b.span(), platform::TimePoint{});
    for (const auto& [atMs, expected] : reads) {
        const RingRead got = readRing(sensor, b, atMs);
        EXPECT_EQ(std::tie(got.status, got.held, got.lost, got.warning),
                  std::tie(expected.status, expected.held, expected.lost, expected.warning))
            << "mode " << mode << " at " << atMs << " ms";
    }
}

TEST(SensorRing, FullRingDropsNewScansAndCountsThem) {
    // ms, then status, held, lost, warning
    expectReads(
        7, {{5, {159, 0, 0, 0}}, {25, {0, 2, 0, 0}}, {95, {0, 4, 4, 196}}, {95, {0, 3, 0, 0}}});
}

TEST(SensorRing, NewestOnlyModesKeepOneScan) {
    expectReads(6, {{35, {0, 1, 2, 196}}, {45, {0, 1, 0, 0}}, {45, {159, 1, 0, 0}}});
}

TEST(SensorRing, AnInitThatChangesNothingKeepsTheRing) {
    sim::BoardConfig config = configOf();
    config.frameRate = 100;
    SensorModel sensor(config);
    Block b;
    b.put<uint16_t>(offsetof(DeviceRequestBlock, WorkMode), 0xFF21);
    sensor.initialise(b.span(), platform::TimePoint{});
    sensor.initialise(b.span(), platform::TimePoint{} + std::chrono::milliseconds(15));
    EXPECT_EQ(readRing(sensor, b, 15).status, 0) << "one scan since the first INIT";
    b.put<uint16_t>(offsetof(DeviceRequestBlock, AcqIntCnts), 20);
    sensor.initialise(b.span(), platform::TimePoint{} + std::chrono::milliseconds(15));
    EXPECT_EQ(readRing(sensor, b, 24).status, 159) << "restarted at 15 ms";
    EXPECT_EQ(sensor.ringWait(platform::TimePoint{}), platform::Duration::zero())
        << "this mode answers at once";
    b.put<uint16_t>(offsetof(DeviceRequestBlock, WorkMode), 3);
    sensor.initialise(b.span(), platform::TimePoint{});
    EXPECT_FALSE(sensor.streaming());
}

} // namespace
