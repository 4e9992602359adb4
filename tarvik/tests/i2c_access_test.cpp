// The raw I2C exports against the simulated board (through the device layer)
// and against a fake serial electronics, and the presence probe.

#include "i2c_sim_fixture.h"

#include "core/locks.h"
#include "hardware/i2c_access.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <mutex>
#include <thread>

namespace tarvik::testing {
namespace {

using Bytes8 = std::array<uint8_t, 8>;

class I2cAccessTest : public I2cSimTest {};

TEST_F(I2cAccessTest, IndexedReadOfTheFrontEndEeprom) {
    openSimBoard();
    const auto image = eeprom(0xA0);
    ASSERT_TRUE(image);
    Bytes8 buffer{};
    ASSERT_EQ(KORAL_I2C_Read_N_X(0xA0, buffer.data(), 16, 8, 1), 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image->begin() + 16));
    const auto sent = requestsOf(IOCTL_BOARD_I2C_OPERATION);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cDevice, 0xA0);
    EXPECT_EQ(sent[0].i2cOperation, 0x21);
    EXPECT_EQ(sent[0].i2cIndex, 16);
    EXPECT_EQ(sent[0].i2cLength, 8);
    EXPECT_EQ(sent[0].inputLength, KORAL_REQUEST_BLOCK_SIZE); // no data area
    EXPECT_EQ(boxCount(), 0u);
}

TEST_F(I2cAccessTest, WritesReachTheEeprom) {
    openSimBoard();
    const Bytes8 data{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(KORAL_I2C_Write_N_X(0xA0, data.data(), 200, 3, 1), 0);
    ASSERT_EQ(KORAL_I2C_Programming_X(0xA0, data.data() + 3, 203, 5, 1), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), eeprom(0xA0)->begin() + 200));
    // Without index the EEPROM takes the first byte as its address.
    const uint8_t pointerAndValue[] = {100, 0x5A};
    ASSERT_EQ(KORAL_I2C_Write_1_X(0xA0, pointerAndValue, 2, 1), 0);
    EXPECT_EQ((*eeprom(0xA0))[100], 0x5A);
    uint8_t back[2] = {};
    ASSERT_EQ(KORAL_I2C_Write_1_X(0xA0, pointerAndValue, 1, 1), 0);
    ASSERT_EQ(KORAL_I2C_Read_1_X(0xA0, back, 1, 1), 0);
    EXPECT_EQ(back[0], 0x5A);
    const auto sent = requestsOf(IOCTL_BOARD_I2C_OPERATION);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[1].i2cOperation, 0x40);
    EXPECT_EQ(sent[2].i2cOperation, 0x10);
    EXPECT_EQ(sent[2].i2cIndex, 0);
    EXPECT_EQ(sent[4].i2cOperation, 0x20);
}

TEST_F(I2cAccessTest, ProgrammingCompareFailureIsTheBoardsStatus) {
    openSimBoard();
    board->withI2cBus([](sim::I2cBus& bus) { bus.corruptWrites(0xA0); });
    const Bytes8 data{9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(KORAL_I2C_Programming_X(0xA0, data.data(), 192, 8, 1), -1);
    EXPECT_RECORD(1, 166, 0, 0, "KORAL_I2C_Programming_X");
    EXPECT_EQ(boxCount(), 1u);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).size(), 1u); // not retried
}

