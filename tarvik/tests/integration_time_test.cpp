// Integration time and work mode against a linked-in board driver: the
// counts the board gets, the time written back, the limits kept, the records
// of limited values, and the work-mode gates.

#include "board_driver_test.h"

#include "acquisition/integration_time.h"
#include "core/lifecycle_seams.h"
#include "core/locks.h"
#include "serial/qre_link.h"
#include "serial_sim_fixture.h"

#include <gmock/gmock.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

namespace tarvik::testing {
namespace {

using ::testing::DoubleEq;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kSetTime = "KORAL_ParaSetIntegrationTime";
constexpr const char* kWorkMode = "KORAL_ParaSetSensorWorkMode";

class IntegrationTimeTest : public BoardDriverTest {
protected:
    // An initialised board of a type with the parameter defaults of an open
    // (PreCnts 800 on types 4, 5, 6 and 8), sensor type 0 with 1024 pixels.
    DeviceSlot& openBoard(uint32_t type = kTypeUsb, uint32_t sensor = 0) {
        state().interfaceTypeInUse = type;
        DeviceSlot& slot = addSlot(1, type, board.open(0));
        SetSlotDefaults(1, 1);
        slot.initialised = 1;
        slot.sensorType.fill(sensor);
        slot.block()->NumberPixel = 1024;
        state().actualInterfaceId = 1;
        resetErrorState();
        return slot;
    }

    // ApplyIntegrationTime as the life cycle calls it, under the DeviceLock.
    int32_t apply(double* ms, int32_t kind = kIntegrationKindAcquisition, int32_t send = 0) {
        std::lock_guard guard(deviceLock());
        return ApplyIntegrationTime(ms, kind, send);
    }
};

TEST_F(IntegrationTimeTest, UsbBoardCountsHundredMicrosecondStepsAndWritesBackWhatItRuns) {
    DeviceSlot& slot = openBoard();
    double ms = 1.23;
    ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_THAT(ms, DoubleEq(1.2));
    EXPECT_EQ(slot.block()->AcqIntCnts, 12);
    EXPECT_EQ(slot.acquisitionIntegrationTime, 1230u);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    double minimum = 0;
    double maximum = 0;
    ASSERT_EQ(KORAL_ParaGetIntegrationTimeLimits(&minimum, &maximum, 1), 0);
    // Only the board's 100 µs (one count); 65,000 counts at most.
    EXPECT_THAT(minimum, DoubleEq(0.1));
    EXPECT_THAT(maximum, DoubleEq(6500.0));
    // Every whole millisecond is a whole number of counts: it comes back as
    // it was asked for, not a rounding error below.
    std::vector<int> changed;
    for (int whole = 1; whole <= 6500; ++whole) {
        ms = whole;
        ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
        if (ms != whole) {
            changed.push_back(whole);
        }
    }
    EXPECT_THAT(changed, IsEmpty());
}

TEST_F(IntegrationTimeTest, OnlyMoreThanOneMicrosecondOutsideALimitCounts) {
    DeviceSlot& slot = openBoard();
    double ms = 0.099; // 1 µs below the minimum: taken as it is
    ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_EQ(slot.block()->AcqIntCnts, 1);
    ms = 6500.001;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_EQ(slot.block()->AcqIntCnts, 65000);

    ms = 0.098;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(7, 505, 0, 1, kSetTime);
    EXPECT_THAT(ms, DoubleEq(0.1));
    ms = 6500.002;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(7, 505, 0, 1, kSetTime);
    EXPECT_THAT(ms, DoubleEq(6500.0));
    // A limited value still reached the board.
    EXPECT_EQ(board.codes().size(), 4u);
    EXPECT_EQ(slot.block()->AcqIntCnts, 65000);
}

TEST_F(IntegrationTimeTest, WithoutTheReportFlagOnlyTheMaximumIsReported) {
    DeviceSlot& slot = openBoard();
    ASSERT_EQ(slot.minimumClampReport, 0);
    double ms = 0.0;
    EXPECT_EQ(apply(&ms), 0);
    EXPECT_THAT(ms, DoubleEq(0.1));
    EXPECT_EQ(record().level, 0);
    ms = 7000.0;
    EXPECT_EQ(apply(&ms), kIntegrationLimited);
    EXPECT_EQ(record().level, 7);
    EXPECT_THAT(ms, DoubleEq(6500.0));
    EXPECT_THAT(board.codes(), IsEmpty()); // nothing sent without the send flag
}

TEST_F(IntegrationTimeTest, NumbersThatAreNoTimesAreRefusedOrLimited) {
    DeviceSlot& slot = openBoard();
    double ms = std::nan("");
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, kSetTime);
    EXPECT_TRUE(std::isnan(ms));
    EXPECT_THAT(board.codes(), IsEmpty());

