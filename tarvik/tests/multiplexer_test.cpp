// The multiplexer exports against a linked-in board driver, a recorded
// digital output and a fake serial multiplexer: what lands in the slot and
// the request block, what is sent or switched, and the records of refused,
// limited and defaulted values.

#include "board_test_driver.h"
#include "tarvik_test.h"

#include "acquisition/acquire_spectra.h"
#include "core/library_state.h"
#include "hardware/multiplexer.h"
#include "platform/clock.h"
#include "serial/qre_link.h"
#include "serial_sim_fixture.h"
#include "sim/serial_mux.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kMode = "KORAL_ParaSetMUXMode";
constexpr const char* kChannel = "KORAL_ParaSetMUXActiveChannel";
constexpr size_t kImageMuxType = 18;
constexpr size_t kImageMuxAssembly = 19;
constexpr uint16_t kPreCnts = 800;   // 10,000 counts per second at 8 MHz
constexpr uint32_t kTech2Sensor = 5; // minimum 400 µs per multiplexer factor

struct DigOutCall {
    int32_t line;
    int32_t value;
    int32_t id;
    uint32_t boxFlag;
};

// The digital-line export as the optical multiplexer reaches it.
std::vector<DigOutCall> g_digOut;
int32_t g_digOutResult = 0;

int32_t recordDigOutput(int32_t line, int32_t value, int32_t id) {
    g_digOut.push_back({line, value, id, errorBoxFlag()});
    if (g_digOutResult != 0) {
        recordError(id, KORAL_LEVEL_DEVICE, 303, 1005);
    }
    return g_digOutResult;
}

// A simulated serial multiplexer on COM5, on a virtual clock, that slot 1
// opens as the hardware configuration does.
class SimSerialMux {
public:
    explicit SimSerialMux(sim::SerialMuxKind kind = sim::SerialMuxKind::Krd) {
        sim::SerialMuxConfig config;
        config.comPort = 5;
        config.kind = kind;
        config.channels = 4;
        mux = std::make_shared<sim::SerialMux>(config);
        line->setDevice(mux.get());
        EXPECT_EQ(platform::serial::attachFakeSerialLine("COM5", line), 0);
    }
    ~SimSerialMux() {
        CloseMuxPort(1);
        platform::serial::detachSerialPort("COM5");
        line->setDevice(nullptr);
    }
    SimSerialMux(const SimSerialMux&) = delete;
    SimSerialMux& operator=(const SimSerialMux&) = delete;

    void open(DeviceSlot& slot) {
        slot.serialMuxPortNumber = 5;
        ASSERT_EQ(OpenMuxPort(1), 0);
    }
    // (channel, interface ID) of every switch.
    std::vector<std::pair<int32_t, int32_t>> switches() const {
        std::vector<std::pair<int32_t, int32_t>> out;
        for (const auto& s : mux->switches()) {
            out.emplace_back(s.channel, 1);
        }
        return out;
    }

    platform::VirtualClock clock;
    platform::ScopedClock scope{clock};
    std::shared_ptr<sim::SerialMux> mux;
    std::shared_ptr<platform::serial::FakeSerialLine> line =
        std::make_shared<platform::serial::FakeSerialLine>();
};

class MultiplexerTest : public TarvikTest {
protected:
    void SetUp() override {
        TarvikTest::SetUp();
        ASSERT_TRUE(board.ready());
        g_digOut.clear();
        g_digOutResult = 0;
    }
    void TearDown() override {
        resetAcquisitionHooks();
        TarvikTest::TearDown();
    }

    // An initialised slot 1 with a multiplexer in use, whose integration
    // times lie well inside the board's limits.
    DeviceSlot& openBoard(uint32_t type, uint32_t muxType) {
        DeviceSlot& slot = addSlot(
            1, type, type == kTypeSerial ? platform::kPlaceholderDeviceHandle : board.open(0));
        slot.initialised = 1;
        slot.muxType = muxType;
        slot.muxPresent = muxType != 0 ? 1 : 0;
        slot.block()->PreCnts = kPreCnts;
        slot.block()->WorkMode = 2;
        slot.acquisitionIntegrationTime = 100000;
        slot.deletingIntegrationTime = 50000;
        state().interfaceTypeInUse = type;
        return slot;
    }

