// The fake serial line: time on the line, what it records, what it injects.

#include "platform/serial_fake.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace platform::serial {
namespace {

using Kind = FakeSerialEvent::Kind;

// Answers every write with its bytes reversed, after 2 ms.
class Mirror final : public FakeSerialDevice {
public:
    void received(FakeSerialLine& line, std::span<const uint8_t> bytes) override {
        std::vector<uint8_t> answer(bytes.rbegin(), bytes.rend());
        line.send(answer, 2ms);
    }
};

class FakeSerialLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        line->setDevice(&mirror);
        ASSERT_EQ(attachFakeSerialLine("COM9", line), 0);
        ASSERT_EQ(openSerialPort("COM9", port), 0);
        // 8E1 at 115200: 11 bits a character.
        ASSERT_EQ(port->setSettings({115200, 8, Parity::Even}), 0);
        ASSERT_EQ(port->setTimeouts({300, 300}), 0);
    }
    void TearDown() override { EXPECT_EQ(detachSerialPort("COM9"), 0); }

    VirtualClock clock;
    ScopedClock scope{clock};
    Mirror mirror;
    std::shared_ptr<FakeSerialLine> line = std::make_shared<FakeSerialLine>();
    std::unique_ptr<SerialPort> port;
    const Duration character = characterTime({115200, 8, Parity::Even});
};

TEST_F(FakeSerialLineTest, BytesTakeTheirTimeOnTheLine) {
    EXPECT_EQ(character, Duration(95486));
    const TimePoint start = clock.now();
    const std::vector<uint8_t> frame = {1, 2, 3, 4, 5, 6, 7, 8};
    std::size_t written = 0;
    ASSERT_EQ(port->setRts(true), 0);
    ASSERT_EQ(port->write(frame, written), 0);
    ASSERT_EQ(port->drain(), 0);
    ASSERT_EQ(port->setRts(false), 0);
    EXPECT_EQ(clock.now() - start, 8 * character);
    // The answer starts 2 ms after the frame has arrived.
    uint8_t buffer[8] = {};
    std::size_t got = 0;
    ASSERT_EQ(port->read(buffer, got), 0);
    EXPECT_EQ(got, 8u);
    EXPECT_EQ(buffer[0], 8);
    EXPECT_EQ(clock.now() - start, 16 * character + 2ms);

    const auto events = line->events();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].kind, Kind::Open);
    EXPECT_EQ(events[1].kind, Kind::Settings);
    EXPECT_EQ(events[2].kind, Kind::Rts);
    EXPECT_TRUE(events[2].on);
    EXPECT_EQ(events[3].kind, Kind::Write);
    EXPECT_EQ(events[3].bytes, frame);
    EXPECT_EQ(events[3].time, start);
    EXPECT_EQ(events[4].kind, Kind::Drain);
    EXPECT_EQ(events[4].time, start + 8 * character);
    EXPECT_EQ(events[5].kind, Kind::Rts);
    EXPECT_FALSE(events[5].on);
    EXPECT_EQ(events[5].time, start + 8 * character);
}

TEST_F(FakeSerialLineTest, ReadsStopAtTheirDeadlineAndPurgeKeepsWhatIsOnItsWay) {
    std::size_t written = 0;
    ASSERT_EQ(port->write(std::vector<uint8_t>{1, 2, 3}, written), 0);
    uint8_t buffer[5] = {};
    std::size_t got = 0;
    // Earlier than the answer: nothing; the port's own 300 ms: part of it.
    ASSERT_EQ(port->read(buffer, got, clock.now() + 1ms), 0);
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(port->purge(true, true), 0);
    EXPECT_EQ(line->pendingBytes(), 3u);
    const TimePoint before = clock.now();
    ASSERT_EQ(port->read(buffer, got), 0);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(clock.now() - before, 300ms);
    // Nothing to come and no deadline: never blocks for ever.
    ASSERT_EQ(port->setTimeouts({kInfinite, kInfinite}), 0);
    EXPECT_EQ(port->read(buffer, got), ETIMEDOUT);
}

TEST_F(FakeSerialLineTest, QueuesAndInjectedFailures) {
    line->writeLimit = 2;
    std::size_t written = 0;
    ASSERT_EQ(port->write(std::vector<uint8_t>{1, 2, 3, 4}, written), 0);
    EXPECT_EQ(written, 2u);
    PortStatus status;
    ASSERT_EQ(port->clearErrors(&status), 0);
    EXPECT_EQ(status.transmitQueued, 2u);
    clock.advance(10ms);
    ASSERT_EQ(port->clearErrors(&status), 0);
    EXPECT_EQ(status.transmitQueued, 0u);
    EXPECT_EQ(status.receiveQueued, 2u);

    line->writeError = EIO;
    EXPECT_EQ(port->write(std::vector<uint8_t>{1}, written), EIO);
    line->rtsError = EPROTO;
    EXPECT_EQ(port->setRts(true), EPROTO);
    EXPECT_EQ(port->setRs485(true), ENOTTY);
    line->kernelRs485 = true;
    EXPECT_EQ(port->setRs485(true), 0);
    std::unique_ptr<SerialPort> second;
    EXPECT_EQ(openSerialPort("COM9", second), EBUSY);
    EXPECT_EQ(port->close(), 0);
    EXPECT_FALSE(line->isOpen());
    line->openError = EACCES;
    EXPECT_EQ(openSerialPort("COM9", second), EACCES);
}

TEST_F(FakeSerialLineTest, BabblingLineNeverFallsQuiet) {
    line->setBabbling(true);
    uint8_t buffer[48] = {};
    std::size_t got = 0;
    const TimePoint start = clock.now();
    ASSERT_EQ(port->read(buffer, got), 0);
    EXPECT_EQ(got, 48u);
    EXPECT_EQ(clock.now() - start, 48 * character);
    ASSERT_EQ(port->read(buffer, got, clock.now() + 10 * character), 0);
    EXPECT_EQ(got, 10u);
}

} // namespace
} // namespace platform::serial