    ms = std::numeric_limits<double>::infinity();
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(7, 505, 0, 1, kSetTime);
    EXPECT_THAT(ms, DoubleEq(6500.0));
    ms = -1e300;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_THAT(ms, DoubleEq(0.1));
    EXPECT_EQ(slot.block()->AcqIntCnts, 1);

    EXPECT_EQ(KORAL_ParaSetIntegrationTime(nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, kSetTime);
}

TEST_F(IntegrationTimeTest, APrescalerWithoutACountRateIsRefusedBeforeTheBoardIsAsked) {
    DeviceSlot& slot = openBoard();
    slot.block()->PreCnts = 0;
    double ms = 10.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, kSetTime);
    // 8 MHz / 100 would not fit the 16-bit count rate.
    slot.block()->PreCnts = 100;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_THAT(board.codes(), IsEmpty());
    EXPECT_THAT(ms, DoubleEq(10.0));
}

TEST_F(IntegrationTimeTest, BoardTypesHaveTheirClockAndMinimum) {
    // Types 4 and 5: 8 MHz, at least two counts.
    DeviceSlot& slot = openBoard(kTypePci);
    double ms = 0.1;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_EQ(slot.block()->AcqIntCnts, 2);
    EXPECT_THAT(ms, DoubleEq(0.2));
    // Type 1: 4 MHz with PreCnts 400 (defaults of other types), 200 µs added.
    slot.boardType = kTypeIsa;
    slot.block()->PreCnts = 400;
    ms = 0.0; // raised to the minimum, reported since an export set the flag
    EXPECT_EQ(apply(&ms), kIntegrationLimited);
    EXPECT_THAT(ms, DoubleEq(0.2));
    EXPECT_EQ(slot.block()->AcqIntCnts, 2);
    // Unknown types are refused without a record.
    slot.boardType = 2;
    resetErrorState();
    EXPECT_EQ(apply(&ms), -1);
    EXPECT_EQ(record().level, 0);
}

TEST_F(IntegrationTimeTest, LongTimeFormsSwapThePrescalerAndTheShortFormRestoresIt) {
    DeviceSlot& slot = openBoard();
    int32_t ms = 70000;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime2(&ms, 1), -1);
    EXPECT_RECORD(7, 505, 0, 1, "KORAL_ParaSetIntegrationTime2");
    EXPECT_EQ(ms, 65000);
    EXPECT_EQ(slot.block()->PreCnts, 8000);
    EXPECT_EQ(slot.block()->AcqIntCnts, 65000);
    EXPECT_EQ(slot.longTimeMode, 8);
    EXPECT_EQ(slot.savedPreCnts, 800);

    // Form 3 on a generation-1 board needs firmware 204 and driver 2011.
    slot.block()->FirmwareVersion = 203;
    slot.block()->DriverVersion = 2011;
    ms = 1000;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime3(&ms, 1), -1);
    EXPECT_RECORD(5, 310, 837, 1, "KORAL_ParaSetIntegrationTime3");
    slot.block()->FirmwareVersion = 204;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime3(&ms, 1), 0);
    EXPECT_EQ(ms, 1000);
    EXPECT_EQ(slot.block()->PreCnts, 64000);
    EXPECT_EQ(slot.block()->AcqIntCnts, 125); // 8 ms counts
    EXPECT_EQ(slot.savedPreCnts, 800);        // the value before any long-time form

    double shortMs = 1.23;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&shortMs, 1), 0);
    EXPECT_EQ(slot.block()->PreCnts, 800);
    EXPECT_EQ(slot.savedPreCnts, 0);
    EXPECT_EQ(slot.longTimeMode, 0);
    EXPECT_EQ(slot.block()->AcqIntCnts, 12);

    slot.boardType = kTypeUsb2;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime2(&ms, 1), -1);
    EXPECT_RECORD(5, 804, 0, 1, "KORAL_ParaSetIntegrationTime2");
}

