// The warning classes of the boards and the warning box.

#include "board_test_driver.h"
#include "tarvik_test.h"

#include "serial/qre_link.h"
#include "serial_sim_fixture.h"

#include "core/firmware_features.h"
#include "tarvik.h"

#include <gmock/gmock.h>

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;

class WarningMessagesTest : public TarvikTest {
protected:
    void SetUp() override {
        TarvikTest::SetUp();
        ASSERT_TRUE(board.ready());
    }

    DeviceSlot& openBoard(int32_t id, size_t device, uint16_t driverVersion) {
        DeviceSlot& slot = addSlot(id, kTypeUsb, board.open(device));
        slot.initialised = 1;
        slot.block()->DriverVersion = driverVersion;
        return slot;
    }

    BoardTestDriver board{2};
};

TEST_F(WarningMessagesTest, UnsupportedModeNamesTheDriverVersion) {
    DeviceSlot& slot = openBoard(1, 0, 800);
    EXPECT_EQ(KORAL_WarningMessagesEx(3, 1, 1), -1);
    EXPECT_RECORD(1, 156, 800, 1, "KORAL_WarningMessagesEx");
    EXPECT_TRUE(board.requests().empty());
    EXPECT_EQ(slot.warningMask, 0);
    EXPECT_EQ(ui->boxes().size(), 1u);
}

TEST_F(WarningMessagesTest, SupportedModeSetsTheClassesAndSendsInit) {
    board.setDriverVersion(1100);
    DeviceSlot& slot = openBoard(1, 0, 1100);
    setWarningBoxFlag(0);
    EXPECT_EQ(KORAL_WarningMessagesEx(3, 1, 1), 0);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    EXPECT_EQ(board.requests()[0].requestFlags, KORAL_RF_WARN_CLASS1 | KORAL_RF_WARN_CLASS2);
    EXPECT_EQ(slot.warningMask, 3);
    EXPECT_EQ(slot.warningFlag, 1);
    EXPECT_EQ(warningBoxFlag(), 1u);
    EXPECT_EQ(KORAL_WarningMessagesEx(-2, 0, 1), 3);
}

TEST_F(WarningMessagesTest, ShowFlagZeroSwitchesTheWarningBoxOff) {
    openBoard(1, 0, 1100);
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 0, 1), 0);
    EXPECT_EQ(warningBoxFlag(), 0u);
    EXPECT_EQ(errorBoxFlag(), 1u);
}

TEST_F(WarningMessagesTest, ModeZeroClearsEverythingAndResends) {
    DeviceSlot& slot = openBoard(1, 0, 1100);
    slot.warningFlag = 1;
    slot.warningMask = 3;
    slot.block()->RequestFlags = KORAL_RF_WARN_CLASS1 | KORAL_RF_WARN_CLASS2 | KORAL_RF_GEN2_INIT;
    EXPECT_EQ(KORAL_WarningMessagesEx(0, 1, 1), 0);
    EXPECT_EQ(slot.warningFlag, 0);
    EXPECT_EQ(slot.warningMask, 0);
    EXPECT_EQ(slot.block()->RequestFlags, KORAL_RF_GEN2_INIT);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
}

TEST_F(WarningMessagesTest, IdZeroSendsEachSlotsOwnBlock) {
    board.setDriverVersion(1100);
    openBoard(2, 0, 1100);
    openBoard(5, 1, 1100);
    state().actualInterfaceId = 5;
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 0), 0);
    const auto requests = board.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].device, 0u);
    EXPECT_EQ(requests[1].device, 1u);
    EXPECT_EQ(deviceSlot(2)->warningMask, 1);
    EXPECT_EQ(deviceSlot(5)->warningMask, 1);
    EXPECT_EQ(actualInterfaceId(), 5);
}

TEST_F(WarningMessagesTest, WalkGoesOnPastAnUnsupportedSlot) {
    board.setDriverVersion(1100);
    openBoard(2, 0, 700);
    openBoard(5, 1, 1100);
    EXPECT_EQ(KORAL_WarningMessagesEx(2, 1, 0), -1);
    EXPECT_RECORD(1, 156, 700, 2, "KORAL_WarningMessagesEx");
    EXPECT_EQ(deviceSlot(5)->warningMask, 2);
    ASSERT_EQ(board.requests().size(), 1u);
    EXPECT_EQ(board.requests()[0].device, 1u);
}

TEST_F(WarningMessagesTest, FailedSendEndsTheWalk) {
    openBoard(2, 0, 1100);
    openBoard(5, 1, 1100);
    board.script({{platform::kStatusSuccess, 155, 0}});
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 0), -1);
    EXPECT_RECORD(1, 155, 0, 0, "KORAL_WarningMessagesEx");
    EXPECT_EQ(board.requests().size(), 1u);
}

