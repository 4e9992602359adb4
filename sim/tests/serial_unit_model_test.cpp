// The device model of a simulated serial electronics unit, driven as the
// frame level drives it, and the units of a set-up served on their COM port.

#include "sim/serial_unit_model.h"

#include "sim/eeprom_images.h"

#include "platform/serial_fake.h"
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;

namespace sim {
namespace {

namespace qre = tarvik::qre;

uint32_t get32(std::span<const uint8_t> block, std::size_t at) {
    return block[at] | block[at + 1] << 8 | block[at + 2] << 16 |
           static_cast<uint32_t>(block[at + 3]) << 24;
}

class SerialUnitModelTest : public ::testing::Test {
protected:
    void SetUp() override { model.install(unit); }

    platform::VirtualClock clock;
    platform::ScopedClock scope{clock};
    SerialUnit unit{1};
    SerialUnitModel model{SerialUnitConfig{}};
};

TEST_F(SerialUnitModelTest, ConfigurationBlockCarriesTheShortImages) {
    const std::span<uint8_t> c = unit.block(qre::kConfigurationBlock);
    EXPECT_EQ(c[2], 1);       // read
    EXPECT_EQ(c[4 + 4], 1);   // interface image kind
    EXPECT_EQ(c[4 + 6], 3);   // interface type: serial electronics
    EXPECT_EQ(c[28 + 6], 6);  // front-end type
    EXPECT_EQ(c[28 + 16], 6); // sensor type
    EXPECT_EQ(c[28 + 18] | c[28 + 19] << 8, 1044);
    EXPECT_EQ(c[68] | c[69] << 8, 0); // no multiplexer
    EXPECT_EQ(unit.block(qre::kVersionBlock)[2] | unit.block(qre::kVersionBlock)[3] << 8, 316);
    // The front-end EEPROM on the unit's I2C bus holds the same image.
    std::array<uint8_t, 4> head{};
    EXPECT_EQ(model.i2cBus().read(kFrontEndEeprom, 4, head), I2cResult::Done);
    EXPECT_EQ(head[2], 6);
}

TEST_F(SerialUnitModelTest, SingleScanIsReadyAfterItsIntegrationTime) {
    const std::span<uint8_t> s = unit.block(qre::kSettingsBlock);
    s[16] = 0x10; // 10,000 µs
    s[17] = 0x27;
    s[21] = 18;
    model.command(unit, 4);
    EXPECT_EQ(get32(model.takenSettings(), 16), 10000u);
    model.command(unit, 5);
    clock.advance(9ms);
    model.beforeBlockRead(unit, qre::kVersionBlock);
    const std::span<uint8_t> v = unit.block(qre::kVersionBlock);
    EXPECT_EQ(v[18], 0);
    clock.advance(1ms);
    model.beforeBlockRead(unit, qre::kVersionBlock);
    EXPECT_EQ(v[18], 1);
    EXPECT_EQ(v[19], 0);
    // Dark 500 and 1000 counts per ms at the brightest pixel.
    const std::span<uint8_t> record = unit.block(1);
    EXPECT_EQ(record[16] | record[17] << 8, 1044);
    int16_t brightest = 0;
    for (std::size_t i = 0; i < 1044; ++i) {
        brightest = std::max<int16_t>(
            brightest, static_cast<int16_t>(record[18 + 2 * i] | record[19 + 2 * i] << 8));
    }
    EXPECT_NEAR(brightest, 10500, 1);
    model.command(unit, 6);
    EXPECT_EQ(v[18], 0);
}

TEST_F(SerialUnitModelTest, ContinuousStartSettlesAndCommand7ClearsTheErrors) {
    unit.block(qre::kSettingsBlock)[21] = 4;
    model.command(unit, 4);
    model.command(unit, 5);
    const std::span<uint8_t> v = unit.block(qre::kVersionBlock);
    model.beforeBlockRead(unit, qre::kVersionBlock);
    EXPECT_EQ(v[17], 1);
    clock.advance(10ms);
    model.beforeBlockRead(unit, qre::kVersionBlock);
    EXPECT_EQ(v[17], 2);
    model.setDeviceError(-5);
    model.setDigitalInputs(0x03);
    model.beforeBlockRead(unit, qre::kVersionBlock);
    EXPECT_EQ(static_cast<int16_t>(v[6] | v[7] << 8), -5);
    EXPECT_EQ(v[16], 0x03);
    model.command(unit, 7);
    model.beforeBlockRead(unit, qre::kVersionBlock);
    EXPECT_EQ(v[6] | v[7] << 8, 0);
    EXPECT_EQ(v[17], 0);
}

TEST(SerialUnitModelLineTest, ResetSilencesTheUnitForItsTime) {
    platform::VirtualClock clock;
    platform::ScopedClock scope{clock};
    SerialElectronics electronics;
    platform::serial::FakeSerialLine line;
    line.setDevice(&electronics);
    SerialUnit& unit = electronics.addUnit(1);
    auto model = std::make_shared<SerialUnitModel>(SerialUnitConfig{});
    model->install(unit);
    unit.setBehaviour(model);
    model->setResetTime(3s);
    std::unique_ptr<platform::serial::SerialPort> port;
    ASSERT_EQ(line.open(port), 0);
    ASSERT_EQ(port->setTimeouts({300, 300}), 0);
    // Answers of an 8-byte frame from the unit within the read time-out.
    auto answered = [&](uint8_t code, uint8_t sequence) {
        const qre::CommandFrame f = qre::commandFrame(1, 0, code, 0, sequence);
        std::size_t written = 0;
        EXPECT_EQ(port->write(std::vector<uint8_t>(f.begin(), f.end()), written), 0);
        std::vector<uint8_t> reply(8);
        std::size_t got = 0;
        EXPECT_EQ(port->read(reply, got), 0);
        return got == 8;
    };
    EXPECT_TRUE(answered(qre::kGlobalReset, 0));
    EXPECT_EQ(model->resets(), 1);
    EXPECT_FALSE(answered(qre::kStatusPoll, 1));
    EXPECT_FALSE(answered(qre::kRepeatRequest, 1)); // not even the last answer again
    clock.advance(3s);
    EXPECT_TRUE(answered(qre::kStatusPoll, 1));
    line.setDevice(nullptr);
}

TEST(SerialUnitRegistryTest, UnitsOfAPortShareItsLine) {
    SerialUnitConfig a;
    a.name = "A";
    a.comPort = 9;
    SerialUnitConfig b = a;
    b.name = "b";
    b.address = 4;
    SerialUnitRegistry& registry = SerialUnitRegistry::instance();
    ASSERT_EQ(registry.attach({a, b}), 0);
    ASSERT_TRUE(registry.find("a"));
    EXPECT_EQ(registry.find("B")->config().address, 4);
    const std::shared_ptr<SerialElectronics> electronics = registry.electronics(9);
    ASSERT_TRUE(electronics);
    EXPECT_NE(electronics->unit(1), nullptr);
    EXPECT_NE(electronics->unit(4), nullptr);
    std::unique_ptr<platform::serial::SerialPort> port;
    EXPECT_EQ(platform::serial::openSerialPort("COM9", port), 0);
    port.reset();
    registry.detach();
    EXPECT_FALSE(registry.find("a"));
    EXPECT_FALSE(registry.electronics(9));
}

} // namespace
} // namespace sim