TEST_F(I2cAccessTest, ArgumentsOutsideTheirRangesSendNothing) {
    openSimBoard();
    Bytes8 buffer{};
    struct Case {
        const char* name;
        int32_t result;
    };
    const Case cases[] = {
        {"KORAL_I2C_Write_1_X", KORAL_I2C_Write_1_X(0xA0, buffer.data(), 9, 1)},
        {"KORAL_I2C_Write_1_X", KORAL_I2C_Write_1_X(0xA0, buffer.data(), 0, 1)},
        {"KORAL_I2C_Write_1_X", KORAL_I2C_Write_1_X(241, buffer.data(), 1, 1)},
        {"KORAL_I2C_Read_1_X", KORAL_I2C_Read_1_X(-1, buffer.data(), 1, 1)},
        {"KORAL_I2C_Write_N_X", KORAL_I2C_Write_N_X(241, buffer.data(), 0, 1, 1)},
        {"KORAL_I2C_Read_N_X", KORAL_I2C_Read_N_X(256, buffer.data(), 0, 1, 1)},
        {"KORAL_I2C_Read_N_X", KORAL_I2C_Read_N_X(0xA0, buffer.data(), 249, 8, 1)},
        {"KORAL_I2C_Read_N_X", KORAL_I2C_Read_N_X(0xA0, buffer.data(), -1, 1, 1)},
        {"KORAL_I2C_Programming_X", KORAL_I2C_Programming_X(0xA0, buffer.data(), 256, 1, 1)},
        {"KORAL_I2C_Read_N_X", KORAL_I2C_Read_N_X(0xA0, nullptr, 0, 1, 1)},
        {"KORAL_I2C_Write_1_X", KORAL_I2C_Write_1_X(0xA0, nullptr, 1, 1)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.result, -1) << c.name;
    }
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_1_X");
    EXPECT_EQ(boxCount(), std::size(cases));
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_I2C_OPERATION).empty());
}

TEST_F(I2cAccessTest, AddressAndIndexLimitsThatPass) {
    openSimBoard();
    Bytes8 buffer{};
    // 241..255 reach the read and programming forms (no device there).
    EXPECT_EQ(KORAL_I2C_Read_N_X(241, buffer.data(), 0, 1, 1), -1);
    EXPECT_RECORD(1, sim::kStatusI2cNoAcknowledge, 0, 0, "KORAL_I2C_Read_N_X");
    EXPECT_EQ(KORAL_I2C_Programming_X(255, buffer.data(), 0, 1, 1), -1);
    EXPECT_RECORD(1, sim::kStatusI2cNoAcknowledge, 0, 0, "KORAL_I2C_Programming_X");
    EXPECT_EQ(KORAL_I2C_Read_N_X(0xA0, buffer.data(), 248, 8, 1), 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), eeprom(0xA0)->begin() + 248));
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).size(), 3u);
}

TEST_F(I2cAccessTest, FailedBoardReadFillsTheCountBytesWithFF) {
    openSimBoard();
    std::array<uint8_t, 8> buffer{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(KORAL_I2C_Read_N_X(0x9C, buffer.data(), 0, 5, 1), -1);
    EXPECT_EQ(buffer, (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 6, 7, 8}));
    EXPECT_RECORD(1, sim::kStatusI2cNoAcknowledge, 0, 0, "KORAL_I2C_Read_N_X");
    EXPECT_TRUE(lastBoxNames("KORAL_I2C_Read_N_X"));
}

TEST_F(I2cAccessTest, StaleLongFieldsAreOverwritten) {
    DeviceSlot& slot = openSimBoard();
    slot.block()->I2CIndexLong = 0x1234;
    slot.block()->I2CLengthLong = 0x4321;
    uint8_t value = 0;
    ASSERT_EQ(KORAL_I2C_Read_N_X(0xA0, &value, 255, 1, 1), 0);
    const auto sent = requestsOf(IOCTL_BOARD_I2C_OPERATION);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cIndexLong, 255);
    EXPECT_EQ(sent[0].i2cLengthLong, 1);
    EXPECT_EQ(value, (*eeprom(0xA0))[255]);
}

TEST_F(I2cAccessTest, ProtectedAddresses) {
    for (int32_t open : {0x9C, 0x9E, 0xAC, 0xAE, 0xE0, 0xE5, 0xEF, 0x0C, 0x4D}) {
        EXPECT_EQ(IsOpenI2CAddress(open), 0) << std::hex << open;
    }
    for (int32_t closed : {0xA0, 0xA2, 0xA4, 0x74, 0x9A, 0x40, 0x91, 0xF0, 0x00}) {
        EXPECT_EQ(IsOpenI2CAddress(closed), -1) << std::hex << closed;
    }
}