TEST_F(IntegrationTimeTest, Type22SnapsShortTimesToItsStepsAndCountsMicroseconds) {
    DeviceSlot& slot = openBoard(kTypeUsb2, 22);
    double ms = 0.03; // between 20 and 50 µs: the nearer
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_THAT(ms, DoubleEq(0.02));
    EXPECT_EQ(slot.block()->AcqIntCnts, 20);
    EXPECT_NE(slot.block()->RequestFlags & KORAL_RF_INTTIME, 0u);
    ms = 0.035; // a tie takes the larger
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_EQ(slot.block()->AcqIntCnts, 50);
    ms = 0.008; // 2 µs below 10: snapped and reported
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(7, 505, 0, 1, kSetTime);
    EXPECT_EQ(slot.block()->AcqIntCnts, 10);

    // Above 20 ms the board counts its clock, in whole 20 ms steps.
    ms = 25.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_EQ(slot.block()->RequestFlags & KORAL_RF_INTTIME, 0u);
    EXPECT_EQ(slot.block()->AcqIntCnts, 200);
    EXPECT_THAT(ms, DoubleEq(20.0));
    ms = 30.0; // halves go up
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_THAT(ms, DoubleEq(40.0));
    ms = 7000.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_THAT(ms, DoubleEq(6500.0));
}

TEST_F(IntegrationTimeTest, DeletingTimeHasItsOwnCountsAndIsNoTypeEightFunction) {
    DeviceSlot& slot = openBoard();
    double ms = 2.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTimeForDeleting(&ms, 1), 0);
    EXPECT_EQ(slot.block()->DelIntCnts, 20);
    EXPECT_EQ(slot.deletingIntegrationTime, 2000u);
    EXPECT_EQ(slot.block()->AcqIntCnts, 0);

    state().interfaceTypeInUse = kTypeUsb2;
    EXPECT_EQ(KORAL_ParaSetIntegrationTimeForDeleting(&ms, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_ParaSetIntegrationTimeForDeleting");
    EXPECT_EQ(apply(&ms, 2), -1); // no third kind
}

TEST_F(IntegrationTimeTest, LimitsAreUnknownUntilATimeWasApplied) {
    openBoard();
    double minimum = 5;
    double maximum = 5;
    EXPECT_EQ(KORAL_ParaGetIntegrationTimeLimits(&minimum, &maximum, 1), -1);
    EXPECT_RECORD(5, 506, 808, 1, "KORAL_ParaGetIntegrationTimeLimits");
    EXPECT_EQ(minimum, -1.0);
    EXPECT_EQ(maximum, -1.0);
    EXPECT_EQ(KORAL_ParaGetIntegrationTimeLimits(&minimum, &maximum, 2), -1);
    EXPECT_RECORD(5, 504, 0, 2, "KORAL_ParaGetIntegrationTimeLimits");
}

TEST_F(IntegrationTimeTest, AreaSensorMinimumFollowsPixelsRowsAndTheMultiplexer) {
    DeviceSlot& slot = openBoard(kTypeUsb, 7);
    slot.clockRate = 750000; // below 1 MHz: 16 and 3 cycles
    slot.pixelCount[0] = 1044;
    slot.rows[0] = 1;
    slot.fourthSensorWord[0] = 1;
    double ms = 0.0;
    EXPECT_EQ(apply(&ms), 0);
    // (16 + 4 * 1044 + 3 + 3) / 0.75 MHz = 5597 µs, + 100, up to 100 µs steps.
    EXPECT_THAT(ms, DoubleEq(5.7));
    slot.muxType = 1;
    slot.block()->MuxMode = 2;
    slot.block()->MuxChanNum = 2;
    ms = 0.0;
    EXPECT_EQ(apply(&ms), 0);
    EXPECT_THAT(ms, DoubleEq(11.3));
    // The library's minimum caps the computed one.
    state().minimumIntegrationTime = 3000;
    ms = 0.0;
    EXPECT_EQ(apply(&ms), 0);
    EXPECT_THAT(ms, DoubleEq(3.0));
    slot.clockRate = 0;
    EXPECT_EQ(apply(&ms), -1);
}

TEST_F(IntegrationTimeTest, FileDescribedSensorTakesItsClockFromTheDescription) {
    DeviceSlot& slot = openBoard(kTypeUsb, 128);
    double ms = 5.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(4, 311, 0, 1, kSetTime);

    // 1 MHz over 100: 10,000 counts a second; technology 2 with a read-out
    // offset of (10 * 5 + 50) * 1 / 1e6 s = 100 µs.
    slot.sensorFileLoaded = 1;
    slot.sensorTechnology = 2;
    slot.sensorCoefficients = {1e6, 100, 0, 20, 10, 5, 50, 1, 1e6, 0, 0};
    ms = 5.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_EQ(slot.block()->AcqIntCnts, 51);
    EXPECT_THAT(ms, DoubleEq(5.0));

    // A description that would divide by zero is refused, not computed.
    slot.sensorCoefficients[1] = 0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(4, 311, 0, 1, kSetTime);
    slot.sensorCoefficients = {1e6, 100, 0, 20, 10, 5, 50, 1, 0, 0, 0};
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_RECORD(4, 311, 0, 1, kSetTime);
    slot.sensorCoefficients[8] = 1e6;
    slot.sensorTechnology = 9;
    resetErrorState();
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_EQ(record().code, 0); // an unknown technology leaves no record of its own
}

TEST_F(IntegrationTimeTest, AFailedSendKeepsTheNewValuesForTheNextSend) {
    DeviceSlot& slot = openBoard();
    board.script({BoardAnswer(platform::kStatusSuccess, 150, 0)});
    double ms = 3.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), -1);
    EXPECT_EQ(slot.block()->AcqIntCnts, 30);
    EXPECT_EQ(slot.acquisitionIntegrationTime, 3000u);
}

