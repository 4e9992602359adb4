// The measurement-parameter setters against a linked-in board driver: what
// goes into the request block, what is sent, and the records of limited or
// defaulted values.

#include "board_driver_test.h"

#include "acquisition/measurement_parameters.h"
#include "core/lifecycle_seams.h"

#include <gmock/gmock.h>

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kAverage = "KORAL_ParaSetAverageNumber";
constexpr const char* kFlash2 = "KORAL_ParaSetHardwareFlashMode2";

class MeasurementParametersTest : public BoardDriverTest {
protected:
    DeviceSlot& openBoard(uint32_t type = kTypeUsb) {
        DeviceSlot& slot = addSlot(1, type, board.open(0));
        slot.initialised = 1;
        state().interfaceTypeInUse = type;
        return slot;
    }
};

TEST_F(MeasurementParametersTest, LimitsAndNullOutputs) {
    openBoard();
    uint32_t limit = 0;
    EXPECT_EQ(KORAL_ParaGetAverageNumberLimit(&limit, 1), 0);
    EXPECT_EQ(limit, 100u);
    EXPECT_EQ(KORAL_ParaGetBurstNumberLimit(&limit, 1), 0);
    EXPECT_EQ(limit, 30000u);
    EXPECT_EQ(KORAL_ParaGetBurstNumberLimit(nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 842, 1, "KORAL_ParaGetBurstNumberLimit");
    EXPECT_EQ(KORAL_ParaGetAverageNumberLimit(nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 842, 1, "KORAL_ParaGetAverageNumberLimit");
}

TEST_F(MeasurementParametersTest, IntensityLimitsFollowFrontEndAndBoard) {
    DeviceSlot& slot = openBoard();
    int32_t minimum = 1;
    int32_t maximum = 1;
    slot.frontEndType = 3;
    ASSERT_EQ(KORAL_ParaGetIntensityLimits(&minimum, &maximum, 1), 0);
    EXPECT_EQ(minimum, -32768);
    EXPECT_EQ(maximum, 32767);
    slot.frontEndType = 9;
    ASSERT_EQ(KORAL_ParaGetIntensityLimits(&minimum, &maximum, 1), 0);
    EXPECT_EQ(minimum, 0);
    EXPECT_EQ(maximum, 65536);
    slot.frontEndType = 3;
    slot.actualConfiguration.interfaceType = kTypeUsb2;
    ASSERT_EQ(KORAL_ParaGetIntensityLimits(&minimum, &maximum, 1), 0);
    EXPECT_EQ(maximum, 65536);
    EXPECT_EQ(KORAL_ParaGetIntensityLimits(nullptr, &maximum, 1), -1);
}

TEST_F(MeasurementParametersTest, AverageNumberGoesIntoTheBlockAndIsSent) {
    DeviceSlot& slot = openBoard();
    int32_t value = 25;
    EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 1), 0);
    EXPECT_EQ(value, 25);
    EXPECT_EQ(slot.averageNumber, 25u);
    EXPECT_EQ(slot.block()->NumScans, 25);
    EXPECT_EQ(slot.block()->AcquisitionMode, 1);
    value = 1;
    EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 1), 0);
    EXPECT_EQ(slot.block()->AcquisitionMode, 0);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT, IOCTL_BOARD_INIT));
}

TEST_F(MeasurementParametersTest, AverageNumberOutOfRangeIsLimitedSentAndReported) {
    DeviceSlot& slot = openBoard();
    for (auto [given, limited] : {std::pair{0, 1}, {-5, 1}, {101, 100}, {INT32_MIN, 1}}) {
        board.clear();
        int32_t value = given;
        EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 1), -1) << given;
        EXPECT_EQ(value, limited);
        EXPECT_EQ(slot.block()->NumScans, limited);
        EXPECT_RECORD(7, 505, 836, 1, kAverage);
        EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    }
    EXPECT_FALSE(ui->boxes().empty());
}

TEST_F(MeasurementParametersTest, AverageNumberRefusesNullAbsentSlotAndBadType) {
    openBoard();
    EXPECT_EQ(KORAL_ParaSetAverageNumber(nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, kAverage);
    int32_t value = 5;
    // ID 0 names no one slot.
    EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kAverage);
    DeviceSlot& other = addSlot(2, 7);
    other.initialised = 1;
    EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 2), -1);
    EXPECT_RECORD(5, 804, 0, 2, kAverage);
    EXPECT_THAT(board.codes(), IsEmpty());
}

