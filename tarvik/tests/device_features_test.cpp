// Feature queries and further device settings on the simulated request-block
// boards.

#include "i2c_sim_fixture.h"

#include "core/device_features.h"
#include "core/lifecycle_seams.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvik::testing {
namespace {

class DeviceFeaturesTest : public I2cSimTest {
protected:
    void TearDown() override {
        resetLifecycleSeams();
        I2cSimTest::TearDown();
    }
};

TEST_F(DeviceFeaturesTest, LinesAvailableByBoardType) {
    struct Case {
        int type;
        const char* keys;
        int32_t (*query)(int32_t, uint32_t);
        int32_t line;
        int32_t answer;
    };
    const Case cases[] = {
        {4, "driver_version = 1206\n", KORAL_IsDigOutputAvailable, 3, 0},
        {4, "driver_version = 1207\n", KORAL_IsDigOutputAvailable, 3, 1},
        {5, "", KORAL_IsDigOutputAvailable, 3, 0},
        {6, "firmware_version = 202\n", KORAL_IsDigOutputAvailable, 3, 0},
        {6, "", KORAL_IsDigOutputAvailable, 3, 1},
        {8, "", KORAL_IsDigOutputAvailable, 2, 1},
        {1, "", KORAL_IsDigInputAvailable, 2, 0},
        {5, "", KORAL_IsDigInputAvailable, 3, 1},
        {8, "", KORAL_IsDigInputAvailable, 3, 0},
        {6, "", KORAL_IsDigInputAvailable, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.keys + std::to_string(c.line));
        openSimBoard(c.keys, c.type);
        EXPECT_EQ(c.query(c.line, 1), c.answer);
        TearDown();
        SetUp();
    }
}

TEST_F(DeviceFeaturesTest, OpticalMultiplexerOwnsOutput2AndInitFlagsHideInput3) {
    DeviceSlot& slot = openSimBoard("", 6);
    slot.active = 1;
    slot.muxType = 6;
    EXPECT_EQ(KORAL_IsDigOutputAvailable(2, 1), 0); // control mode bit 0 clear
    state().mux7wenCtrlMode = 1;
    EXPECT_EQ(KORAL_IsDigOutputAvailable(2, 1), 0); // the first slot with one
    slot.active = 0;
    EXPECT_EQ(KORAL_IsDigOutputAvailable(2, 1), 1);
    slot.block()->InputSource = 1;
    EXPECT_EQ(KORAL_IsDigInputAvailable(3, 1), 0);
}

TEST_F(DeviceFeaturesTest, SettingsGoToTheBoard) {
    DeviceSlot& slot = openSimBoard("", 6);
    EXPECT_EQ(KORAL_ParaSetFlashPolarity(-1, 1), 0);
    EXPECT_EQ(slot.block()->FlashOpt & 1, 1);
    EXPECT_EQ(board->initState().parameters.flashOpt & 1, 1);
    EXPECT_EQ(KORAL_ParaSetFlashPolarity(0, 1), 0);
    EXPECT_EQ(slot.block()->FlashOpt & 1, 0);
    EXPECT_EQ(KORAL_ParaSetFlashPolarity(2, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaSetFlashPolarity");
    for (int32_t bad : {0, 65536}) {
        EXPECT_EQ(KORAL_ParaSetTriggerDelay(bad, 1), -1);
        EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaSetTriggerDelay");
    }
    EXPECT_EQ(KORAL_ParaSetTriggerDelay(300, 1), 0);
    EXPECT_EQ(board->initState().parameters.etDelay, 300);
    EXPECT_EQ(board->requestCount(IOCTL_BOARD_INIT), 3u);
    TearDown();
    SetUp();

    openSimBoard("", 8);
    EXPECT_EQ(KORAL_ParaSetTriggerDelay(300, 1), -1);
    EXPECT_RECORD(5, 505, 804, 1, "KORAL_ParaSetTriggerDelay");
}

TEST_F(DeviceFeaturesTest, QueriesReadTheSlot) {
    DeviceSlot& slot = openSimBoard("", 6);
    slot.configuration[kSerialNumberFrontEnd] = 0xFF;
    slot.configuration[kSerialNumberFrontEnd + 1] = 0xFF;
    EXPECT_EQ(KORAL_GetSerialNumber(2, 1), 65535);
    EXPECT_EQ(KORAL_GetSerialNumber(4, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_GetSerialNumber");

    uint32_t mode = 0, setting = 0, channels = 0, version = 0;
    slot.muxType = 7;
    slot.muxChannels = 4;
    slot.muxSetting = 3;
    slot.block()->MuxMode = 2;
    EXPECT_EQ(KORAL_ParaGetMUXSettings(&mode, &setting, &channels, 1), 0);
    EXPECT_EQ(std::vector<uint32_t>({mode, setting, channels}), std::vector<uint32_t>({2, 3, 4}));
    EXPECT_EQ(KORAL_ParaGetMUXSettings(&mode, nullptr, &channels, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaGetMUXSettings");

    EXPECT_EQ(KORAL_ParaGetPLDVersion(&version, 0, 1), 0);
    EXPECT_EQ(version, 204u);
    EXPECT_EQ(KORAL_ParaGetPLDVersion(nullptr, 0, 1), -1);
    EXPECT_RECORD(5, 505, 842, 1, "KORAL_ParaGetPLDVersion");
}

std::vector<int32_t> g_shutterCalls;

TEST_F(DeviceFeaturesTest, ShutterControlModeSwitchesOnlyOnAChange) {
    openSimBoard("", 6);
    g_shutterCalls.clear();
    lifecycleSeams().setAcquisitionShutter = [](int32_t id, uint32_t delay, int32_t open) {
        g_shutterCalls.push_back(id * 1000 + static_cast<int32_t>(delay) * 10 + open);
        return 0;
    };
    EXPECT_EQ(KORAL_ParaSetShutterControlMode(1, 100), 0);
    EXPECT_EQ(KORAL_ParaSetShutterControlMode(1, 100), 0);
    EXPECT_EQ(g_shutterCalls, std::vector<int32_t>({1000})); // closed once, with its delay
    EXPECT_EQ(KORAL_ParaSetShutterControlMode(0, 5), 0);
    EXPECT_EQ(g_shutterCalls.back(), 51);
    EXPECT_EQ(state().shutterDelay, 5u);
    EXPECT_EQ(KORAL_ParaSetShutterControlMode(2, 0), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_ParaSetShutterControlMode");
}

} // namespace
} // namespace tarvik::testing