TEST_F(IntegrationTimeTest, SerialElectronicsLimitBySensorType) {
    DeviceSlot& slot = openBoard(kTypeSerial, 3);
    double ms = 2000.0;
    EXPECT_EQ(apply(&ms), kIntegrationLimited);
    EXPECT_THAT(ms, DoubleEq(1500.0));
    EXPECT_EQ(slot.acquisitionIntegrationTime, 1500000u);
    ms = 0.05;
    EXPECT_EQ(apply(&ms, kIntegrationKindDeleting), kIntegrationLimited);
    EXPECT_THAT(ms, DoubleEq(0.1));
    EXPECT_EQ(slot.deletingIntegrationTime, 100u);
    // Line sensors: 0.75 ms per 128 pixels on front end 3 (1024 pixels: 6 ms),
    // twice that for a two-channel multiplexer in multi-channel mode.
    slot.sensorType.fill(0);
    slot.frontEndType = 3;
    ms = 0.0;
    EXPECT_EQ(apply(&ms), kIntegrationLimited);
    EXPECT_THAT(ms, DoubleEq(6.0));
    slot.muxType = 2;
    slot.muxChannels = 2;
    slot.qre.muxModeIndex = 1;
    ms = 0.0;
    EXPECT_EQ(apply(&ms), kIntegrationLimited);
    EXPECT_THAT(ms, DoubleEq(12.0));
    ms = 20.0; // within the limits: kept as asked
    EXPECT_EQ(apply(&ms), 0);
    EXPECT_THAT(ms, DoubleEq(20.0));
    // A limited time is reported as limited whatever the send gave.
    ms = 1e9;
    {
        std::lock_guard guard(deviceLock());
        EXPECT_EQ(ApplyIntegrationTime(&ms, kIntegrationKindAcquisition, 1), kIntegrationLimited);
    }
    slot.sensorType.fill(7);
    EXPECT_EQ(apply(&ms), -1);
    EXPECT_EQ(record().info, 801);
}

