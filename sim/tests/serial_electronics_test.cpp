// The simulated serial electronics at frame level, seen from the port end of
// a fake line.

#include "sim/serial_electronics.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace std::chrono_literals;

namespace sim {
namespace {

namespace qre = tarvik::qre;
using Bytes = std::vector<uint8_t>;

class SerialElectronicsTest : public ::testing::Test {
protected:
    void SetUp() override {
        line.setDevice(&electronics);
        ASSERT_EQ(line.open(port), 0);
        ASSERT_EQ(port->setSettings({115200, 8, platform::serial::Parity::Even}), 0);
        ASSERT_EQ(port->setTimeouts({300, 300}), 0);
    }
    void TearDown() override { line.setDevice(nullptr); }

    void write(const Bytes& frame) {
        std::size_t written = 0;
        ASSERT_EQ(port->write(frame, written), 0);
    }
    void command(uint8_t address, uint8_t code, uint8_t parameter = 0) {
        const qre::CommandFrame f = qre::commandFrame(address, 0, code, parameter, 0);
        write(Bytes(f.begin(), f.end()));
    }
    // What arrives within the port's 300 ms, at most n bytes.
    Bytes read(std::size_t n) {
        Bytes buffer(n);
        std::size_t got = 0;
        EXPECT_EQ(port->read(buffer, got), 0);
        buffer.resize(got);
        return buffer;
    }

    platform::VirtualClock clock;
    platform::ScopedClock scope{clock};
    SerialElectronics electronics;
    platform::serial::FakeSerialLine line;
    std::unique_ptr<platform::serial::SerialPort> port;
};

TEST_F(SerialElectronicsTest, OnlyTheAddressedUnitAnswers) {
    electronics.addUnit(1);
    electronics.addUnit(2);
    command(2, qre::kStatusPoll);
    const Bytes reply = read(16);
    const qre::CommandFrame ack = qre::commandFrame(0, 2, qre::kAcknowledge, 0, 0);
    EXPECT_EQ(reply, Bytes(ack.begin(), ack.end()));
    command(3, qre::kStatusPoll);
    EXPECT_TRUE(read(8).empty());
    EXPECT_EQ(electronics.unit(1)->received().size(), 0u);
    EXPECT_EQ(electronics.unit(2)->commands(), Bytes{qre::kStatusPoll});
    // Its own sequence byte goes up with every frame it sends.
    command(2, qre::kStatusPoll);
    EXPECT_EQ(read(8)[4], 1);
}

TEST_F(SerialElectronicsTest, BlocksTravelInPiecesBothWays) {
    SerialUnit& unit = electronics.addUnit(4);
    std::iota(unit.block(6).begin(), unit.block(6).end(), uint8_t{1});
    command(4, qre::kBlockRequest, 6);
    Bytes first = read(48);
    ASSERT_EQ(first.size(), 48u);
    EXPECT_EQ(first[2], 0x6A);
    EXPECT_EQ(first[3], 1);    // two frames
    EXPECT_EQ(first[4], 0xA7); // first, 40 bytes
    command(4, qre::kContinue);
    const Bytes second = read(48);
    EXPECT_EQ(second[4], 23);
    EXPECT_EQ(second[5], 41);
    command(4, qre::kAcknowledge);
    EXPECT_EQ(read(8)[3], qre::kAcknowledge); // the final reply

    // A write: continue after the first piece, acknowledge after the last.
    const Bytes piece(40, 0x77);
    const qre::DataFrame a = qre::dataFrame(4, 0, 6, 1, true, piece);
    write(Bytes(a.begin(), a.end()));
    EXPECT_EQ(read(8)[3], qre::kContinue);
    const qre::DataFrame b = qre::dataFrame(4, 0, 6, 1, false, std::span(piece).first(24));
    write(Bytes(b.begin(), b.end()));
    EXPECT_EQ(read(8)[3], qre::kAcknowledge);
    EXPECT_EQ(unit.block(6)[63], 0x77);
    // Out of order: asked again.
    const qre::DataFrame c = qre::dataFrame(4, 0, 6, 5, false, piece);
    write(Bytes(c.begin(), c.end()));
    EXPECT_EQ(read(8)[3], qre::kRepeatRequest);
}

TEST_F(SerialElectronicsTest, FaultsChangeTheFramesSentAndRepeatRequestsGetTheGoodOne) {
    SerialUnit& unit = electronics.addUnit(1);
    unit.injectFault({SerialFault::BadXor});
    unit.injectFault({SerialFault::Truncate, 1, 5});
    unit.injectFault({SerialFault::Late, 1, 100});
    unit.injectFault({SerialFault::ForeignSource, 1, 9});
    command(1, qre::kStatusPoll);
    Bytes bad = read(8);
    EXPECT_NE(qre::verifyChecks(bad.data(), 8), qre::ChecksResult::Good);
    command(1, qre::kRepeatRequest);
    EXPECT_EQ(read(8).size(), 5u);
    const platform::TimePoint sent = clock.now();
    command(1, qre::kRepeatRequest);
    EXPECT_EQ(read(8).size(), 8u);
    EXPECT_GT(clock.now() - sent, 100ms);
    command(1, qre::kRepeatRequest);
    const Bytes foreign = read(8);
    EXPECT_EQ(foreign[1], 0x99);
    EXPECT_EQ(qre::verifyChecks(foreign.data(), 8), qre::ChecksResult::Good);
    unit.setNeverReady(true);
    command(1, qre::kStatusPoll);
    EXPECT_EQ(read(8)[3], qre::kRepeatRequest);
    unit.setPresent(false);
    command(1, qre::kStatusPoll);
    EXPECT_TRUE(read(8).empty());
}

} // namespace
} // namespace sim
