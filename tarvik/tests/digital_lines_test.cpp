// The digital-line exports against the simulated request-block boards: what
// each board type serves, the two words of the block around a command, and
// the engine's use of output 2 for the shutter and the optical multiplexer.

#include "i2c_sim_fixture.h"

#include "acquisition/acquire_spectra.h"
#include "acquisition/digital_lines.h"
#include "tarvik.h"

#include <gtest/gtest.h>

namespace tarvik::testing {
namespace {

class DigitalLinesTest : public I2cSimTest {
protected:
    uint32_t boardOutputs() const { return board->digitalLines().outputs; }
};

TEST_F(DigitalLinesTest, BoardTypesServeTheirLines) {
    struct Case {
        int type;
        const char* keys;
        int32_t (*call)(uint32_t id);
        int32_t code; // 0: served
        int32_t info;
        const char* name;
    };
    const auto feeSel0 = [](uint32_t id) { return KORAL_IOSetFEESEL0(1, id); };
    const auto output3 = [](uint32_t id) { return KORAL_IOSetDigOutput3(1, id); };
    const auto input2 = [](uint32_t id) {
        uint32_t v = 0;
        return KORAL_IOGetDigInput2(&v, id);
    };
    const auto input3 = [](uint32_t id) {
        uint32_t v = 0;
        return KORAL_IOGetDigInput3(&v, id);
    };
    const Case cases[] = {
        {1, "", feeSel0, 0, 0, ""},
        {6, "", feeSel0, 506, 804, "KORAL_IOSetFEESEL0"},
        {1, "", input2, 506, 804, "KORAL_IOGetDigInput2"},
        {4, "driver_version = 1206\n", output3, 310, 837, "KORAL_IOSetDigOutput3"},
        {4, "driver_version = 1207\n", output3, 0, 0, ""},
        {6, "firmware_version = 202\n", output3, 310, 837, "KORAL_IOSetDigOutput3"},
        {6, "firmware_version = 202\nhardware_word = 0x2064\n", output3, 0, 0, ""},
        {8, "", output3, 506, 804, "KORAL_IOSetDigOutput3"},
        {6, "firmware_version = 202\n", input3, 310, 837, "KORAL_IOGetDigInput3"},
        {5, "", input3, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.keys + c.name);
        DeviceSlot& slot = openSimBoard(c.keys, c.type);
        slot.muxPresent = 1; // the select lines' state check
        EXPECT_EQ(c.call(1), c.code == 0 ? 0 : -1);
        if (c.code != 0) {
            EXPECT_RECORD(5, c.code, c.info, 1, c.name);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(DigitalLinesTest, LevelsGoToTheBoardAndTheSelectBitOnlyWithTheCommand) {
    DeviceSlot& slot = openSimBoard("", 6);
    EXPECT_EQ(KORAL_IOSetDigOutput3(1, 1), 0);
    EXPECT_EQ(KORAL_IOSetDigOutput1(-1, 1), 0);
    EXPECT_EQ(boardOutputs(), 0b101u);
    EXPECT_EQ(slot.block()->DigitalOutputWord, 0x50000u); // levels kept, no select bit
    EXPECT_EQ(KORAL_IOSetDigOutput1(2, 1), 0);            // neither 1 nor -1: low
    EXPECT_EQ(boardOutputs(), 0b100u);
    const auto sent = requestsOf(IOCTL_BOARD_SET_DIGITAL_OUTPUT);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].digitalOutputWord, 0x40001u);

    // A failed command keeps its select bit, so the next one sends the line again.
    board->injectStatus(IOCTL_BOARD_SET_DIGITAL_OUTPUT, 130, 0);
    EXPECT_EQ(KORAL_IOSetDigOutput2(1, 1), -1);
    EXPECT_RECORD(1, 130, 0, 0, "KORAL_IOSetDigOutput2");
    EXPECT_EQ(KORAL_IOSetDigOutput1(1, 1), 0);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_SET_DIGITAL_OUTPUT).back().digitalOutputWord, 0x70003u);
    EXPECT_EQ(boardOutputs(), 0b111u);
}

TEST_F(DigitalLinesTest, InputsReadTheBoardsLevels) {
    DeviceSlot& slot = openSimBoard("digital_inputs = 6\n", 6);
    uint32_t value = 9;
    EXPECT_EQ(KORAL_IOGetDigInput1(&value, 1), 0);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_GET_DIGITAL_INPUT).back().digitalInputWord, 0x1u);
    EXPECT_EQ(KORAL_IOGetDigInput3(&value, 1), 0);
    EXPECT_EQ(value, 1u);
    // A failing command still stores the answer bit as the block holds it.
    board->injectStatus(IOCTL_BOARD_GET_DIGITAL_INPUT, 130, 0);
    slot.block()->DigitalInputWord = 0x20000;
    EXPECT_EQ(KORAL_IOGetDigInput2(&value, 1), -1);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(KORAL_IOGetDigInput2(nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_IOGetDigInput2");
    // ID 0 names no one board: refused before any slot field is read.
    EXPECT_EQ(KORAL_IOGetDigInput1(&value, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_IOGetDigIntput1");
}

TEST_F(DigitalLinesTest, LatchModeByBoardGeneration) {
    DeviceSlot& slot = openSimBoard("", 6);
    EXPECT_EQ(KORAL_ParaSetInputLatchMode(5, 1), -1);
    EXPECT_RECORD(5, 505, 848, 1, "KORAL_ParaSetInputLatchMode");
    EXPECT_EQ(KORAL_ParaSetInputLatchMode(3, 1), 0);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_SET_INPUT_LATCH_MODE).back().digitalInputWord, 0x303u);
    EXPECT_EQ(slot.block()->DigitalInputWord, 0u);
    EXPECT_EQ(state().inputLatchTable[1], 0x303u);
    TearDown();
    SetUp();

    openSimBoard("hardware_word = 0x2064\n", 6);
    EXPECT_EQ(KORAL_ParaSetInputLatchMode(5, 1), 0);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_SET_INPUT_LATCH_MODE).back().digitalInputWord, 0x507u);
    EXPECT_EQ(board->digitalLines().latchMode, 5);
    TearDown();
    SetUp();

    openSimBoard("", 5);
    EXPECT_EQ(KORAL_ParaSetInputLatchMode(1, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_ParaSetInputLatchMode");
}

// The engine's shutter and the optical multiplexer reach the board's output 2.
TEST_F(DigitalLinesTest, ShutterAndOpticalMultiplexerSwitchOutput2) {
    DeviceSlot& slot = openSimBoard("", 6);
    slot.active = 1;
    EXPECT_EQ(SetAcquisitionShutter(1, 0, 0), 0);
    EXPECT_EQ(boardOutputs(), 0b10u); // polarity 0: closed is high
    EXPECT_EQ(SetAcquisitionShutter(1, 0, 1), 0);
    EXPECT_EQ(boardOutputs(), 0u);

    state().mux7wenDelayTime = 0;
    slot.muxType = 6;
    slot.muxPresent = 1;
    slot.muxChannels = 2;
    slot.block()->MuxMode = 1;
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(2, 1), 0);
    EXPECT_EQ(boardOutputs(), 0b10u);
    EXPECT_EQ(KORAL_ParaSetMUXActiveChannel(1, 1), 0);
    EXPECT_EQ(boardOutputs(), 0u);
}

} // namespace
} // namespace tarvik::testing