TEST_F(I2cAccessTest, OlderFormsRefuseTheConfigurationEeproms) {
    openSimBoard();
    const Bytes8 data{};
    for (int32_t address : {0xA2, 0xA0, 0xA4}) {
        EXPECT_EQ(KORAL_I2C_Write_1(address, data.data(), 1, 1), -1);
        EXPECT_RECORD(5, 306, 0, 1, "KORAL_I2C_Write_1");
    }
    EXPECT_EQ(KORAL_I2C_Programming(0xA2, data.data(), 192, 1, 1), -1);
    EXPECT_RECORD(5, 306, 0, 1, "KORAL_I2C_Programming");
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_I2C_OPERATION).empty());
    EXPECT_EQ(boxCount(), 4u);
}

TEST_F(I2cAccessTest, OlderFormsReachOpenAddresses) {
    openSimBoard();
    sim::EepromContents contents{};
    for (size_t i = 0; i < contents.size(); ++i) {
        contents[i] = static_cast<uint8_t>(i ^ 0x5A);
    }
    board->withI2cBus([&](sim::I2cBus& bus) { bus.attachEeprom(0xAC, contents); });
    Bytes8 buffer{};
    ASSERT_EQ(KORAL_I2C_Read_N(0xAC, buffer.data(), 10, 4, 1), 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 4, contents.begin() + 10));
    const uint8_t data[] = {0xEE};
    ASSERT_EQ(KORAL_I2C_Write_N(0xAC, data, 3, 1, 1), 0);
    EXPECT_EQ(board->withI2cBus([](sim::I2cBus& bus) { return (*bus.eeprom(0xAC))[3]; }), 0xEE);
    // 0x9C is open: it goes through the full form and fails on the bus there.
    EXPECT_EQ(KORAL_I2C_Write_1(0x9C, data, 1, 1), -1);
    EXPECT_RECORD(1, sim::kStatusI2cNoAcknowledge, 0, 0, "KORAL_I2C_Write_1");
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).size(), 3u);
}

TEST_F(I2cAccessTest, OlderFormFailureShowsOneBoxUnderItsOwnName) {
    openSimBoard();
    Bytes8 buffer{};
    EXPECT_EQ(KORAL_I2C_Read_1(0x9C, buffer.data(), 9, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_1");
    ASSERT_EQ(boxCount(), 1u);
    EXPECT_TRUE(lastBoxNames("KORAL_I2C_Read_1"));
    EXPECT_FALSE(lastBoxNames("KORAL_I2C_Read_1_X"));
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
    EXPECT_EQ(errorBoxFlag(), 1u);
    // An ID outside the range is the older form's own check.
    EXPECT_EQ(KORAL_I2C_Read_1(0x9C, buffer.data(), 1, 16), -1);
    EXPECT_RECORD(5, 505, 818, 16, "KORAL_I2C_Read_1");
}

TEST_F(I2cAccessTest, CustomerDataArea) {
    openSimBoard();
    Bytes8 buffer{};
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_CustData(3, 0, buffer.data(), 0, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_EEPROM_CustData");
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_CustData(2, 0, buffer.data(), 60, 8, 1), -1);
    EXPECT_RECORD(5, 505, 808, 1, "KORAL_I2C_Read_EEPROM_CustData");
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_CustData(2, 0, buffer.data(), -1, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_EEPROM_CustData");
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_CustData(2, 0, buffer.data(), INT_MAX, 1, 1), -1);
    EXPECT_RECORD(5, 505, 808, 1, "KORAL_I2C_Read_EEPROM_CustData");
    // Count 0 passes the area test and is refused by the full form.
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_CustData(2, 0, buffer.data(), 0, 0, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_EEPROM_CustData");
    EXPECT_EQ(boxCount(), 5u);
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_I2C_OPERATION).empty());

    ASSERT_EQ(KORAL_I2C_Read_EEPROM_CustData(2, 0, buffer.data(), 0, 8, 1), 0);
    const auto sent = requestsOf(IOCTL_BOARD_I2C_OPERATION);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cDevice, 0xA0);
    EXPECT_EQ(sent[0].i2cIndex, 192);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), eeprom(0xA0)->begin() + 192));

    const Bytes8 data{0xC1, 0xC2, 0xC3, 0xC4, 0, 0, 0, 0};
    ASSERT_EQ(KORAL_I2C_Write_EEPROM_CustData(1, 0, data.data(), 56, 4, 1), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4, eeprom(0xA2)->begin() + 248));
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).back().i2cOperation, 0x40);
}

