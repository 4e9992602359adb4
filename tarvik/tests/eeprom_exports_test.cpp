// The whole-image EEPROM exports and the boot EEPROM exports against the
// simulated board and a fake serial electronics.

#include "i2c_sim_fixture.h"

#include "hardware/eeprom_image.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace tarvik::testing {
namespace {

using Image = std::array<uint8_t, 256>;

class EepromExportsTest : public I2cSimTest {
protected:
    static Image pattern(uint8_t seed) {
        Image image;
        for (size_t i = 0; i < image.size(); ++i) {
            image[i] = static_cast<uint8_t>(i * 7 + seed);
        }
        return image;
    }
    Image bootOfBoard() const { return board->bootEeprom(); }
};

TEST_F(EepromExportsTest, ReadsAWholeImage) {
    openSimBoard();
    Image buffer{};
    ASSERT_EQ(KORAL_I2C_Read_EEPROM_X(0xA0, buffer.data(), 1), 0);
    EXPECT_EQ(buffer, *eeprom(0xA0));
    const auto sent = requestsOf(IOCTL_BOARD_I2C_OPERATION);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cOperation, 0x80);
    EXPECT_EQ(sent[0].i2cIndex, 0);
    EXPECT_EQ(sent[0].i2cLength, 255);
    EXPECT_EQ(sent[0].dataLength, 128u);
    EXPECT_EQ(sent[0].inputLength, KORAL_REQUEST_BLOCK_SIZE + 256);
    EXPECT_TRUE(IsValidEepromImage(buffer.data(), kImageKindFrontEnd));
}

TEST_F(EepromExportsTest, AFailedReadIsTriedOnceMore) {
    openSimBoard();
    board->withI2cBus([](sim::I2cBus& bus) { bus.failReads(0xA2); });
    Image buffer{};
    ASSERT_EQ(KORAL_I2C_Read_EEPROM_X(0xA2, buffer.data(), 1), 0);
    EXPECT_EQ(buffer, *eeprom(0xA2));
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).size(), 2u);
    EXPECT_EQ(boxCount(), 0u);

    board->withI2cBus([](sim::I2cBus& bus) { bus.failReads(0xA2, 2); });
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_X(0xA2, buffer.data(), 1), -1);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_RECORD(1, sim::kStatusI2cNoAcknowledge, 0, 0, "KORAL_I2C_Read_EEPROM_X");
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(EepromExportsTest, AnAbsentEepromReadsAsAllFF) {
    openSimBoard();
    Image buffer = pattern(1);
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_X(0xA4, buffer.data(), 1), -1);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_FALSE(IsValidEepromImage(buffer.data(), kImageKindMux));
}

TEST_F(EepromExportsTest, WritesAWholeImageOnce) {
    openSimBoard();
    const Image image = pattern(3);
    ASSERT_EQ(KORAL_I2C_Write_EEPROM_X(0xA0, image.data(), 1), 0);
    EXPECT_EQ(*eeprom(0xA0), image);
    auto sent = requestsOf(IOCTL_BOARD_I2C_OPERATION);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cOperation, 0x81);
    EXPECT_EQ(sent[0].dataLength, 128u);

    board->withI2cBus([](sim::I2cBus& bus) { bus.corruptWrites(0xA0); });
    EXPECT_EQ(KORAL_I2C_Write_EEPROM_X(0xA0, image.data(), 1), -1);
    EXPECT_RECORD(1, sim::kStatusI2cCompare, 0, 0, "KORAL_I2C_Write_EEPROM_X");
    EXPECT_EQ(requestsOf(IOCTL_BOARD_I2C_OPERATION).size(), 2u); // no repetition
}