TEST_F(MeasurementParametersTest, SerialElectronicsTakeOnlyOneScanInScanningWorkModes) {
    DeviceSlot& slot = openBoard(kTypeSerial);
    slot.block()->WorkMode = 1;
    int32_t value = 10;
    // No transport: the send fails after the value is stored.
    EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 1), -1);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(slot.qre.averageNumber, 1u);
    EXPECT_EQ(slot.averageNumber, 1u);
    slot.block()->WorkMode = 3;
    value = 10;
    EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 1), -1);
    EXPECT_EQ(value, 10);
    EXPECT_EQ(slot.qre.averageNumber, 10u);
}

TEST_F(MeasurementParametersTest, FlashModeMinusOneIsOn) {
    DeviceSlot& slot = openBoard();
    slot.block()->FlashOpt = 0x02;
    for (int32_t mode : {1, -1}) {
        slot.block()->FlashHW = 0;
        EXPECT_EQ(KORAL_ParaSetHardwareFlashMode2(mode, 0, 1), 0);
        EXPECT_EQ(slot.block()->FlashHW, 1);
        EXPECT_EQ(slot.block()->FlashOpt, 0);
        uint32_t read = 0;
        EXPECT_EQ(KORAL_ParaGetHardwareFlashMode(&read, 1), 0);
        EXPECT_EQ(read, 1u);
    }
    EXPECT_EQ(KORAL_ParaSetHardwareFlashMode2(-1, 5, 1), 0);
    EXPECT_EQ(slot.block()->FlashOpt, 0x02);
    EXPECT_EQ(KORAL_ParaSetHardwareFlashMode(0, 1), 0);
    EXPECT_EQ(slot.block()->FlashHW, 0);
    EXPECT_EQ(slot.block()->FlashOpt, 0);
    EXPECT_EQ(board.codes().size(), 4u);
}

TEST_F(MeasurementParametersTest, FlashOptionNeedsNewerPciDriver) {
    DeviceSlot& slot = addSlot(1, kTypePci, board.open(0));
    slot.block()->DriverVersion = 1202;
    EXPECT_EQ(KORAL_ParaSetHardwareFlashMode2(1, 1, 1), -1);
    EXPECT_RECORD(5, 310, 837, 1, kFlash2);
    EXPECT_THAT(board.codes(), IsEmpty());
    board.setDriverVersion(1203);
    slot.block()->DriverVersion = 1203;
    EXPECT_EQ(KORAL_ParaSetHardwareFlashMode2(1, 1, 1), 0);
    EXPECT_EQ(slot.block()->FlashOpt & 0x02, 0x02);
}

TEST_F(MeasurementParametersTest, UnknownFlashModeSwitchesOffAndSendsWithDefaultRecord) {
    DeviceSlot& slot = openBoard();
    slot.block()->FlashHW = 1;
    EXPECT_EQ(KORAL_ParaSetHardwareFlashMode2(2, 0, 1), -1);
    EXPECT_EQ(slot.block()->FlashHW, 0);
    EXPECT_RECORD(6, 505, 0, 1, kFlash2);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    // The older form names itself and keeps the full form's record.
    EXPECT_EQ(KORAL_ParaSetHardwareFlashMode(7, 1), -1);
    EXPECT_RECORD(6, 505, 0, 1, "KORAL_ParaSetHardwareFlashMode");
}

TEST_F(MeasurementParametersTest, ExtTriggerTimeoutIsLimitedAsUnsigned) {
    DeviceSlot& slot = openBoard();
    uint32_t value = 50;
    EXPECT_EQ(KORAL_ParaSetExtTriggTimeout(&value, 1), 0);
    EXPECT_EQ(value, 100u);
    EXPECT_EQ(slot.block()->TOTimeExtTrig, 100u);
    EXPECT_RECORD(7, 505, 0, 1, "");
    value = 0xFFFFFFFFu;
    EXPECT_EQ(KORAL_ParaSetExtTriggTimeout(&value, 1), 0);
    EXPECT_EQ(value, 28800000u);
    value = 5000;
    EXPECT_EQ(KORAL_ParaSetExtTriggTimeout(&value, 1), 0);
    EXPECT_EQ(slot.block()->TOTimeExtTrig, 5000u);
    EXPECT_EQ(board.codes().size(), 3u);
    // The limited record shows no box.
    EXPECT_THAT(ui->boxes(), IsEmpty());
    EXPECT_EQ(KORAL_ParaSetExtTriggTimeout(nullptr, 1), -1);
}

