#pragma once
// The fixture of the I2C and EEPROM export tests: a simulated board loaded by
// the device layer from a set-up file, put into slot 1 as an open would, and
// simulated serial electronics behind the serial link.

#include "support/tarvik_test.h"

#include "core/device_command.h"
#include "core/last_error.h"
#include "serial/qre_link.h"
#include "serial_sim_fixture.h"
#include "sim/board_driver.h"
#include "sim/board_registry.h"
#include "sim/eeprom_images.h"

#include "platform/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tarvik::testing {

// The serial electronics' I2C bus behind block 11 (the same EEPROM model as
// the boards'): a transfer asked for in the block is done when the block has
// arrived, and answered in it.
class I2cElectronics : public sim::SerialUnitBehaviour {
public:
    void blockWritten(sim::SerialUnit& unit, uint8_t type) override {
        const std::span<uint8_t> block = unit.block(type);
        if (type != qre::kTransferBlock || block[6] != 1) {
            return;
        }
        ++transfers;
        if (--transfersUntilFailure == 0) {
            return; // never done: the library's wait runs out
        }
        const uint8_t operation = block[2];
        const uint8_t address = block[3];
        const uint8_t index = block[4];
        const uint8_t count = block[5];
        const bool read = operation == 0x20 || operation == 0x21;
        const bool indexed = operation == 0x11 || operation == 0x21 || operation == 0x40;
        const std::optional<uint8_t> at = indexed ? std::optional<uint8_t>(index) : std::nullopt;
        sim::I2cResult result = sim::I2cResult::Done;
        if (read) {
            result = bus.read(address, at, block.subspan(16, count));
        } else {
            result = bus.write(address, at, block.subspan(8, count));
        }
        block[6] = 255;
        block[7] = result == sim::I2cResult::Done ? 0 : static_cast<uint8_t>(kI2cNoAck);
    }

    static constexpr int8_t kI2cNoAck = -52; // "ERR I2C NOACK"

    sim::I2cBus bus;
    int transfers = 0;
    int transfersUntilFailure = 0; // n > 0: the n-th transfer never ends
};

class I2cSimTest : public TarvikTest {
protected:
    void TearDown() override {
        TarvikTest::TearDown();
        if (loaded_) {
            EXPECT_TRUE(platform::shutdownDevices());
        }
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv("VELDON_SIMULATION");
    }

    // Loads the simulated driver with one board described by the set-up keys
    // (after "[board b]"), puts it into slot 1 and lets it stamp its identity
    // into the block once.
    DeviceSlot& openSimBoard(const std::string& keys = "", int interfaceType = 6) {
        const std::string setup = (dir.path() / "sim.ini").string();
        std::ofstream(setup) << "[board b]\nusb_board = 0\ninterface_type = " << interfaceType
                             << "\n"
                             << keys;
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        loaded_ = true;
        const auto members =
            platform::enumerateDeviceInterfaces(*sim::boardInterfaceClass(interfaceType));
        EXPECT_EQ(members.size(), 1u);
        const platform::DeviceHandle handle =
            members.empty() ? platform::kInvalidDeviceHandle : platform::openDevice(members[0]);
        EXPECT_NE(handle, platform::kInvalidDeviceHandle);
        DeviceSlot& slot = addSlot(1, static_cast<uint32_t>(interfaceType), handle);
        slot.initialised = 1;
        board = sim::BoardRegistry::instance().find("b");
        EXPECT_TRUE(board);
        EXPECT_EQ(SendDeviceCommand(KORAL_CMD_GET_USB_VERSION), 0);
        if (board) {
            board->clearRequests();
        }
        return slot;
    }

    // A serial-electronics slot 1 on the simulated line, its unit at
    // address 1 with the I2C bus.
    DeviceSlot& openSerialSlot(uint16_t firmwareVersion = 316) {
        serialLine = std::make_unique<SerialLinkSim>();
        serialLine->electronics.addUnit(1).setBehaviour(serial);
        DeviceSlot& slot = addSlot(1, kTypeSerial);
        slot.initialised = 1;
        EXPECT_TRUE(serialLine->openPort());
        serialLine->prepareSlot(1, firmwareVersion);
        return slot;
    }
    // Commands 7 the unit received.
    size_t commands7() const {
        const auto codes = serialLine->electronics.unit(1)->commands();
        return static_cast<size_t>(std::count(codes.begin(), codes.end(), 7));
    }

    std::optional<sim::EepromContents> eeprom(uint8_t address) {
        return board->withI2cBus([&](sim::I2cBus& bus) { return bus.eeprom(address); });
    }
    std::vector<sim::RequestRecord> requestsOf(uint32_t code) const {
        std::vector<sim::RequestRecord> out;
        for (const sim::RequestRecord& r : board->requests()) {
            if (r.ioControlCode == code) {
                out.push_back(r);
            }
        }
        return out;
    }
    size_t boxCount() const { return ui->boxes().size(); }
    // The last box names the function.
    bool lastBoxNames(const std::string& name) const {
        const auto boxes = ui->boxes();
        return !boxes.empty() && boxes.back().text.find(name) != std::string::npos;
    }

    platform::testing::TempDir dir{"tarvik_i2c"};
    std::shared_ptr<sim::BoardModel> board;
    std::shared_ptr<I2cElectronics> serial = std::make_shared<I2cElectronics>();
    std::unique_ptr<SerialLinkSim> serialLine;

private:
    bool loaded_ = false;
};

} // namespace tarvik::testing