TEST_F(EepromExportsTest, FrontEndImageOfVersion0IsWrittenBackAsVersion2) {
    openSimBoard("frontend_image = 0\n");
    Image image{};
    ASSERT_EQ(KORAL_I2C_Read_EEPROM_X(0xA0, image.data(), 1), 0);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd) && view.Verify());
    EXPECT_EQ(view.header().imageVersion(), 0);
    ASSERT_TRUE(view.UpgradeLayout(true));
    ASSERT_EQ(KORAL_I2C_Write_EEPROM_X(0xA0, image.data(), 1), 0);

    Image back{};
    ASSERT_EQ(KORAL_I2C_Read_EEPROM_X(0xA0, back.data(), 1), 0);
    EXPECT_EQ(back, image);
    EXPECT_EQ(sim::imageWord(back, 0), 42);
    EXPECT_EQ(sim::imageWord(back, 8) >> 12, 2);
    EXPECT_EQ(sim::imageWord(back, 2), sim::crc16({back.data() + 4, 42}));
    EXPECT_EQ(sim::imageWord(back, 22), 64); // sensor type 7: 64 physical rows
}

TEST_F(EepromExportsTest, ArgumentChecks) {
    openSimBoard();
    Image buffer{};
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_X(256, buffer.data(), 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_EEPROM_X");
    EXPECT_EQ(KORAL_I2C_Write_EEPROM_X(-1, buffer.data(), 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_EEPROM_X");
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_X(0xA0, nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_EEPROM_X");
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_X(0xA0, buffer.data(), 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_I2C_Read_EEPROM_X");
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_I2C_OPERATION).empty());
}

TEST_F(EepromExportsTest, IsaBoardHasNoEeproms) {
    addSlot(1, kTypeIsa);
    Image buffer{};
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_X(0xA0, buffer.data(), 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_I2C_Read_EEPROM_X");
    EXPECT_EQ(KORAL_I2C_Write_EEPROM_X(0xA0, buffer.data(), 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_I2C_Write_EEPROM_X");
}

TEST_F(EepromExportsTest, SerialElectronicsMoveTheImageInPiecesOfEight) {
    openSerialSlot();
    const Image image = pattern(5);
    serial->bus.attachEeprom(0xA2, image);
    Image buffer{};
    ASSERT_EQ(KORAL_I2C_Read_EEPROM_X(0xA2, buffer.data(), 1), 0);
    EXPECT_EQ(buffer, image);
    EXPECT_EQ(serial->transfers, 32);

    const Image other = pattern(9);
    ASSERT_EQ(KORAL_I2C_Write_EEPROM_X(0xA2, other.data(), 1), 0);
    EXPECT_EQ(*serial->bus.eeprom(0xA2), other);
    EXPECT_EQ(serial->transfers, 64);
    EXPECT_EQ(boxCount(), 0u);
    EXPECT_EQ(errorBoxFlag(), 1u);
}

TEST_F(EepromExportsTest, SerialReadStopsAtTheFirstFailingPiece) {
    openSerialSlot();
    serial->bus.attachEeprom(0xA0, pattern(5));
    serial->transfersUntilFailure = 3;
    Image buffer = pattern(200);
    const Image before = buffer;
    EXPECT_EQ(KORAL_I2C_Read_EEPROM_X(0xA0, buffer.data(), 1), -1);
    EXPECT_EQ(serial->transfers, 3);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 16, pattern(5).begin()));
    EXPECT_TRUE(
        std::all_of(buffer.begin() + 16, buffer.begin() + 24, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(buffer.begin() + 24, buffer.end(), before.begin() + 24));
    EXPECT_RECORD(1, qre::kErrTimeoutDataReady, 0, 1, "KORAL_I2C_Read_EEPROM_X");
    ASSERT_EQ(boxCount(), 1u);
    EXPECT_TRUE(lastBoxNames("KORAL_I2C_Read_EEPROM_X"));
    EXPECT_EQ(errorBoxFlag(), 1u);
}

// --- boot EEPROM

TEST_F(EepromExportsTest, BootEepromOfAGeneration1UsbBoardIsNotAvailable) {
    openSimBoard();
    Image buffer{};
    int32_t length = 64;
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA0, buffer.data(), 0, &length, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_I2C_Read_Boot_EEPROM");
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_BOOT_EEPROM).empty());
}

TEST_F(EepromExportsTest, BootEepromOfAGeneration2UsbBoard) {
    DeviceSlot& slot = openSimBoard("hardware_word = 0x2064\n");
    const Image boot = bootOfBoard();
    Image buffer{};
    int32_t length = 64;
    ASSERT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA2, buffer.data(), 0, &length, 1), 0);
    EXPECT_EQ(length, 64);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 64, boot.begin()));
    auto sent = requestsOf(IOCTL_BOARD_BOOT_EEPROM);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cOperation, 0x84);
    EXPECT_EQ(sent[0].i2cIndex, 255);
    EXPECT_EQ(sent[0].i2cLength, 255);
    EXPECT_EQ(sent[0].i2cIndexLong, 0);
    EXPECT_EQ(sent[0].i2cLengthLong, 64);

    // An odd length gets a data area that holds it; a stale I2CData byte
    // does not make the board refuse the write.
    slot.block()->I2CData[0] = 0x77;
    const uint8_t bytes[] = {0xB1, 0xB2, 0xB3};
    length = 3;
    ASSERT_EQ(KORAL_I2C_Write_Boot_EEPROM(0xA2, bytes, 100, &length, 1), 0);
    sent = requestsOf(IOCTL_BOARD_BOOT_EEPROM);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].i2cOperation, 0x82);
    EXPECT_EQ(sent[1].dataLength, 2u);
    EXPECT_EQ(sent[1].i2cIndexLong, 100);
    const Image after = bootOfBoard();
    EXPECT_TRUE(std::equal(bytes, bytes + 3, after.begin() + 100));
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 100, boot.begin()));
    EXPECT_EQ(after[103], boot[103]);
}