    // A serial multiplexer whose image says 4 channels.
    DeviceSlot& openSerialMux(uint32_t type = kTypeUsb, uint32_t muxType = kMuxTypeKrd) {
        DeviceSlot& slot = openBoard(type, muxType);
        slot.configuration[kImageMuxType] = static_cast<uint8_t>(muxType);
        // MUX-KRD assembly 2 and MUX-KRL assembly 2 both have 4 channels.
        slot.configuration[kImageMuxAssembly] = 0x20;
        return slot;
    }

    void installDigOutput() { acquisitionHooks().setDigOutput = &recordDigOutput; }

    // An optical multiplexer of two channels in single-channel mode.
    DeviceSlot& openOpticalMux(uint32_t type, int32_t delayMs) {
        DeviceSlot& slot = openBoard(type, kMuxTypeOptical);
        installDigOutput();
        state().mux7wenDelayTime = delayMs;
        slot.block()->MuxMode = 1;
        slot.muxChannels = 2;
        return slot;
    }

    BoardTestDriver board;
};

TEST_F(MultiplexerTest, HighestCountFollowsInterfaceAndMultiplexerType) {
    DeviceSlot& slot = openBoard(kTypeUsb, 7);
    EXPECT_EQ(HighestMuxChannelCount(kTypeIsa, 0, 1), 4);
    EXPECT_EQ(HighestMuxChannelCount(kType111, 9, 1), 4);
    EXPECT_EQ(HighestMuxChannelCount(kTypeSerial, 5, 1), 2);
    EXPECT_EQ(HighestMuxChannelCount(kTypeSerial, 4, 1), 4);
    EXPECT_EQ(HighestMuxChannelCount(kTypeSerial, 8, 1), 1);
    EXPECT_EQ(HighestMuxChannelCount(kTypePci, 5, 1), 8);
    EXPECT_EQ(HighestMuxChannelCount(kTypeUsb2, 4, 1), 4);
    EXPECT_EQ(HighestMuxChannelCount(kTypeBoard5, 6, 1), 2);
    EXPECT_EQ(HighestMuxChannelCount(kTypeUsb, 8, 1), 1);
    EXPECT_EQ(HighestMuxChannelCount(kTypeUsb, 10, 1), 1);
    EXPECT_EQ(HighestMuxChannelCount(2, 5, 1), 1);
    // Serial multiplexers: the count their image names, none without one.
    EXPECT_EQ(HighestMuxChannelCount(kTypeUsb, 7, 1), 0);
    slot.configuration[kImageMuxType] = 7;
    slot.configuration[kImageMuxAssembly] = 0x40;
    EXPECT_EQ(HighestMuxChannelCount(kTypeUsb, 7, 1), 8);
    // The image's own type byte decides how its assembly code reads.
    slot.configuration[kImageMuxType] = 9;
    slot.configuration[kImageMuxAssembly] = 0x10;
    EXPECT_EQ(HighestMuxChannelCount(kTypeSerial, 9, 1), 2);
}

TEST_F(MultiplexerTest, ModeNoneClearsTheMultiplexerAndSends) {
    DeviceSlot& slot = openBoard(kTypePci, 5);
    slot.muxChannels = 4;
    slot.muxSetting = 3;
    slot.qre.muxModeIndex = 1;
    slot.qre.muxChannelIndex = 2;
    slot.block()->MuxMode = 2;
    slot.block()->MuxChanNum = 3;
    slot.block()->MuxSpec = 3;
    EXPECT_EQ(KORAL_ParaSetMUXMode(0, 7, 1), 0);
    EXPECT_EQ(slot.muxPresent, 0u);
    EXPECT_EQ(slot.muxChannels, 1u);
    EXPECT_EQ(slot.muxSetting, 0u);
    EXPECT_EQ(slot.qre.muxModeIndex, 0u);
    EXPECT_EQ(slot.qre.muxChannelIndex, 0u);
    EXPECT_EQ(slot.block()->MuxMode, 0);
    EXPECT_EQ(slot.block()->MuxChanNum, 1);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));

    // Without the in-use word a slot with a multiplexer type has none.
    board.clear();
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 1), -1);
    EXPECT_RECORD(5, 505, 812, 1, kMode);
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 2, 1), -1);
    EXPECT_RECORD(5, 505, 812, 1, kMode);
    EXPECT_THAT(board.codes(), IsEmpty());
    EXPECT_EQ(slot.block()->MuxMode, 0);
}

