// The five levels of the state check that opens every export.

#include "tarvik_test.h"

#include "core/interface_check.h"
#include "tarvik.h"

namespace tarvik::testing {
namespace {

constexpr platform::DeviceHandle kOpen = 77; // any handle that is not invalid
constexpr platform::DeviceHandle kClosed = platform::kInvalidDeviceHandle;

class InterfaceCheckTest : public TarvikTest {};

TEST_F(InterfaceCheckTest, IdsOutside0To15FailAtEveryLevel) {
    for (int32_t level = kCheckIdInRange; level <= kCheckMuxPresent; ++level) {
        for (int32_t id : {16, -1, 1000}) {
            EXPECT_EQ(CheckInterfaceState(level, id), -1);
            EXPECT_RECORD(5, 505, 818, id, "");
        }
    }
}

TEST_F(InterfaceCheckTest, ExportNamesItselfInTheRecord) {
    EXPECT_EQ(KORAL_WarningMessagesEx(1, 1, 16), -1);
    EXPECT_RECORD(5, 505, 818, 16, "KORAL_WarningMessagesEx");
    EXPECT_EQ(KORAL_WarningMessages(1, static_cast<uint32_t>(-1)), -1);
    EXPECT_RECORD(5, 505, 818, -1, "KORAL_WarningMessages");
    // The inner export's failure was not shown; the outer one's was.
    ASSERT_EQ(ui->boxes().size(), 2u);
}

TEST_F(InterfaceCheckTest, MissingSlotFailsFromLevelOne) {
    EXPECT_EQ(CheckInterfaceState(kCheckIdInRange, 4), 0);
    EXPECT_EQ(CheckInterfaceState(kCheckSlotExists, 4), -1);
    EXPECT_RECORD(5, 504, 0, 4, "");
}

TEST_F(InterfaceCheckTest, IdZeroWithoutSlotsPassesEveryLevel) {
    for (int32_t level = kCheckIdInRange; level <= kCheckMuxPresent; ++level) {
        EXPECT_EQ(CheckInterfaceState(level, 0), 0) << level;
    }
}

TEST_F(InterfaceCheckTest, IdZeroFailsOnTheFirstClosedSlotInIdOrder) {
    addSlot(2, kTypeUsb, kOpen);
    addSlot(5, kTypeUsb, kClosed);
    addSlot(9, kTypeUsb, kClosed);
    EXPECT_EQ(CheckInterfaceState(kCheckSlotExists, 0), 0);
    EXPECT_EQ(CheckInterfaceState(kCheckDeviceOpen, 0), -1);
    EXPECT_RECORD(5, 504, 0, 5, "");
}

TEST_F(InterfaceCheckTest, RemovedHotPlugBoardIsReportedAsRemoved) {
    for (uint32_t type : {kTypeUsb, kTypeUsb2}) {
        DeviceSlot& slot = addSlot(3, type, kClosed);
        slot.hotPlug = 1;
        EXPECT_EQ(CheckInterfaceState(kCheckDeviceOpen, 3), -2);
        EXPECT_RECORD(5, 511, 808, 3, "");
        slot.deviceHandle = kOpen;
        EXPECT_EQ(CheckInterfaceState(kCheckDeviceOpen, 3), 0);
        slot.deviceHandle = kClosed;
        ASSERT_EQ(FreeDeviceSlot(3), 0);
        state().openInterfaces = 0;
    }
}

TEST_F(InterfaceCheckTest, ClosedBoardOfOtherTypesIsNotOpen) {
    DeviceSlot& slot = addSlot(3, kTypePci, kClosed);
    slot.hotPlug = 1; // only USB boards are watched
    EXPECT_EQ(CheckInterfaceState(kCheckDeviceOpen, 3), -1);
    EXPECT_RECORD(5, 504, 0, 3, "");
}

TEST_F(InterfaceCheckTest, InitialisedAndArrivalFailedAtLevelThree) {
    DeviceSlot& slot = addSlot(1, kTypeUsb, kOpen);
    EXPECT_EQ(CheckInterfaceState(kCheckDeviceOpen, 1), 0);
    EXPECT_EQ(CheckInterfaceState(kCheckInitialised, 1), -1);
    EXPECT_RECORD(5, 507, 0, 1, "");
    slot.initialised = 1;
    EXPECT_EQ(CheckInterfaceState(kCheckInitialised, 1), 0);
    slot.arrivalFailed = 1;
    EXPECT_EQ(CheckInterfaceState(kCheckInitialised, 1), -1);
    EXPECT_RECORD(5, 507, 838, 1, "");
}

TEST_F(InterfaceCheckTest, MultiplexerAtLevelFour) {
    DeviceSlot& slot = addSlot(1, kTypeUsb, kOpen);
    slot.initialised = 1;
    EXPECT_EQ(CheckInterfaceState(kCheckMuxPresent, 1), -1);
    EXPECT_RECORD(5, 506, 812, 1, "");
    slot.muxPresent = 1;
    EXPECT_EQ(CheckInterfaceState(kCheckMuxPresent, 1), 0);
}

TEST_F(InterfaceCheckTest, PassingCheckMakesItsIdActualButIdZeroChangesNothing) {
    addSlot(2, kTypeUsb, kOpen);
    addSlot(6, kTypeUsb, kOpen);
    EXPECT_EQ(actualInterfaceId(), 6);
    EXPECT_EQ(CheckInterfaceState(kCheckDeviceOpen, 2), 0);
    EXPECT_EQ(actualInterfaceId(), 2);
    EXPECT_EQ(CheckInterfaceState(kCheckDeviceOpen, 0), 0);
    EXPECT_EQ(actualInterfaceId(), 2);
    EXPECT_EQ(CheckInterfaceState(kCheckInitialised, 6), -1);
    EXPECT_EQ(actualInterfaceId(), 2); // only a passing check moves it
}

} // namespace
} // namespace tarvik::testing