TEST_F(EepromExportsTest, BootEepromArgumentChecks) {
    openSimBoard("hardware_word = 0x2064\n");
    Image buffer{};
    int32_t length = 8;
    int32_t zero = 0;
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0x100, buffer.data(), 0, &length, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_Boot_EEPROM");
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA2, nullptr, 0, &length, 1), -1);
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA2, buffer.data(), 0, nullptr, 1), -1);
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA2, buffer.data(), 0, &zero, 1), -1);
    EXPECT_EQ(KORAL_I2C_Write_Boot_EEPROM(0xA2, buffer.data(), -1, &length, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_Boot_EEPROM");
    // Beyond the board's 16-bit fields.
    int32_t huge = 0x10000;
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA2, buffer.data(), 0, &huge, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_Boot_EEPROM");
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_BOOT_EEPROM).empty());
    // The board's own limit.
    int32_t tooLong = 300;
    std::array<uint8_t, 300> large{};
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA2, large.data(), 0, &tooLong, 1), -1);
    EXPECT_RECORD(1, sim::kStatusNotSupported, 256, 0, "KORAL_I2C_Read_Boot_EEPROM");
    EXPECT_EQ(requestsOf(IOCTL_BOARD_BOOT_EEPROM).size(), 2u); // tried once more
}

TEST_F(EepromExportsTest, BootEepromOfOtherBoardTypes) {
    openSimBoard("", 4);
    Image buffer{};
    int32_t length = 8;
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA0, buffer.data(), 0, &length, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_I2C_Read_Boot_EEPROM");
}

class BootType8Test : public EepromExportsTest {
protected:
    DeviceSlot& open(const std::string& keys = "") {
        DeviceSlot& slot = openSimBoard(keys, 8);
        Image image = sim::buildBootImage({});
        for (size_t i = 0; i < 16; ++i) {
            image[i] = static_cast<uint8_t>(0xC0 + i);
        }
        for (size_t i = 48; i < 256; ++i) {
            image[i] = static_cast<uint8_t>(i);
        }
        board->setBootEeprom(image);
        boot = image;
        return slot;
    }
    uint8_t* bootArea(DeviceSlot& slot) { return slot.configuration.data() + kBootImageArea; }
    Image boot{};
};