TEST_F(MultiplexerTest, FailedSendNamesTheExport) {
    openBoard(kTypeUsb, 1);
    board.script({BoardAnswer(platform::kStatusSuccess, 150, 0)});
    EXPECT_EQ(KORAL_ParaSetMUXMode(0, 1, 1), -1);
    EXPECT_STREQ(record().functionName, kMode);
    EXPECT_NE(record().level, 0);
}

TEST_F(MultiplexerTest, UnknownModesAndModeOneOnTheSecondUsbKindAreRefused) {
    DeviceSlot& slot = openBoard(kTypeUsb, 1);
    slot.block()->MuxMode = 1;
    EXPECT_EQ(KORAL_ParaSetMUXMode(3, 1, 1), -1);
    EXPECT_RECORD(5, 505, 807, 1, kMode);
    EXPECT_EQ(KORAL_ParaSetMUXMode(0xFFFFFFFFu, 1, 1), -1);
    EXPECT_RECORD(5, 505, 807, 1, kMode);
    EXPECT_EQ(slot.block()->MuxMode, 1);

    DeviceSlot& usb2 = openBoard(kTypeUsb2, 1);
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 1), -1);
    EXPECT_RECORD(5, 506, 807, 1, kMode);
    EXPECT_THAT(board.codes(), IsEmpty());
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 1, 1), 0);
    EXPECT_EQ(usb2.block()->MuxMode, 2);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
}

TEST_F(MultiplexerTest, CountWithinRangeIsTakenAndSent) {
    DeviceSlot& slot = openBoard(kTypePci, 5);
    slot.muxPresent = 0;
    slot.muxType = 0;
    // No multiplexer: one channel is all there is, and nothing is marked in use.
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 1), 0);
    EXPECT_EQ(slot.muxPresent, 0u);
    slot.muxType = 5;
    slot.muxPresent = 1;
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 8, 1), 0);
    EXPECT_EQ(slot.muxChannels, 8u);
    EXPECT_EQ(slot.qre.muxModeIndex, 1u);
    EXPECT_EQ(slot.block()->MuxMode, 2);
    EXPECT_EQ(slot.block()->MuxChanNum, 1);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT, IOCTL_BOARD_INIT));
}

TEST_F(MultiplexerTest, CountOutOfRangeFallsBackToOneChannelAndStillSends) {
    DeviceSlot& slot = openBoard(kTypePci, 5);
    slot.muxChannels = 4;
    slot.muxSetting = 3;
    slot.qre.muxChannelIndex = 2;
    slot.block()->MuxChanNum = 3;
    slot.block()->MuxSpec = 3;
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 9, 1), -1);
    EXPECT_RECORD(6, 505, 0, 1, kMode);
    EXPECT_EQ(slot.block()->MuxMode, 2);
    EXPECT_EQ(slot.qre.muxModeIndex, 1u);
    EXPECT_EQ(slot.muxChannels, 1u);
    EXPECT_EQ(slot.muxSetting, 0u);
    EXPECT_EQ(slot.qre.muxChannelIndex, 0u);
    EXPECT_EQ(slot.block()->MuxChanNum, 1);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    EXPECT_FALSE(ui->boxes().empty());

    for (int32_t count : {0, -1, INT32_MIN}) {
        EXPECT_EQ(KORAL_ParaSetMUXMode(1, count, 1), -1) << count;
        EXPECT_RECORD(6, 505, 0, 1, kMode);
    }
}

