// COM ports: names to devices, in-process ports, and the termios backend on
// pseudo-terminals (which have no modem lines).

#include "platform/serial_port.h"

#include "platform/config_store.h"
#include "platform/last_error.h"
#include "pty_pair.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace std::chrono_literals;

namespace platform::serial {
namespace {

using testing::PtyPair;
using testing::TempDir;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("VELDON_MACHINE_CONFIG", (dir.path() / "machine").c_str(), 1);
        ::unsetenv(kSerialPortsVariable);
    }
    void TearDown() override {
        ::unsetenv(kSerialPortsVariable);
        ::unsetenv("VELDON_MACHINE_CONFIG");
    }

    void mapPort(const std::string& pairs) { ::setenv(kSerialPortsVariable, pairs.c_str(), 1); }

    // A port opened by name on the pty's slave, configured 8E1 at 115200.
    std::unique_ptr<SerialPort> openPty(const PtyPair& pty) {
        mapPort("COM7=" + pty.slavePath());
        std::unique_ptr<SerialPort> port;
        EXPECT_EQ(openSerialPort("com7", port), 0);
        if (port) {
            LineSettings settings;
            settings.baudRate = 115200;
            settings.parity = Parity::Even;
            EXPECT_EQ(port->setSettings(settings), 0);
        }
        return port;
    }

    TempDir dir{"serial_port"};
};

TEST_F(SerialPortTest, NamesMapByEnvironmentThenConfigurationThenDefault) {
    EXPECT_EQ(serialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serialDevicePath("com12"), "/dev/ttyS11");
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kSerialPortsKey, ConfigAccess::Write), 0);
    ASSERT_EQ(key.setString("COM2", "/dev/ttyUSB0"), 0);
    ASSERT_EQ(key.setString("COM3", ""), 0);
    EXPECT_EQ(serialDevicePath("COM2"), "/dev/ttyUSB0");
    EXPECT_EQ(serialDevicePath("COM3"), ""); // hidden
    mapPort("COM2=/dev/pts/9,junk,COM4=/dev/a,com4=/dev/b");
    EXPECT_EQ(serialDevicePath("COM2"), "/dev/pts/9");
    EXPECT_EQ(serialDevicePath("COM4"), "/dev/b");
    EXPECT_EQ(serialDevicePath("COM3"), "");
    for (const char* bad : {"COM0", "COM256", "COM01", "COM1x", "LPT1", "COM", ""}) {
        EXPECT_EQ(serialDevicePath(bad), "") << bad;
        std::unique_ptr<SerialPort> port;
        EXPECT_EQ(openSerialPort(bad, port), EINVAL) << bad;
    }
    std::unique_ptr<SerialPort> port;
    EXPECT_EQ(openSerialPort("COM3", port), ENOENT);
    mapPort("COM5=" + (dir.path() / "missing").string());
    EXPECT_EQ(openSerialPort("COM5", port), ENOENT);
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
}

TEST_F(SerialPortTest, AttachedPortsComeFirst) {
    int opens = 0;
    ASSERT_EQ(attachSerialPort("COM6",
                               [&](std::unique_ptr<SerialPort>&) {
                                   ++opens;
                                   return EACCES;
                               }),
              0);
    EXPECT_EQ(attachSerialPort("com6", [](std::unique_ptr<SerialPort>&) { return 0; }), EEXIST);
    EXPECT_EQ(attachSerialPort("COM0", [](std::unique_ptr<SerialPort>&) { return 0; }), EINVAL);
    mapPort("COM6=/dev/null");
    std::unique_ptr<SerialPort> port;
    EXPECT_EQ(openSerialPort("COM6", port), EACCES);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(detachSerialPort("COM6"), 0);
    EXPECT_EQ(detachSerialPort("COM6"), ENOENT);
    // Not a terminal.
    EXPECT_EQ(openSerialPort("COM6", port), ENOTTY);
}

