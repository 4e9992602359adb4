// The cooled detector board: the initialise's preparation and the binning and
// cooling exports on the simulated board at I2C 0x74 of a request-block board.

#include "i2c_sim_fixture.h"

#include "core/locks.h"
#include "hardware/cooled_board.h"
#include "hardware/i2c_access.h"
#include "sim/light_sources.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace tarvik::testing {
namespace {

class CooledBoardTest : public I2cSimTest {
protected:
    // Slot 1 with front end 11 and channel 1's sensor: 1044 pixels, one row,
    // 64 physical rows; the simulated board at 0x74.
    DeviceSlot& openCooled() {
        DeviceSlot& slot = openSimBoard("cooled_board = 1\n");
        slot.frontEndType = 11;
        slot.sensorType[0] = 7;
        slot.pixelCount[0] = 1044;
        slot.rows[0] = 1;
        slot.fourthSensorWord[0] = 64;
        return slot;
    }
    sim::CooledBoard& cooled() {
        return *board->withI2cBus([](sim::I2cBus& bus) {
            return bus.device<sim::CooledBoard>(sim::kCooledBoardAddress);
        });
    }
    int32_t prepare() {
        std::lock_guard guard(deviceLock());
        return PrepareCooledDetectorBoard(1);
    }
};

TEST_F(CooledBoardTest, InitialiseConfiguresTheBoard) {
    DeviceSlot& slot = openCooled();
    EXPECT_EQ(prepare(), 0) << describe(record());
    ASSERT_TRUE(slot.ztkBoard);
    EXPECT_TRUE(slot.ztkBoard->IsConfigured());
    EXPECT_EQ(slot.ztkBoard->GetFirmwareVersion(), 0x12);
    EXPECT_EQ(slot.ztkBoard->GetAppliedBinning(), 1);
    EXPECT_EQ(cooled().reg(2), 1); // 1044 pixels
    EXPECT_EQ(cooled().reg(0), 0); // PAR_A10 64
    EXPECT_EQ(cooled().reg(3), 0);
    EXPECT_EQ(cooled().reg(1), 7); // 64 / 1 is no binning of the table
}

TEST_F(CooledBoardTest, BinningModes) {
    DeviceSlot& slot = openCooled();
    ASSERT_EQ(prepare(), 0);
    board->clearRequests();
    EXPECT_EQ(KORAL_ParaSetZTKBinningMode(2, 1), 0) << describe(record());
    EXPECT_EQ(cooled().reg(1), 0);
    EXPECT_EQ(slot.rows[0], 64u);
    EXPECT_EQ(slot.initialised, 0u); // to be initialised again
    EXPECT_EQ(requestsOf(IOCTL_BOARD_DEINIT).size(), 1u);

    slot.initialised = 1;
    const unsigned writes = cooled().writesOf(1);
    EXPECT_EQ(KORAL_ParaSetZTKBinningMode(3, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaSetZTKBinningMode");
    EXPECT_EQ(cooled().writesOf(1), writes);
    EXPECT_EQ(KORAL_ParaSetZTKBinningMode(0, 1), 0);
    EXPECT_EQ(cooled().reg(1), 7);
    EXPECT_EQ(slot.rows[0], 1u);

    // The next initialise keeps a binning mode 2: 64 rows of 64 are one.
    slot.rows[0] = 64;
    EXPECT_EQ(prepare(), 0);
    EXPECT_EQ(cooled().reg(1), 0);
    EXPECT_EQ(slot.ztkBoard->GetAppliedBinning(), 64);
}

TEST_F(CooledBoardTest, Cooling) {
    openCooled();
    EXPECT_EQ(KORAL_ParaSetZTKCoolingEnable(1, 1), 0) << describe(record());
    EXPECT_TRUE(cooled().coolingOn());
    EXPECT_EQ(KORAL_ParaSetZTKCoolingEnable(-3, 1), 0);
    EXPECT_FALSE(cooled().coolingOn());

    cooled().setReg(10, 0x08); // ready, no cooling
    DeviceSlot& slot = *deviceSlot(1);
    slot.ztkBoard.reset();
    EXPECT_EQ(KORAL_ParaSetZTKCoolingEnable(1, 1), -1);
    EXPECT_RECORD(4, 514, 860, 1, "KORAL_ParaSetZTKCoolingEnable");
}

TEST_F(CooledBoardTest, BoardFaultsAndTheirRecords) {
    struct Row {
        const char* what;
        std::function<void(sim::CooledBoard&)> fault; // null: no board
        int32_t info;
        bool initialiseGoesOn;
    };
    const Row rows[] = {
        {"missing", nullptr, 859, true},
        {"jumpers", [](sim::CooledBoard& b) { b.setReg(10, 0x0D); }, 857, true},
        {"status bit B1", [](sim::CooledBoard& b) { b.setReg(11, 2); }, 858, false},
        {"status code", [](sim::CooledBoard& b) { b.setReg(13, 1); }, 858, false},
        {"not ready", [](sim::CooledBoard& b) { b.setReg(10, 0x04); }, 858, false},
        {"cooling error",
         [](sim::CooledBoard& b) {
             b.setReg(9, 2);
             b.setReg(10, 0x0E);
         },
         860, false},
    };
    DeviceSlot& slot = openCooled();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        slot.ztkBoard.reset();
        board->withI2cBus([&](sim::I2cBus& bus) {
            bus.remove(sim::kCooledBoardAddress);
            if (row.fault) {
                auto fresh = std::make_unique<sim::CooledBoard>();
                row.fault(*fresh);
                bus.attach(sim::kCooledBoardAddress, std::move(fresh));
            }
        });
        const size_t boxes = boxCount();
        EXPECT_EQ(prepare(), row.initialiseGoesOn ? 0 : -1);
        if (!row.initialiseGoesOn) {
            EXPECT_EQ(record().level, 4);
            EXPECT_EQ(record().code, 514);
            EXPECT_EQ(record().info, row.info);
        }
        EXPECT_EQ(KORAL_ParaSetZTKBinningMode(0, 1), -1);
        EXPECT_RECORD(4, 514, row.info, 1, "KORAL_ParaSetZTKBinningMode");
        EXPECT_EQ(boxCount(), boxes + 1); // the export's box alone
    }
}

TEST_F(CooledBoardTest, UnusableConfigurationsAreRefused) {
    DeviceSlot& slot = openCooled();
    slot.rows[0] = 0; // PAR_A9 0 would divide by zero
    EXPECT_EQ(prepare(), -1);
    EXPECT_EQ(record().info, 850);
    EXPECT_EQ(cooled().writesOf(2), 0u);

    // A pixel count the board does not know: the writers fail, and the
    // binning they meant is the applied one all the same.
    slot.ztkBoard.reset();
    slot.rows[0] = 1;
    slot.pixelCount[0] = 512;
    EXPECT_EQ(prepare(), -1);
    EXPECT_EQ(record().code, 514);
    EXPECT_EQ(record().info, 0); // a refused value leaves no result behind
    EXPECT_EQ(slot.ztkBoard->GetAppliedBinning(), 1);
    EXPECT_EQ(cooled().writesOf(1), 1u); // every register was written still

    EXPECT_EQ(KORAL_ParaSetZTKBinningMode(2, 1), -1);
    EXPECT_EQ(slot.ztkBoard->GetAppliedBinning(), 64);
    EXPECT_EQ(slot.rows[0], 1u);
}

TEST_F(CooledBoardTest, AFailedDeinitialiseIsTheCooledBoardsFailure) {
    DeviceSlot& slot = openCooled();
    ASSERT_EQ(prepare(), 0);
    board->injectStatus(IOCTL_BOARD_DEINIT, 170, 3);
    EXPECT_EQ(KORAL_ParaSetZTKBinningMode(2, 1), -1);
    EXPECT_RECORD(4, 514, 0, 1, "KORAL_ParaSetZTKBinningMode");
    EXPECT_EQ(slot.initialised, 1u);
    EXPECT_EQ(cooled().reg(1), 0); // the writer ran all the same
    EXPECT_EQ(slot.rows[0], 1u);
}

TEST_F(CooledBoardTest, FrontEndAndBoardTypesWithoutTheBoard) {
    DeviceSlot& slot = openCooled();
    slot.frontEndType = 3;
    EXPECT_EQ(KORAL_ParaSetZTKCoolingEnable(1, 1), -1);
    EXPECT_RECORD(5, 506, 0, 1, "KORAL_ParaSetZTKCoolingEnable");
    slot.frontEndType = 7;
    slot.boardType = kTypeUsb2;
    EXPECT_EQ(KORAL_ParaSetZTKCoolingEnable(1, 1), -1);
    EXPECT_RECORD(5, 804, 0, 1, "KORAL_ParaSetZTKCoolingEnable");
}

// Another thread cannot take the DeviceLock while the board is addressed.
struct LockWatch {
    static inline std::atomic<int> unlockedTransfers{0};
    static bool heldElsewhere() {
        bool taken = false;
        std::thread([&] {
            taken = deviceLock().try_lock();
            if (taken) {
                deviceLock().unlock();
            }
        }).join();
        return !taken;
    }
    static int32_t write1(int32_t address, const uint8_t* buffer, int32_t count, uint32_t id) {
        unlockedTransfers += heldElsewhere() ? 0 : 1;
        return KORAL_I2C_Write_1_X(address, buffer, count, id);
    }
};

TEST_F(CooledBoardTest, ExportsHoldTheDeviceLockForTheirTransfers) {
    openCooled();
    peripheralI2c().write1 = &LockWatch::write1;
    EXPECT_EQ(KORAL_ParaSetZTKCoolingEnable(1, 1), 0);
    EXPECT_EQ(KORAL_ParaSetZTKBinningMode(2, 1), 0);
    resetPeripheralI2c();
    EXPECT_EQ(LockWatch::unlockedTransfers, 0);
}

} // namespace
} // namespace tarvik::testing