TEST_F(MultiplexerTest, FallbackKeepsTheWarningOverAFailedSend) {
    DeviceSlot& slot = openBoard(kTypeUsb, 6);
    board.script({BoardAnswer(platform::kStatusSuccess, 150, 0)});
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 3, 1), -1);
    EXPECT_RECORD(6, 505, 0, 1, kMode);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    // Switched multiplexers fall back to their first channel.
    EXPECT_EQ(slot.muxSetting, 1u);
    EXPECT_EQ(slot.muxPresent, 1u);
}

TEST_F(MultiplexerTest, PairedBoardMultiplexerKeepsItsSpecificationForSeveralChannels) {
    DeviceSlot& slot = openBoard(kTypeUsb, 4);
    slot.block()->MuxSpec = 2;
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 3, 1), 0);
    EXPECT_EQ(slot.block()->MuxSpec, 2);
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 1, 1), 0);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    slot.block()->MuxSpec = 2;
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 3, 1), 0);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
}

TEST_F(MultiplexerTest, OpticalMultiplexerModeDrivesOutputTwoWithTheBoxOff) {
    DeviceSlot& slot = openBoard(kTypeUsb, kMuxTypeOptical);
    installDigOutput();
    slot.block()->MuxSpec = 2;
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 2, 1), 0);
    EXPECT_EQ(slot.muxChannel, 2);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 1), 0);
    EXPECT_EQ(slot.muxChannel, 1);
    slot.muxChannel = 2;
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 2, 1), 0);
    EXPECT_EQ(slot.muxChannel, 1);
    ASSERT_EQ(g_digOut.size(), 3u);
    EXPECT_EQ(g_digOut[0].value, 1);
    EXPECT_EQ(g_digOut[1].value, 0);
    EXPECT_EQ(g_digOut[2].value, 0);
    for (const DigOutCall& call : g_digOut) {
        EXPECT_EQ(call.line, 2);
        EXPECT_EQ(call.id, 1);
        EXPECT_EQ(call.boxFlag, 0u);
    }
    EXPECT_EQ(errorBoxFlag(), 1u);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT, IOCTL_BOARD_INIT, IOCTL_BOARD_INIT));
}

TEST_F(MultiplexerTest, OpticalMultiplexerModeFailsWithTheOutputsRecord) {
    DeviceSlot& slot = openBoard(kTypeUsb, kMuxTypeOptical);
    // The digital lines' own export drives output 2 on the board.
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 2, 1), 0);
    EXPECT_EQ(slot.muxChannel, 2);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_SET_DIGITAL_OUTPUT, IOCTL_BOARD_INIT));
    EXPECT_EQ(slot.block()->DigitalOutputWord, 0x20000u);
    board.clear();

    installDigOutput();
    g_digOutResult = -1;
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 1), -1);
    EXPECT_RECORD(3, 303, 1005, 1, kMode);
    // The position follows the request even so; nothing went to the board.
    EXPECT_EQ(slot.muxChannel, 1);
    EXPECT_EQ(slot.muxChannels, 1u);
    EXPECT_THAT(board.codes(), IsEmpty());
    EXPECT_EQ(ui->boxes().size(), 1u);
}

TEST_F(MultiplexerTest, SerialMultiplexerModeSwitchesToTheFirstChannel) {
    SimSerialMux mux;
    DeviceSlot& slot = openSerialMux();
    mux.open(slot);
    slot.block()->MuxSpec = 3;
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 4, 1), 0);
    EXPECT_THAT(mux.switches(), ElementsAre(std::pair{1, 1}));
    EXPECT_EQ(slot.muxChannel, 1);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    EXPECT_EQ(slot.muxChannels, 4u);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    // Beyond the image's channel count: one channel, no switch.
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 5, 1), -1);
    EXPECT_RECORD(6, 505, 0, 1, kMode);
    EXPECT_EQ(mux.switches().size(), 1u);
}