TEST_F(MeasurementParametersTest, FailedSendKeepsTheValuesAndNamesTheExport) {
    DeviceSlot& slot = openBoard();
    board.script({BoardAnswer(platform::kStatusSuccess, 150, 0)});
    int32_t value = 40;
    EXPECT_EQ(KORAL_ParaSetAverageNumber(&value, 1), -1);
    EXPECT_EQ(record().functionName, std::string(kAverage));
    EXPECT_EQ(slot.block()->NumScans, 40);
    EXPECT_EQ(slot.averageNumber, 40u);
}

TEST_F(MeasurementParametersTest, ShutterPolarityAppliesTheShutterAtOnce) {
    DeviceSlot& slot = openBoard();
    std::vector<int32_t> calls;
    lifecycleSeams().setAcquisitionShutter = [&](int32_t id, uint32_t, int32_t open) {
        calls.push_back(id * 10 + open);
        return 0;
    };
    EXPECT_EQ(KORAL_ParaSetShutterPolarity(-1, 1), 0);
    EXPECT_EQ(slot.shutterPolarity, 1u);
    EXPECT_THAT(calls, ElementsAre(11));
    EXPECT_EQ(KORAL_ParaSetShutterPolarity(3, 1), -1);
    EXPECT_EQ(slot.shutterPolarity, 0u);
    EXPECT_RECORD(6, 505, 0, 1, "KORAL_ParaSetShutterPolarity");
    EXPECT_EQ(calls.size(), 1u);
    lifecycleSeams().setAcquisitionShutter = [](int32_t, uint32_t, int32_t) { return -1; };
    EXPECT_EQ(KORAL_ParaSetShutterPolarity(0, 1), -1);
    EXPECT_EQ(record().functionName, std::string("KORAL_ParaSetShutterPolarity"));
}

TEST_F(MeasurementParametersTest, ShutterPolarityIsNotForType8) {
    openBoard(kTypeUsb2);
    EXPECT_EQ(KORAL_ParaSetShutterPolarity(1, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_ParaSetShutterPolarity");
}

TEST_F(MeasurementParametersTest, NoInterruptModeUsesTheMisspeltName) {
    DeviceSlot& slot = openBoard();
    EXPECT_EQ(KORAL_ParaSetACQModeNOInterrupt(-1, 1), 0);
    EXPECT_EQ(slot.block()->NoInterruptMode, 1);
    EXPECT_EQ(KORAL_ParaSetACQModeNOInterrupt(4, 1), -1);
    EXPECT_EQ(slot.block()->NoInterruptMode, 0);
    EXPECT_RECORD(6, 505, 0, 1, "KORAL_ParaSetACQModeNOInterrrupt");
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
}

TEST_F(MeasurementParametersTest, InputSourceRules) {
    DeviceSlot& slot = openBoard();
    slot.block()->InputSource = 9;
    EXPECT_EQ(KORAL_ParaSetInputSource(2, 1), 0);
    EXPECT_EQ(slot.block()->InputSource, 0);
    EXPECT_EQ(KORAL_ParaSetInputSource(7, 1), -1);
    EXPECT_RECORD(5, 505, 7, 1, "KORAL_ParaSetInputSource");
    slot.block()->FirmwareVersion = 202;
    slot.block()->DriverVersion = 2004;
    EXPECT_EQ(KORAL_ParaSetInputSource(3, 1), -1);
    EXPECT_RECORD(5, 310, 837, 1, "KORAL_ParaSetInputSource");
    slot.block()->FirmwareVersion = 203;
    EXPECT_EQ(KORAL_ParaSetInputSource(3, 1), 0);
    EXPECT_EQ(slot.block()->InputSource, 3);
    EXPECT_EQ(board.codes().size(), 2u);
}

TEST_F(MeasurementParametersTest, InputSourceZeroNeedsABlockBoardOfTypes4To6) {
    DeviceSlot& slot = openBoard(kTypeIsa);
    EXPECT_EQ(KORAL_ParaSetInputSource(0, 1), -1);
    EXPECT_RECORD(5, 506, 819, 1, "KORAL_ParaSetInputSource");
    EXPECT_EQ(KORAL_ParaSetInputSource(1, 1), 0);
    EXPECT_EQ(slot.block()->InputSource, 1);
    state().interfaceTypeInUse = kTypeUsb2;
    EXPECT_EQ(KORAL_ParaSetInputSource(1, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_ParaSetInputSource");
}

} // namespace
} // namespace tarvik::testing