TEST_F(BootType8Test, ReadWithoutOptionsSkipsTheControllerBytes) {
    DeviceSlot& slot = open();
    std::array<uint8_t, 300> buffer;
    buffer.fill(0x11);
    int32_t length = 256;
    ASSERT_EQ(KORAL_I2C_Read_Boot_EEPROM(0, buffer.data(), 0, &length, 1), 0);
    EXPECT_EQ(length, 240);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 224, boot.begin() + 16));
    EXPECT_TRUE(
        std::all_of(buffer.begin() + 224, buffer.end(), [](uint8_t b) { return b == 0x11; }));
    EXPECT_TRUE(std::equal(boot.begin(), boot.end(), bootArea(slot)));
    const auto sent = requestsOf(IOCTL_BOARD_BOOT_EEPROM);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cDevice, 0xA0); // address part 0
    EXPECT_EQ(sent[0].i2cLength, 255);
    EXPECT_EQ(sent[0].i2cIndex, 0);
}

TEST_F(BootType8Test, ReadOfTheWholeImage) {
    open();
    Image buffer{};
    int32_t length = 256;
    ASSERT_EQ(
        KORAL_I2C_Read_Boot_EEPROM(0xA0 | KORAL_BOOT_WHOLE_IMAGE, buffer.data(), 0, &length, 1), 0);
    EXPECT_EQ(length, 256);
    EXPECT_EQ(buffer, boot);
}

TEST_F(BootType8Test, ShortReadWithoutOptionsCopiesNothing) {
    DeviceSlot& slot = open();
    std::array<uint8_t, 16> buffer;
    buffer.fill(0x22);
    int32_t length = 16;
    ASSERT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA0, buffer.data(), 0, &length, 1), 0);
    EXPECT_EQ(length, 16);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0x22; }));
    EXPECT_TRUE(std::equal(boot.begin(), boot.begin() + 16, bootArea(slot)));
    // An odd length: the data area holds every byte the board reads.
    int32_t odd = 17;
    std::array<uint8_t, 17> small{};
    ASSERT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA0, small.data(), 0, &odd, 1), 0);
    EXPECT_EQ(small[0], boot[16]);
    EXPECT_EQ(requestsOf(IOCTL_BOARD_BOOT_EEPROM).back().dataLength, 9u);
}

// The boot area of the slot holds 256 bytes: longer reads are refused before
// anything is copied into it.
TEST_F(BootType8Test, LengthsBeyondTheBootAreaAreRefused) {
    DeviceSlot& slot = open();
    std::array<uint8_t, 512> buffer{};
    const std::array<uint8_t, 4> guard{slot.configuration[1024], slot.configuration[1025],
                                       slot.configuration[1026], slot.configuration[1027]};
    int32_t length = 257;
    EXPECT_EQ(
        KORAL_I2C_Read_Boot_EEPROM(0xA0 | KORAL_BOOT_WHOLE_IMAGE, buffer.data(), 0, &length, 1),
        -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Read_Boot_EEPROM");
    EXPECT_EQ(length, 257);
    int32_t whole = 256;
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA0, buffer.data(), 256, &whole, 1), -1);
    EXPECT_TRUE(requestsOf(IOCTL_BOARD_BOOT_EEPROM).empty());
    EXPECT_TRUE(std::equal(guard.begin(), guard.end(), slot.configuration.begin() + 1024));
}

// Offset 255 with length 256 sets both 8-bit fields to 255: a generation-2
// board then takes the 16-bit ones, which must not be left from before.
TEST_F(BootType8Test, Index255DoesNotUseAStaleLongIndex) {
    DeviceSlot& slot = open("hardware_word = 0x2064\n");
    slot.block()->I2CIndexLong = 0;
    slot.block()->I2CLengthLong = 8;
    Image buffer{};
    int32_t length = 256;
    ASSERT_EQ(
        KORAL_I2C_Read_Boot_EEPROM(0xA0 | KORAL_BOOT_WHOLE_IMAGE, buffer.data(), 255, &length, 1),
        0);
    const auto sent = requestsOf(IOCTL_BOARD_BOOT_EEPROM);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].i2cIndex, 255);
    EXPECT_EQ(sent[0].i2cLength, 255);
    EXPECT_EQ(sent[0].i2cIndexLong, 255);
    EXPECT_EQ(sent[0].i2cLengthLong, 256);
    EXPECT_EQ(buffer[0], boot[255]);
    EXPECT_EQ(buffer[1], boot[0]); // the EEPROM's addresses wrap
}