TEST_F(MultiplexerTest, SerialMultiplexerFailuresMapToTheirInfos) {
    SimSerialMux mux;
    DeviceSlot& slot = openSerialMux();
    mux.open(slot);
    slot.muxChannel = 3;
    const std::function<void()> faults[] = {
        [&] { mux.mux->setSilent(true); },      // no echo: -2
        [&] { mux.line->writeError = EIO; },    // the port's error + 1000
        [&] { mux.mux->setNextEcho("error"); }, // refused: -1
    };
    const int32_t infos[] = {861, 1000 + EIO, 0};
    for (size_t i = 0; i < std::size(faults); ++i) {
        faults[i]();
        EXPECT_EQ(KORAL_ParaSetMUXMode(1, 2, 1), -1) << i;
        EXPECT_RECORD(4, 512, infos[i], 1, kMode);
        mux.mux->setSilent(false);
        mux.line->writeError = 0;
    }
    // The position is the channel last switched to.
    EXPECT_EQ(slot.muxChannel, 3);
    EXPECT_THAT(board.codes(), IsEmpty());
}

TEST_F(MultiplexerTest, SerialMultiplexerWithoutItsPortFails) {
    DeviceSlot& slot = openSerialMux();
    slot.serialMuxPortNumber = 5; // named, never opened
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 2, 1), -1);
    EXPECT_RECORD(4, 512, 1000 + EBADF, 1, kMode);
}

TEST_F(MultiplexerTest, SeveralChannelsApplyTheIntegrationTimesAnew) {
    DeviceSlot& slot = openBoard(kTypeUsb, 5);
    slot.sensorType[0] = kTech2Sensor;
    slot.minimumClampReport = 1;
    slot.acquisitionIntegrationTime = 1000;
    ASSERT_EQ(KORAL_ParaSetMUXMode(2, 4, 1), 0);
    board.clear();
    // Channel 3 of a type-5 multiplexer triples the sensor's minimum:
    // 3 x 400 + 100 µs, 13 counts.
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(3, 1), -1);
    EXPECT_RECORD(7, 505, 816, 1, kChannel);
    EXPECT_EQ(slot.block()->AcqIntCnts, 13);
    EXPECT_EQ(slot.acquisitionIntegrationTime, 1300u);
    EXPECT_EQ(slot.block()->DelIntCnts, 500);
    // Only the acquisition time is sent outside the cleaning work mode.
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));

    // The mode setter does the same while the board is on a later channel.
    board.clear();
    slot.acquisitionIntegrationTime = 2000;
    EXPECT_EQ(KORAL_ParaSetMUXMode(2, 4, 1), 0);
    EXPECT_EQ(slot.block()->AcqIntCnts, 20);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
}

TEST_F(MultiplexerTest, AdaptedDeletingTimeWarnsOnlyInTheCleaningWorkMode) {
    DeviceSlot& slot = openBoard(kTypeUsb, 5);
    slot.block()->MuxMode = 2;
    slot.muxChannels = 4;
    slot.deletingIntegrationTime = 7000000; // above the 6.5 s the prescaler allows
    slot.block()->WorkMode = 1;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), -1);
    EXPECT_RECORD(7, 505, 817, 1, kChannel);
    EXPECT_EQ(slot.deletingIntegrationTime, 6500000u);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT, IOCTL_BOARD_INIT));

    // Both adapted: the deleting time's warning stands.
    board.clear();
    slot.deletingIntegrationTime = 7000000;
    slot.acquisitionIntegrationTime = 8000000;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), -1);
    EXPECT_RECORD(7, 505, 817, 1, kChannel);
    EXPECT_EQ(slot.acquisitionIntegrationTime, 6500000u);

    // In other work modes the deleting time is not used: its limit is dropped
    // and the record stays what it was.
    board.clear();
    slot.block()->WorkMode = 2;
    slot.deletingIntegrationTime = 7000000;
    recordError(9, 1, 2, 3);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), 0);
    EXPECT_EQ(record().level, 1);
    EXPECT_EQ(record().interfaceId, 9);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
}