TEST_F(I2cAccessTest, FixedAreas) {
    openSimBoard();
    Bytes8 buffer{};
    ASSERT_EQ(KORAL_I2C_Read_EP856(buffer.data(), 0, 5, 1), 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 5, eeprom(0xA2)->begin() + 251));
    EXPECT_EQ(KORAL_I2C_Read_EP856(buffer.data(), 0, 6, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_EP856");
    EXPECT_EQ(boxCount(), 1u);
    // An offset may reach into the next area.
    ASSERT_EQ(KORAL_I2C_Read_EP547(buffer.data(), 6, 2, 1), 0);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).back().i2cIndex, 241);
    const Bytes8 data{0x11, 0x22};
    ASSERT_EQ(KORAL_I2C_Write_EPF016(data.data(), 1, 2, 1), 0);
    EXPECT_EQ((*eeprom(0xA0))[250], 0x11);
    EXPECT_EQ((*eeprom(0xA0))[251], 0x22);
    const struct {
        int32_t (*read)(uint8_t*, int32_t, int32_t, uint32_t);
        uint8_t device;
        uint8_t base;
    } areas[] = {{KORAL_I2C_Read_EP547, 0xA2, 235}, {KORAL_I2C_Read_EP345, 0xA2, 239},
                 {KORAL_I2C_Read_EP237, 0xA2, 243}, {KORAL_I2C_Read_EP945, 0xA2, 247},
                 {KORAL_I2C_Read_EP856, 0xA2, 251}, {KORAL_I2C_Read_EPF016, 0xA0, 249}};
    for (const auto& area : areas) {
        ASSERT_EQ(area.read(buffer.data(), 0, 1, 1), 0);
        EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).back().i2cDevice, area.device);
        EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).back().i2cIndex, area.base);
    }
}

