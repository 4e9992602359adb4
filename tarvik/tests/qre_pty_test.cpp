// A few exchanges of the serial link through the termios backend: the
// simulated electronics serve the master end of a pseudo-terminal from a
// thread of their own, on real time.

#include "../../platform/tests/pty_pair.h"
#include "tarvik_test.h"

#include "serial/qre_link.h"
#include "sim/serial_electronics.h"

#include "platform/serial_port.h"

#include <numeric>

namespace tarvik::testing {
namespace {

class QrePtyTest : public TarvikTest {
protected:
    void SetUp() override {
        TarvikTest::SetUp();
        ::setenv(platform::serial::kSerialPortsVariable, ("COM4=" + pty.slavePath()).c_str(), 1);
        unit = &electronics.addUnit(3);
        ASSERT_TRUE(electronics.servePty(pty.master()));
    }
    void TearDown() override {
        electronics.stopPty();
        ::unsetenv(platform::serial::kSerialPortsVariable);
        TarvikTest::TearDown();
    }

    platform::testing::PtyPair pty;
    sim::SerialElectronics electronics;
    sim::SerialUnit* unit = nullptr;
};

TEST_F(QrePtyTest, ExchangesOverAPseudoTerminal) {
    addSlot(3, kTypeSerial);
    QreLinkModule& link = *qreLink();
    link.port.portNumber = 4;
    ASSERT_EQ(OpenQrePort(), 1);
    ASSERT_EQ(ConfigureQrePort(), 1);
    ResetQreProtocol();
    ASSERT_EQ(AllocQreSlotBuffers(3), 1);
    SelectQreSlotBuffers(3);
    ResetQreRecords();
    deviceSlot(3)->qre.setFirmwareVersion(316);
    SetQreDestination(3);

    electronics.withLock([&] {
        std::iota(unit->block(12).begin(), unit->block(12).end(), uint8_t{5});
        unit->block(10)[2] = 0x3C; // 316
        unit->block(10)[3] = 0x01;
    });
    EXPECT_EQ(SendQreCommand14(), 0);
    EXPECT_EQ(ReadQreBlock12(), 0);
    EXPECT_EQ(link.configuration[315], static_cast<uint8_t>(5 + 315));
    std::iota(link.current.parameter + 20, link.current.parameter + 40, uint8_t{1});
    EXPECT_EQ(WriteQreBlock6(), 0);
    EXPECT_EQ(link.errors.count(), 0);
    electronics.withLock([&] {
        EXPECT_EQ(unit->block(6)[39], 20);
        EXPECT_EQ(unit->commands(), (std::vector<uint8_t>{14, 15, 3, 3, 3, 3, 3, 3, 3, 2}));
    });
    EXPECT_EQ(CloseQrePortHandle(), 1);
}

} // namespace
} // namespace tarvik::testing