TEST_F(SerialPortTest, PseudoTerminalTakesTheLineSettings) {
    PtyPair pty;
    std::unique_ptr<SerialPort> port = openPty(pty);
    ASSERT_TRUE(port);
    // A pseudo-terminal keeps rates and stop bits but always frames 8N.
    LineSettings read;
    ASSERT_EQ(port->getSettings(read), 0);
    EXPECT_EQ(read.baudRate, 115200u);
    EXPECT_EQ(read.dataBits, 8);
    EXPECT_EQ(read.stopBits, StopBits::One);
    // A rate without a constant of its own.
    ASSERT_EQ(port->setSettings({256000, 8, Parity::None, StopBits::Two, true, false}), 0);
    ASSERT_EQ(port->getSettings(read), 0);
    EXPECT_EQ(read.baudRate, 256000u);
    EXPECT_EQ(read.stopBits, StopBits::Two);
    for (LineSettings bad : {LineSettings{0}, LineSettings{9600, 9}, LineSettings{9600, 4},
                             LineSettings{9600, 8, Parity::None, StopBits::OneAndHalf},
                             LineSettings{9600, 8, Parity::None, StopBits::One, false}}) {
        EXPECT_EQ(port->setSettings(bad), EINVAL);
    }
    PortProperties properties;
    ASSERT_EQ(port->getProperties(properties), 0);
    EXPECT_NE(properties.settableBaudRates & kBaudUserDefined, 0u);
    EXPECT_NE(properties.settableBaudRates & baudRateFlag(115200), 0u);
}

TEST_F(SerialPortTest, PseudoTerminalCarriesBytesBothWays) {
    PtyPair pty;
    std::unique_ptr<SerialPort> port = openPty(pty);
    ASSERT_TRUE(port);
    const std::vector<uint8_t> frame = {0x11, 0x00, 0xF0, 0x0E, 0x00, 0xEF, 0x01, 0x0F};
    std::size_t written = 0;
    ASSERT_EQ(port->write(frame, written), 0);
    EXPECT_EQ(written, frame.size());
    EXPECT_EQ(port->drain(), 0);
    EXPECT_EQ(pty.read(frame.size()), frame);

    pty.write({1, 2, 3, 4, 5, 6});
    uint8_t buffer[5] = {};
    std::size_t got = 0;
    ASSERT_EQ(port->setTimeouts({300, 300}), 0);
    ASSERT_EQ(port->read(buffer, got), 0);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(buffer[4], 5);
    PortStatus status;
    ASSERT_EQ(port->clearErrors(&status), 0);
    EXPECT_EQ(status.receiveQueued, 1u);
    EXPECT_EQ(port->purge(true, true), 0);
    ASSERT_EQ(port->clearErrors(&status), 0);
    EXPECT_EQ(status.receiveQueued, 0u);
}

TEST_F(SerialPortTest, PseudoTerminalReadTimesOutOnThePlatformClock) {
    PtyPair pty;
    std::unique_ptr<SerialPort> port = openPty(pty);
    ASSERT_TRUE(port);
    ASSERT_EQ(port->setTimeouts({300, 300}), 0);
    VirtualClock clock;
    ScopedClock scope(clock);
    pty.write({7, 8, 9});
    uint8_t buffer[5] = {};
    std::size_t got = 0;
    const TimePoint start = clock.now();
    ASSERT_EQ(port->read(buffer, got), 0);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(clock.now() - start, 300ms);
    // An earlier deadline wins over the port's time-out.
    ASSERT_EQ(port->read(buffer, got, clock.now() + 20ms), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(clock.now() - start, 320ms);
}

TEST_F(SerialPortTest, PseudoTerminalIsExclusiveAndHasNoModemLines) {
    PtyPair pty;
    std::unique_ptr<SerialPort> port = openPty(pty);
    ASSERT_TRUE(port);
    std::unique_ptr<SerialPort> second;
    EXPECT_EQ(openSerialDevice(pty.slavePath(), second), EBUSY);
    EXPECT_EQ(port->setRts(true), ENOTTY);
    EXPECT_EQ(port->setRs485(true), ENOTTY);
    EXPECT_EQ(port->close(), 0);
    EXPECT_EQ(port->close(), EBADF);
    std::size_t written = 0;
    EXPECT_EQ(port->write(std::vector<uint8_t>{1}, written), EBADF);
    EXPECT_EQ(openSerialDevice(pty.slavePath(), second), 0);
}

} // namespace
} // namespace platform::serial