TEST_F(MultiplexerTest, BoardSwitchedChannelNamesItsSpecification) {
    DeviceSlot& slot = openBoard(kTypeUsb, 2);
    slot.block()->MuxMode = 2;
    slot.muxChannels = 4;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(3, 1), 0);
    EXPECT_EQ(slot.block()->MuxChanNum, 3);
    EXPECT_EQ(slot.qre.muxChannelIndex, 2u);
    EXPECT_EQ(slot.muxSetting, 3u);
    EXPECT_EQ(slot.block()->MuxSpec, 2);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(1, 1), 0);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    slot.muxType = 3;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(4, 1), 0);
    EXPECT_EQ(slot.block()->MuxSpec, 4);
    slot.block()->MuxMode = 1;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(4, 1), 0);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    EXPECT_EQ(slot.block()->MuxChanNum, 4);
}

TEST_F(MultiplexerTest, BoardSwitchedChannelOutOfRangeGoesBackToTheFirst) {
    DeviceSlot& slot = openBoard(kTypeUsb, 1);
    slot.block()->MuxMode = 2;
    slot.muxChannels = 4;
    slot.muxSetting = 3;
    slot.block()->MuxChanNum = 3;
    slot.qre.muxChannelIndex = 2;
    for (int32_t channel : {0, 5, -1}) {
        board.clear();
        EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(channel, 1), -1) << channel;
        EXPECT_RECORD(6, 505, 0, 1, kChannel);
        EXPECT_EQ(slot.block()->MuxChanNum, 1);
        EXPECT_EQ(slot.qre.muxChannelIndex, 0u);
        EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    }
}

TEST_F(MultiplexerTest, ChannelWithoutMultiplexerModeMustBeTheFirst) {
    DeviceSlot& slot = openBoard(kTypeUsb, 1);
    slot.block()->MuxChanNum = 2;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, kChannel);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(0, 1), -1);
    EXPECT_THAT(board.codes(), IsEmpty());
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(1, 1), 0);
    EXPECT_EQ(slot.block()->MuxChanNum, 1);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));

    slot.block()->MuxMode = 3;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(1, 1), -1);
    EXPECT_RECORD(5, 505, 807, 1, kChannel);
}

TEST_F(MultiplexerTest, SerialMultiplexerChannelIsCorrectedAndSwitched) {
    SimSerialMux mux;
    DeviceSlot& slot = openSerialMux();
    mux.open(slot);
    ASSERT_EQ(KORAL_ParaSetMUXMode(1, 4, 1), 0);
    const size_t before = mux.switches().size();
    board.clear();

    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(0, 1), -1);
    EXPECT_RECORD(7, 505, 0, 1, kChannel);
    EXPECT_EQ(slot.muxSetting, 1u);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(9, 1), -1);
    EXPECT_EQ(slot.muxSetting, 4u);
    EXPECT_EQ(slot.muxChannel, 4);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(3, 1), 0);
    EXPECT_EQ(slot.muxChannel, 3);
    EXPECT_EQ(slot.block()->MuxChanNum, 1);
    EXPECT_EQ(slot.block()->MuxSpec, 1);
    // With several channels the acquisition steps through them from the first.
    slot.block()->MuxMode = 2;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), 0);
    EXPECT_EQ(slot.muxSetting, 2u);
    const auto switches = mux.switches();
    EXPECT_THAT(std::vector(switches.begin() + static_cast<long>(before), switches.end()),
                ElementsAre(std::pair{4, 1}, std::pair{3, 1}, std::pair{1, 1}));
    EXPECT_THAT(board.codes(), IsEmpty());

    mux.mux->setSilent(true);
    slot.block()->MuxMode = 1;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), -1);
    EXPECT_RECORD(4, 512, 861, 1, kChannel);
}