TEST_F(IntegrationTimeTest, SerialWorkModesSendTheirOwnRecordAndAdaptTheAveraging) {
    SerialLinkSim serial;
    const sim::SerialUnitModel& unit = serial.addModelUnit();
    DeviceSlot& slot = openBoard(kTypeSerial, 3);
    ASSERT_TRUE(serial.openPort());
    serial.prepareSlot(1);
    // The operating mode the electronics took with the last parameter set.
    auto mode = [&unit] { return unit.takenSettings()[21]; };
    slot.qre.averageNumber = 5;
    slot.averageNumber = 5;
    // Single-scan modes take no averaging: sent with 1, reported afterwards.
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 1, 1), -1);
    EXPECT_RECORD(6, 505, 836, 1, kWorkMode);
    EXPECT_EQ(slot.qre.averageNumber, 1u);
    EXPECT_EQ(slot.averageNumber, 1u);
    EXPECT_EQ(slot.block()->WorkMode, 1);
    EXPECT_EQ(mode(), 18);
    // Work mode 3 by the serial firmware's version; 6 sends the older record.
    slot.qre.setFirmwareVersion(314);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 3, 1), 0);
    EXPECT_EQ(mode(), 34);
    slot.qre.setFirmwareVersion(315);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 3, 1), 0);
    EXPECT_EQ(mode(), 4);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 6, 1), 0);
    EXPECT_EQ(mode(), 34);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 7, 1), -1);
    EXPECT_RECORD(5, 505, 805, 1, kWorkMode);

    // A failed send is the call's result; nothing about the averaging then.
    serial.electronics.unit(1)->setPresent(false);
    slot.qre.averageNumber = 4;
    resetErrorState();
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 2, 1), -1);
    EXPECT_RECORD(1, -204, 0, 1, kWorkMode);
    // A time within the limits is sent with the work mode's record.
    serial.electronics.unit(1)->setPresent(true);
    double ms = 20.0;
    EXPECT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    EXPECT_EQ(mode(), 18);
    EXPECT_EQ(unit.takenSettings()[16] | unit.takenSettings()[17] << 8, 20000);
}

TEST_F(IntegrationTimeTest, WorkModesOfUsbBoardsAndTheirVersionGates) {
    DeviceSlot& slot = openBoard();
    slot.block()->DriverVersion = 800;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 7, 1), -1);
    EXPECT_RECORD(5, 310, 805, 0, kWorkMode);
    EXPECT_EQ(ui->boxes().size(), 1u);
    // Flag bit 0: the same failure without a box.
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(1, 7, 1), -1);
    EXPECT_EQ(ui->boxes().size(), 1u);

    slot.block()->DriverVersion = 801;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 7, 1), 0);
    EXPECT_EQ(slot.block()->WorkMode, 7);
    EXPECT_EQ(slot.block()->RingCapacity, 12);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 6, 1), 0);
    EXPECT_EQ(slot.block()->RingCapacity, 1);
    for (const uint32_t type : {kTypePci, kTypeBoard5, kTypeUsb}) {
        slot.boardType = type;
        for (const int32_t mode : {0xFF01, 0xFF02}) {
            EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, mode, 1), 0) << type << " " << mode;
            EXPECT_EQ(slot.block()->RingCapacity, 0);
        }
    }
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 0xFF30, 1), -1);
    EXPECT_RECORD(5, 505, 805, 1, kWorkMode);
    slot.boardType = kTypePci;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 0xFF03, 1), -1);
    EXPECT_RECORD(5, 505, 805, 1, kWorkMode);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 0xFF22, 1), -1);
    EXPECT_RECORD(5, 310, 805, 0, kWorkMode);
    slot.block()->DriverVersion = 1224;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 0xFF26, 1), -1);
    slot.block()->DriverVersion = 1225;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 0xFF26, 1), 0);
    EXPECT_EQ(slot.block()->BurstBlocks, 1);
}

TEST_F(IntegrationTimeTest, WorkModeFlagsAndOtherBoardTypes) {
    DeviceSlot& slot = openBoard();
    // Flag bit 1 needs a generation-2 board.
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(2, 3, 1), -1);
    EXPECT_RECORD(5, 310, 841, 1, kWorkMode);
    slot.block()->HardwareWord = 0x2000;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 3, 1), 0);
    EXPECT_NE(slot.block()->RequestFlags & KORAL_RF_GEN2_INIT, 0u);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(2, 3, 1), 0);
    EXPECT_EQ(slot.block()->RequestFlags & KORAL_RF_GEN2_INIT, 0u);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(2, 6, 1), -1);

    slot.boardType = kTypeUsb2;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 2, 1), -1);
    EXPECT_RECORD(5, 505, 805, 1, kWorkMode);
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 5, 1), 0);
    slot.boardType = 2;
    EXPECT_EQ(KORAL_ParaSetSensorWorkMode(0, 3, 1), -1);
    EXPECT_RECORD(5, 804, 0, 1, kWorkMode);
    // Every accepted mode went to the board.
    for (const auto& request : board.requests()) {
        EXPECT_EQ(request.code, IOCTL_BOARD_INIT);
    }
    EXPECT_EQ(board.requests().back().workMode, 5);
}

} // namespace
} // namespace tarvik::testing