TEST_F(WarningMessagesTest, ModesOf8AndMoreAreInvalid) {
    openBoard(1, 0, 1100);
    EXPECT_EQ(KORAL_WarningMessagesEx(8, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_WarningMessagesEx");
}

TEST_F(WarningMessagesTest, NegativeModesNeedEveryBitSupported) {
    openBoard(1, 0, 3114);
    EXPECT_EQ(KORAL_WarningMessagesEx(-1, 1, 1), -1);
    EXPECT_RECORD(1, 156, 3114, 1, "KORAL_WarningMessagesEx");
}

TEST_F(WarningMessagesTest, MissingSlotAndNothingOpened) {
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_WarningMessagesEx");
    openBoard(1, 0, 1100);
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 4), -1);
    EXPECT_RECORD(5, 504, 0, 4, "KORAL_WarningMessagesEx");
    EXPECT_EQ(KORAL_WarningMessagesEx(-2, 1, 4), -1);
    EXPECT_RECORD(5, 504, 808, 4, "KORAL_WarningMessagesEx");
    EXPECT_EQ(KORAL_WarningMessagesEx(-2, 1, 0), 0);
}

TEST_F(WarningMessagesTest, SerialSlotsGoThroughTheLink) {
    SerialLinkSim serial;
    const sim::SerialUnitModel& unit = serial.addModelUnit();
    DeviceSlot& slot = addSlot(1, kTypeSerial);
    ASSERT_TRUE(serial.openPort());
    serial.prepareSlot(1, 314);
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 1), 0);
    EXPECT_EQ(slot.warningMask, 1);
    // The electronics were asked to report warnings.
    EXPECT_EQ(unit.takenParameters()[6] & 2, 2);
    slot.qre.setFirmwareVersion(313);
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 1), -1);
    EXPECT_RECORD(1, 156, 313, 1, "KORAL_WarningMessagesEx");
}

TEST_F(WarningMessagesTest, OlderFormKeepsClassTwoFlagged) {
    board.setDriverVersion(1100);
    DeviceSlot& slot = openBoard(1, 0, 1100);
    EXPECT_EQ(KORAL_WarningMessages(5, 1), 0);
    EXPECT_EQ(slot.warningMask, 3);
    EXPECT_EQ(slot.block()->RequestFlags, KORAL_RF_WARN_CLASS1 | KORAL_RF_WARN_CLASS2);
    EXPECT_EQ(warningBoxFlag(), 0u); // the older form never shows warnings

    EXPECT_EQ(KORAL_WarningMessages(0, 1), 0);
    EXPECT_EQ(slot.warningMask, 2);
    EXPECT_EQ(slot.block()->RequestFlags, KORAL_RF_WARN_CLASS2);
    EXPECT_EQ(KORAL_WarningMessages(-2, 1), 2); // the mask, not a failure
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(WarningMessagesTest, OlderFormShowsOneBoxUnderItsOwnName) {
    openBoard(1, 0, 800);
    EXPECT_EQ(KORAL_WarningMessages(1, 1), -1);
    EXPECT_RECORD(1, 156, 800, 1, "KORAL_WarningMessages");
    ASSERT_EQ(ui->boxes().size(), 1u);
    EXPECT_EQ(errorBoxFlag(), 1u);
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
}

TEST_F(WarningMessagesTest, FeatureGatesFollowTheVersionTable) {
    DeviceSlot& slot = openBoard(1, 0, 0);
    struct Row {
        uint32_t type;
        uint16_t version;
        uint32_t features;
        bool available;
    };
    const Row rows[] = {
        {kTypeIsa, 2001, kFeatureWarningClass1, false},
        {kTypeIsa, 2002, kFeatureWarningClass1, true},
        {kTypeIsa, 9999, kFeatureWarningClass2, false},
        {kTypePci, 1011, kFeatureWarningClass1, true},
        {kTypePci, 1099, kFeatureWarningClass2, false},
        {kTypePci, 1100, kFeatureWarningClass2, true},
        {kTypeBoard5, 999, kFeatureWarningClass1, false},
        {kTypeBoard5, 1006, kFeatureWarningClass2, true},
        {kTypeUsb, 1000, kFeatureWarningClass1, true},
        {kTypeUsb, 801, kFeatureWarningClass2, true},
        {kTypeUsb, 800, kFeatureWarningClass2, false},
        {kTypeUsb, 1002, kFeatureBit2, false},
        {kTypeUsb, 1003, kFeatureBit2 | kFeatureWarningClass1 | kFeatureWarningClass2, true},
        {kTypeUsb2, 0, kFeatureWarningClass1, true},
        {kTypeUsb2, 9999, kFeatureWarningClass2, false},
        {kType111, 9999, kFeatureWarningClass1, false},
        {kTypeUsb, 9999, 0x8, false},
    };
    for (const Row& row : rows) {
        state().interfaceTypeInUse = row.type;
        slot.block()->DriverVersion = row.version;
        EXPECT_EQ(IsFirmwareFeatureAvailable(1, row.features), row.available)
            << row.type << " " << row.version << " " << row.features;
    }
    EXPECT_FALSE(IsFirmwareFeatureAvailable(0, kFeatureWarningClass1));
    EXPECT_FALSE(IsFirmwareFeatureAvailable(3, kFeatureWarningClass1));
}

} // namespace
} // namespace tarvik::testing