TEST_F(MultiplexerTest, OpticalChannelSwitchWaitsTheDelayAfterASwitch) {
    platform::VirtualClock clock;
    platform::ScopedClock scope(clock);
    DeviceSlot& slot = openOpticalMux(kTypeUsb, 150);
    const platform::TimePoint start = clock.now();
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), 0);
    EXPECT_EQ(slot.muxChannel, 2);
    EXPECT_EQ(clock.now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(3, 1), -1);
    EXPECT_RECORD(7, 505, 0, 1, kChannel);
    slot.block()->MuxMode = 2;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), 0);
    EXPECT_EQ(slot.muxChannel, 1);
    ASSERT_EQ(g_digOut.size(), 3u);
    EXPECT_EQ(g_digOut[0].value, 1);
    EXPECT_EQ(g_digOut[2].value, 0);

    // A failed switch leaves the position and does not wait.
    g_digOutResult = -1;
    slot.muxChannel = 2;
    const platform::TimePoint before = clock.now();
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(1, 1), -1);
    EXPECT_RECORD(3, 303, 1005, 1, kChannel);
    EXPECT_EQ(slot.muxChannel, 2);
    EXPECT_EQ(clock.now(), before);
    EXPECT_THAT(board.codes(), IsEmpty());
}

TEST_F(MultiplexerTest, SerialElectronicsWaitTheirSwitchDelay) {
    platform::VirtualClock clock;
    platform::ScopedClock scope(clock);
    DeviceSlot& slot = openOpticalMux(kTypeSerial, 40);
    const platform::TimePoint start = clock.now();
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), 0);
    EXPECT_EQ(clock.now() - start, std::chrono::milliseconds(40));

    // A serial multiplexer without a port behind electronics in work mode 6
    // waits for a continuous scan to run through: with blocks at zero the
    // estimate is 8,000 ms, the delay 5 x (2 x (2,000 - 2,000) + 200).
    slot.muxType = kMuxTypeKrd;
    slot.configuration[kImageMuxType] = kMuxTypeKrd;
    slot.configuration[kImageMuxAssembly] = 0x20;
    ASSERT_EQ(AllocQreSlotBuffers(1), 1);
    slot.muxChannels = 4;
    slot.block()->WorkMode = 6;
    const platform::TimePoint before = clock.now();
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(3, 1), 0);
    EXPECT_EQ(slot.muxChannel, 3);
    EXPECT_EQ(clock.now() - before, std::chrono::milliseconds(1000));
}

TEST_F(MultiplexerTest, SerialElectronicsGetTheWorkModeParameters) {
    SerialLinkSim serial;
    const sim::SerialUnitModel& unit = serial.addModelUnit();
    DeviceSlot& slot = openBoard(kTypeSerial, 2);
    ASSERT_TRUE(serial.openPort());
    serial.prepareSlot(1);
    slot.muxChannels = 4;
    // Electronics that do not answer: the parameters cannot go out.
    serial.electronics.unit(1)->setPresent(false);
    EXPECT_EQ(KORAL_ParaSetMUXMode(0, 1, 1), -1);
    EXPECT_STREQ(record().functionName, kMode);
    EXPECT_EQ(record().code, qre::kErrComRepeatLimit);
    EXPECT_EQ(slot.muxPresent, 0u);
    EXPECT_EQ(slot.block()->MuxChanNum, 1);
    serial.electronics.unit(1)->setPresent(true);
    EXPECT_EQ(KORAL_ParaSetMUXMode(0, 1, 1), 0);
    EXPECT_EQ(unit.takenSettings()[21], 18); // work mode 2's parameter set
    EXPECT_THAT(board.codes(), IsEmpty());
}

TEST_F(MultiplexerTest, FrameRefusesUninitialisedAndMissingSlots) {
    DeviceSlot& slot = openBoard(kTypeUsb, 1);
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kMode);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(1, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kChannel);
    slot.initialised = 0;
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 1), -1);
    EXPECT_STREQ(record().functionName, kMode);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(1, 1), -1);
    EXPECT_STREQ(record().functionName, kChannel);
    EXPECT_EQ(KORAL_ParaSetMUXMode(1, 1, 5), -1);
    EXPECT_THAT(board.codes(), IsEmpty());
}

} // namespace
} // namespace tarvik::testing