TEST_F(BootType8Test, WriteKeepsTheControllerBytesAndStoresTheCrc) {
    DeviceSlot& slot = open();
    Image read{};
    int32_t length = 256;
    ASSERT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA0 | KORAL_BOOT_WHOLE_IMAGE, read.data(), 0, &length, 1),
              0);
    Image image = pattern(40);
    image[16] = 28; // length of the checked bytes
    image[17] = 0;
    image[20] = 0; // version
    length = 256;
    ASSERT_EQ(KORAL_I2C_Write_Boot_EEPROM(0xA0 | KORAL_BOOT_STORE_CRC, image.data(), 0, &length, 1),
              0);
    const Image written = bootOfBoard();
    EXPECT_TRUE(std::equal(written.begin(), written.begin() + 16, boot.begin()));
    EXPECT_TRUE(std::equal(written.begin() + 20, written.end(), image.begin() + 20));
    EXPECT_EQ(sim::imageWord(written, 18), sim::crc16({written.data() + 20, 28}));
    EXPECT_TRUE(std::equal(written.begin(), written.end(), bootArea(slot)));
    EXPECT_TRUE(IsValidEepromImage(bootArea(slot), kImageKindBoot));
    const auto sent = requestsOf(IOCTL_BOARD_BOOT_EEPROM).back();
    EXPECT_EQ(sent.i2cOperation, 0x82);
    EXPECT_EQ(sent.i2cLength, 255);
    EXPECT_EQ(sent.dataLength, 128u);
}

TEST_F(BootType8Test, WriteOfTheWholeImageAndItsLimits) {
    open();
    Image image = pattern(60);
    int32_t length = 256;
    ASSERT_EQ(
        KORAL_I2C_Write_Boot_EEPROM(0xA0 | KORAL_BOOT_WHOLE_IMAGE, image.data(), 0, &length, 1), 0);
    EXPECT_EQ(bootOfBoard(), image);
    // A write takes 256 bytes from the buffer, so a shorter one is refused.
    int32_t shorter = 100;
    EXPECT_EQ(
        KORAL_I2C_Write_Boot_EEPROM(0xA0 | KORAL_BOOT_WHOLE_IMAGE, image.data(), 0, &shorter, 1),
        -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_Boot_EEPROM");
    // No CRC for a length word out of range: nothing is written.
    image[16] = 237;
    image[17] = 0;
    EXPECT_EQ(KORAL_I2C_Write_Boot_EEPROM(0xA0 | KORAL_BOOT_WHOLE_IMAGE | KORAL_BOOT_STORE_CRC,
                                          image.data(), 0, &length, 1),
              -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_Write_Boot_EEPROM");
    EXPECT_EQ(requestsOf(IOCTL_BOARD_BOOT_EEPROM).size(), 1u);
    EXPECT_EQ(bootOfBoard(), pattern(60));
}

TEST_F(BootType8Test, RefusedInContinuousAcquisition) {
    DeviceSlot& slot = open();
    slot.block()->WorkMode = 7;
    ASSERT_EQ(SendDeviceCommand(KORAL_CMD_INIT), 0);
    Image buffer{};
    int32_t length = 8;
    EXPECT_EQ(KORAL_I2C_Read_Boot_EEPROM(0xA0, buffer.data(), 0, &length, 1), -1);
    EXPECT_RECORD(1, sim::kStatusWrongWorkMode, 0, 0, "KORAL_I2C_Read_Boot_EEPROM");
}

} // namespace
} // namespace tarvik::testing
