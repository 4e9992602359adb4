// The link's COM port on a fake line: opening, configuration, writes with
// the RS485 direction, exact reads, the clock and the error list.

#include "serial_sim_fixture.h"
#include "tarvik_test.h"

#include <gmock/gmock.h>

using namespace std::chrono_literals;

namespace tarvik::testing {
namespace {

using platform::serial::FakeSerialEvent;
using Kind = FakeSerialEvent::Kind;

class QrePortTest : public TarvikTest {
protected:
    QreLinkModule& link() { return *qreLink(); }
    // The RTS changes and writes on the line, as "R+", "R-" and "W".
    std::vector<std::string> directionTrace() const {
        std::vector<std::string> trace;
        for (const FakeSerialEvent& e : serial.line->events()) {
            if (e.kind == Kind::Rts) {
                trace.push_back(e.on ? "R+" : "R-");
            } else if (e.kind == Kind::Write) {
                trace.push_back("W");
            } else if (e.kind == Kind::Drain) {
                trace.push_back("D");
            }
        }
        return trace;
    }
    void sendStatusPoll() {
        SetQreDestination(1);
        SendQreCommandFrame(qre::kStatusPoll, 0);
    }

    SerialLinkSim serial{1};
};

TEST_F(QrePortTest, PortNumbersOutsideOneToEightOpenCom1) {
    for (const uint16_t number : {uint16_t{0}, uint16_t{9}, uint16_t{1}}) {
        link().port.portNumber = number;
        ASSERT_EQ(OpenQrePort(), 1) << number;
        EXPECT_TRUE(serial.line->isOpen());
        EXPECT_EQ(CloseQrePortHandle(), 1);
        EXPECT_FALSE(serial.line->isOpen());
    }
    // Closing a closed port is no failure.
    EXPECT_EQ(CloseQrePortHandle(), 1);
    link().port.portNumber = 3; // nothing there
    EXPECT_EQ(OpenQrePort(), 0);
    EXPECT_EQ(GetLastQreError(), qre::kErrPortOpen);
    EXPECT_FALSE(IsQrePortOpen());
}

TEST_F(QrePortTest, OpenThatCannotReadThePortStateLeavesNoHandle) {
    serial.line->settingsError = EACCES;
    link().port.portNumber = 1;
    EXPECT_EQ(OpenQrePort(), 0);
    EXPECT_FALSE(IsQrePortOpen());
    EXPECT_FALSE(serial.line->isOpen());
    EXPECT_EQ(link().errors.count(), 2);
    EXPECT_EQ(link().errors.entry(1), qre::kErrPlatform);
    EXPECT_EQ(link().errors.entry(2), qre::kErrPlatformAccess);
}

TEST_F(QrePortTest, ConfigurationSetsTheLineAndItsTimeouts) {
    ASSERT_TRUE(serial.openPort());
    const platform::serial::LineSettings line = serial.line->settings();
    EXPECT_EQ(line.baudRate, 115200u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.parity, platform::serial::Parity::Even);
    EXPECT_EQ(line.stopBits, platform::serial::StopBits::One);
    EXPECT_TRUE(line.parityCheck);
    EXPECT_EQ(serial.line->timeouts(), (platform::serial::Timeouts{300, 300}));

    // A rate of its own needs the port's user-defined rate.
    link().port.baudRate = 256000;
    serial.line->properties.settableBaudRates &= ~platform::serial::kBaudUserDefined;
    EXPECT_EQ(ConfigureQrePort(), 0);
    EXPECT_EQ(GetLastQreError(), qre::kErrBaudRate);
    EXPECT_TRUE(IsQrePortOpen());
    EXPECT_EQ(serial.line->settings().baudRate, 115200u);
    serial.line->properties.settableBaudRates |= platform::serial::kBaudUserDefined;
    EXPECT_EQ(ConfigureQrePort(), 1);
    EXPECT_EQ(serial.line->settings().baudRate, 256000u);
}

TEST_F(QrePortTest, Rs485RaisesRtsForTheFrameAndDropsItOnceItIsOnTheLine) {
    ASSERT_TRUE(serial.openPort(kQreTransRs485));
    serial.line->clearEvents();
    const platform::TimePoint start = serial.clock.now();
    sendStatusPoll();
    EXPECT_THAT(directionTrace(), ::testing::ElementsAre("R+", "W", "D", "R-"));
    const auto events = serial.line->events();
    const auto character = platform::serial::characterTime(serial.line->settings());
    EXPECT_EQ(events.back().time - start, 8 * character);
    EXPECT_FALSE(serial.line->rts());

    // A failed write drops RTS as well.
    serial.line->clearEvents();
    serial.line->writeError = EIO;
    sendStatusPoll();
    EXPECT_THAT(directionTrace(), ::testing::ElementsAre("R+", "R-"));
    EXPECT_EQ(GetLastQreError(), qre::kErrPortWrite);
    EXPECT_FALSE(serial.line->rts());
}

TEST_F(QrePortTest, PlainLinesAndTheDriversOwnRs485ModeLeaveRtsAlone) {
    for (const uint8_t trans : {uint8_t{0}, uint8_t{2}}) {
        ASSERT_TRUE(serial.openPort(trans));
        serial.line->clearEvents();
        sendStatusPoll();
        EXPECT_THAT(directionTrace(), ::testing::ElementsAre("W")) << int(trans);
    }
    serial.line->kernelRs485 = true;
    ASSERT_TRUE(serial.openPort(kQreTransRs485));
    serial.line->clearEvents();
    sendStatusPoll();
    EXPECT_THAT(directionTrace(), ::testing::ElementsAre("W"));
}

TEST_F(QrePortTest, FullTransmitQueueRefusesTheFrame) {
    serial.line->properties.transmitQueue = 40;
    ASSERT_TRUE(serial.openPort());
    link().frames.transmit.fill(0);
    EXPECT_EQ(WriteQrePort(qre::kDataFrameSize), 0);
    EXPECT_EQ(GetLastQreError(), qre::kErrPlatform);
    EXPECT_TRUE(serial.line->written().empty());
    EXPECT_EQ(WriteQrePort(qre::kCommandFrameSize), 1);
}

TEST_F(QrePortTest, ShortReadTimesOutAndKeepsWhatCame) {
    ASSERT_TRUE(serial.openPort());
    const std::vector<uint8_t> three = {0x00, 0x11, 0xF0};
    serial.line->send(three);
    link().receive.bytesToRead = 5;
    uint8_t buffer[5] = {};
    const platform::TimePoint start = serial.clock.now();
    EXPECT_EQ(ReadQrePort(buffer), 3);
    EXPECT_EQ(buffer[2], 0xF0);
    EXPECT_EQ(serial.clock.now() - start, 300ms);
    EXPECT_EQ(serial.line->pendingBytes(), 0u);
    EXPECT_EQ(link().errors.count(), 0); // a time-out is no port error
    const std::vector<uint8_t> five = {1, 2, 3, 4, 5};
    serial.line->send(five);
    EXPECT_EQ(ReadQrePort(buffer), 5);
    EXPECT_EQ(buffer[4], 5);
}

TEST_F(QrePortTest, ClockCountsWithinTheHourOnTheMonotonicClock) {
    serial.clock.advance(3599990ms);
    const int32_t start = GetQreClock();
    EXPECT_EQ(start, 3599990);
    serial.clock.advance(20ms);
    EXPECT_EQ(GetQreClock(), 10);
    EXPECT_EQ(GetQreElapsedMs(start), 20);
    const platform::TimePoint before = serial.clock.now();
    EXPECT_EQ(QreSleep(7), 1);
    QreWaitMs(8);
    EXPECT_EQ(serial.clock.now() - before, 15ms);
}

TEST_F(QrePortTest, FullErrorListKeepsTheNewestFailure) {
    EXPECT_EQ(GetLastQreError(), 0);
    for (int i = 0; i < 1024; ++i) {
        ASSERT_EQ(PushQreError(-1000 - i), 1);
    }
    EXPECT_FALSE(link().errors.overflow());
    EXPECT_EQ(PushQreError(-7), 0);
    EXPECT_EQ(link().errors.count(), 1024);
    EXPECT_TRUE(link().errors.overflow());
    EXPECT_EQ(GetLastQreError(), -7);
    EXPECT_EQ(link().errors.entry(1023), -2022);
    ClearQreErrorList();
    EXPECT_EQ(link().errors.count(), 0);
    EXPECT_FALSE(link().errors.overflow());
    EXPECT_FALSE(link().errors.hasError());
}

TEST_F(QrePortTest, PortErrorsAndAccessRefusals) {
    ReportQrePortError(1, 0);
    EXPECT_EQ(link().errors.count(), 0);
    ReportQrePortError(1, EIO);
    EXPECT_EQ(GetLastQreError(), qre::kErrPlatform);
    ReportQrePortError(1, EBADF);
    EXPECT_EQ(link().errors.count(), 3);
    EXPECT_EQ(GetLastQreError(), qre::kErrPlatformAccess);
    // No port: the frame cannot go out.
    EXPECT_EQ(WriteQrePort(qre::kCommandFrameSize), 0);
    EXPECT_EQ(GetLastQreError(), qre::kErrPlatformAccess);
}

} // namespace
} // namespace tarvik::testing