// A negative offset would reach below the area into the image header.
TEST_F(I2cAccessTest, FixedAreasRefuseNegativeAndHugeOffsets) {
    openSimBoard();
    const auto before = eeprom(0xA2);
    const Bytes8 data{};
    EXPECT_EQ(KORAL_I2C_Write_EP547(data.data(), -235, 8, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_EP547");
    EXPECT_EQ(KORAL_I2C_Write_EP856(data.data(), INT_MIN, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_EP856");
    EXPECT_EQ(KORAL_I2C_Write_EP856(data.data(), INT_MAX, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_EP856");
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_I2C_OPERATION).empty());
    EXPECT_EQ(eeprom(0xA2), before);
    EXPECT_EQ(boxCount(), 3u);
}

TEST_F(I2cAccessTest, IsaBoardHasNoI2cBus) {
    addSlot(1, kTypeIsa);
    Bytes8 buffer{};
    EXPECT_EQ(KORAL_I2C_Read_N_X(0xA0, buffer.data(), 0, 1, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_I2C_Read_N_X");
    EXPECT_EQ(KORAL_I2C_Write_1_X(0x9C, buffer.data(), 1, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_I2C_Write_1_X");
}

TEST_F(I2cAccessTest, InterfaceZeroAndClosedInterfaces) {
    openSimBoard();
    Bytes8 buffer{};
    // ID 0 passes the state check but has no slot of its own.
    EXPECT_EQ(KORAL_I2C_Read_N_X(0xA0, buffer.data(), 0, 1, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_I2C_Read_N_X");
    EXPECT_EQ(KORAL_I2C_Read_N_X(0xA0, buffer.data(), 0, 1, 2), -1);
    EXPECT_RECORD(5, 504, 0, 2, "KORAL_I2C_Read_N_X");
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_I2C_OPERATION).empty());
}

// In a continuous work mode the board refuses I2C; the sender pauses the mode.
TEST_F(I2cAccessTest, ContinuousModeIsPausedAroundTheTransfer) {
    DeviceSlot& slot = openSimBoard();
    slot.block()->WorkMode = 6;
    ASSERT_EQ(SendDeviceCommand(KORAL_CMD_INIT), 0);
    ASSERT_TRUE(board->continuousAcquisition());
    board->clearRequests();

    Bytes8 buffer{};
    ASSERT_EQ(KORAL_I2C_Read_N_X(0xA0, buffer.data(), 16, 4, 1), 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 4, eeprom(0xA0)->begin() + 16));
    const auto sent = board->requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].ioControlCode, IOCTL_BOARD_INIT);
    EXPECT_EQ(sent[0].workMode, 3);
    EXPECT_EQ(sent[1].ioControlCode, IOCTL_BOARD_I2C_OPERATION);
    EXPECT_EQ(sent[1].status, 0);
    EXPECT_EQ(sent[2].ioControlCode, IOCTL_BOARD_INIT);
    EXPECT_EQ(sent[2].workMode, 6);
    EXPECT_EQ(slot.block()->WorkMode, 6);
    EXPECT_TRUE(board->continuousAcquisition());

    // A failing transfer still puts the board back into its mode.
    EXPECT_EQ(KORAL_I2C_Read_N_X(0x9C, buffer.data(), 0, 1, 1), -1);
    EXPECT_RECORD(1, sim::kStatusI2cNoAcknowledge, 0, 0, "KORAL_I2C_Read_N_X");
    EXPECT_TRUE(board->continuousAcquisition());
}

// Each transfer holds the DeviceLock for the slot's block from the fields to
// the answer, so transfers of two threads never mix.
TEST_F(I2cAccessTest, TransfersOfTwoThreadsDoNotInterleave) {
    openSimBoard();
    const sim::EepromContents image = *eeprom(0xA0);
    auto reader = [&](int32_t index, int* mismatches) {
        for (int i = 0; i < 40; ++i) {
            Bytes8 buffer{};
            if (KORAL_I2C_Read_N_X(0xA0, buffer.data(), index, 8, 1) != 0 ||
                !std::equal(buffer.begin(), buffer.end(), image.begin() + index)) {
                ++*mismatches;
            }
        }
    };
    int first = 0;
    int second = 0;
    std::thread other(reader, 8, &first);
    reader(160, &second);
    other.join();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).size(), 80u);
}

TEST_F(I2cAccessTest, ProbeOfAGeneration1BoardReadsTwoBytes) {
    openSimBoard();
    std::lock_guard guard(deviceLock());
    EXPECT_TRUE(ProbeI2CDevice(0xA0, 1));
    EXPECT_FALSE(ProbeI2CDevice(0xA4, 1)); // no multiplexer EEPROM by default
    const auto sent = requestsOf(IOCTL_BOARD_I2C_OPERATION);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].i2cDevice, 0xA4);
    EXPECT_EQ(sent[1].i2cOperation, 0x20);
    EXPECT_EQ(sent[1].i2cLength, 2);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_CHECK_DEVICE).size(), 0u);
    EXPECT_EQ(boxCount(), 0u);
}

TEST_F(I2cAccessTest, ProbeOfAGeneration2BoardAsksForPresence) {
    openSimBoard("hardware_word = 0x2064\nmux_image = 2\nmux_assembly = 6\n");
    std::lock_guard guard(deviceLock());
    EXPECT_TRUE(ProbeI2CDevice(0xA4, 1));
    EXPECT_FALSE(ProbeI2CDevice(0x48, 1));
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_CHECK_DEVICE).size(), 2u);
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_I2C_OPERATION).empty());
    // A failed command answers absent and leaves its record.
    board->injectStatus(IOCTL_BOARD_I2C_CHECK_DEVICE, 151, 0);
    EXPECT_FALSE(ProbeI2CDevice(0xA4, 1));
    EXPECT_RECORD(1, 151, 0, 0, "");
    EXPECT_EQ(boxCount(), 0u);
}

TEST_F(I2cAccessTest, ProbeOfAPciBoardReadsTwoBytes) {
    openSimBoard("hardware_word = 0x2064\n", 4);
    std::lock_guard guard(deviceLock());
    EXPECT_TRUE(ProbeI2CDevice(0xA2, 1));
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_CHECK_DEVICE).size(), 0u);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).size(), 1u);
}

// --- serial electronics

TEST_F(I2cAccessTest, SerialTransferThroughTheLink) {
    openSerialSlot();
    sim::EepromContents contents{};
    contents[20] = 0x42;
    contents[21] = 0x43;
    serial->bus.attachEeprom(0x9C, contents);
    uint8_t buffer[2] = {};
    ASSERT_EQ(KORAL_I2C_Read_N_X(0x9C, buffer, 20, 2, 1), 0);
    EXPECT_EQ(buffer[0], 0x42);
    EXPECT_EQ(buffer[1], 0x43);
    const auto& block = qreLink()->i2cTransfer;
    EXPECT_EQ(block[2], 0x21);
    EXPECT_EQ(block[3], 0x9C);
    EXPECT_EQ(block[4], 20);
    EXPECT_EQ(block[5], 2);
    // Status poll, the block written (one data frame), read back done.
    EXPECT_EQ(serialLine->electronics.unit(1)->commands(), (std::vector<uint8_t>{14, 15, 2}));
    const uint8_t data[] = {7, 8, 9};
    ASSERT_EQ(KORAL_I2C_Programming_X(0x9C, data, 100, 3, 1), 0);
    EXPECT_EQ(block[2], 0x40);
    EXPECT_TRUE(std::equal(data, data + 3, serial->bus.eeprom(0x9C)->begin() + 100));
    EXPECT_EQ(commands7(), 0u);
}

TEST_F(I2cAccessTest, SerialI2cStatusByteIsReported) {
    openSerialSlot();
    uint8_t buffer[3] = {1, 2, 3};
    EXPECT_EQ(KORAL_I2C_Read_N_X(0xAE, buffer, 0, 3, 1), -1); // no device: -52
    EXPECT_RECORD(1, -52, 0, 1, "KORAL_I2C_Read_N_X");
    EXPECT_EQ(buffer[0], 1); // the serial path leaves the buffer as it was
    EXPECT_EQ(buffer[2], 3);
    EXPECT_EQ(commands7(), 1u);
    EXPECT_EQ(qreLink()->i2cTransfer[7], 0);
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(I2cAccessTest, SerialTransferThatNeverEndsTimesOut) {
    openSerialSlot();
    serial->transfersUntilFailure = 1;
    uint8_t buffer[1] = {0x33};
    const platform::TimePoint start = serialLine->clock.now();
    EXPECT_EQ(KORAL_I2C_Read_1_X(0x9C, buffer, 1, 1), -1);
    EXPECT_RECORD(1, qre::kErrTimeoutDataReady, 0, 1, "KORAL_I2C_Read_1_X");
    EXPECT_GT(serialLine->clock.now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(buffer[0], 0x33);
    EXPECT_EQ(commands7(), 1u);
}

TEST_F(I2cAccessTest, SerialFirmwareWithoutTheTransferBlock) {
    openSerialSlot(309);
    const uint8_t data[] = {1};
    EXPECT_EQ(KORAL_I2C_Write_1_X(0x9C, data, 1, 1), -1);
    EXPECT_RECORD(1, qre::kErrFirmwareNotCorrect, 0, 1, "KORAL_I2C_Write_1_X");
    EXPECT_EQ(serial->transfers, 0);
    EXPECT_EQ(commands7(), 1u);
}

TEST_F(I2cAccessTest, SerialSlotWithoutItsBlocksIsRefusedByTheGate) {
    addSlot(1, kTypeSerial).initialised = 1;
    uint8_t buffer[1] = {0};
    EXPECT_EQ(KORAL_I2C_Read_1_X(0x9C, buffer, 1, 1), -1);
    EXPECT_RECORD(1, qre::kErrFirmwareNotCorrect, 0, 1, "KORAL_I2C_Read_1_X");
}

} // namespace
} // namespace tarvik::testing
