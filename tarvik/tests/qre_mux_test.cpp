// The serial multiplexers over their COM ports against simulated ones of
// both kinds: open, the assembly a MUX-KRL tells, switching with and without
// the echo, the answers that refuse or say nothing, and close.

#include "tarvik_test.h"

#include "core/library_state.h"
#include "serial/qre_link.h"
#include "sim/serial_mux.h"

#include "platform/clock.h"
#include "platform/serial_fake.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace tarvik::testing {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kMuxKrd = 7;
constexpr uint8_t kMuxKrl = 9;

class QreMuxTest : public TarvikTest {
protected:
    void TearDown() override {
        CloseMuxPort(1);
        platform::serial::detachSerialPort("COM4");
        line->setDevice(nullptr);
        TarvikTest::TearDown();
    }
    // A multiplexer of the kind on COM4, slot 1's image naming it with the
    // assembly nibble.
    DeviceSlot& attach(sim::SerialMuxKind kind, uint8_t channels, uint8_t assembly) {
        sim::SerialMuxConfig config;
        config.comPort = 4;
        config.kind = kind;
        config.channels = channels;
        mux = std::make_shared<sim::SerialMux>(config);
        line->setDevice(mux.get());
        EXPECT_EQ(platform::serial::attachFakeSerialLine("COM4", line), 0);
        DeviceSlot& slot = addSlot(1, kTypeUsb);
        slot.configuration[18] = kind == sim::SerialMuxKind::Krd ? kMuxKrd : kMuxKrl;
        slot.configuration[19] = static_cast<uint8_t>(assembly << 4 | 4);
        slot.serialMuxPortNumber = 4;
        slot.muxChannel = 1;
        return slot;
    }
    std::string written() const {
        const auto bytes = line->written();
        return std::string(bytes.begin(), bytes.end());
    }

    platform::VirtualClock clock;
    platform::ScopedClock scope{clock};
    std::shared_ptr<sim::SerialMux> mux;
    std::shared_ptr<platform::serial::FakeSerialLine> line =
        std::make_shared<platform::serial::FakeSerialLine>();
};

TEST_F(QreMuxTest, KrdSwitchesOnItsEchoAndKeepsTheChannelOtherwise) {
    DeviceSlot& slot = attach(sim::SerialMuxKind::Krd, 4, 2);
    ASSERT_EQ(OpenMuxPort(1), 0);
    EXPECT_EQ(line->settings().baudRate, 115200u);
    EXPECT_EQ(written(), "\r");
    line->clearEvents();

    EXPECT_EQ(SelectMuxChannelSerial(3, 1), 0);
    EXPECT_EQ(slot.muxChannel, 3);
    EXPECT_EQ(mux->channel(), 3);
    EXPECT_EQ(written(), "ch,3\r"); // five bytes

    struct Case {
        const char* echo; // what comes back instead of the echo; null: silence
        int32_t result;
    };
    const Case cases[] = {
        {"error", -1}, // "error", one further character, CR
        {"erro", -2},  // as "error" CR: its last letter cut, unconfirmed
        {"ch,4x", -2}, // another line
        {"\r", -2},    // a line end at the very start
        {nullptr, -2}, // nothing within 1,000 ms
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.echo != nullptr ? c.echo : "silent");
        mux->setSilent(c.echo == nullptr);
        if (c.echo != nullptr) {
            mux->setNextEcho(c.echo);
        }
        const platform::TimePoint before = clock.now();
        EXPECT_EQ(SelectMuxChannelSerial(2, 1), c.result);
        EXPECT_EQ(slot.muxChannel, 3);
        EXPECT_LE(clock.now() - before, 1100ms);
    }
    mux->setSilent(false);
    // Channels beyond assembly 2's four, the current one and 0: nothing to do.
    const auto switches = mux->switches().size();
    for (const int32_t channel : {5, 3, 0}) {
        EXPECT_EQ(SelectMuxChannelSerial(channel, 1), 0) << channel;
    }
    EXPECT_EQ(mux->switches().size(), switches);
}

TEST_F(QreMuxTest, KrlTellsItsAssemblyAndSwitchesWithoutEcho) {
    DeviceSlot& slot = attach(sim::SerialMuxKind::Krl, 12, 0);
    ASSERT_EQ(OpenMuxPort(1), 0);
    EXPECT_EQ(line->settings().baudRate, 57600u);
    EXPECT_EQ(slot.configuration[19], 0x44); // "eol 1x12": assembly 4, the port kept
    EXPECT_EQ(GetSerialMuxChannelCount(1), 8);
    line->clearEvents();
    const platform::TimePoint before = clock.now();
    EXPECT_EQ(SelectMuxChannelSerial(7, 1), 0);
    EXPECT_EQ(written(), "ch7\r\n");
    EXPECT_EQ(mux->channel(), 7);
    EXPECT_EQ(slot.muxChannel, 7);
    // No echo: the pause of the "MUX-KRD Delay time".
    EXPECT_GE(clock.now() - before, std::chrono::milliseconds(state().muxKrdDelayTime));

    EXPECT_EQ(CloseMuxPort(1), 0);
    EXPECT_EQ(slot.serialMuxPort, kNoSerialPort);
    EXPECT_EQ(slot.serialMuxPortNumber, 0);
    EXPECT_FALSE(line->isOpen());
}

TEST_F(QreMuxTest, SilentKrlKeepsAssemblyFifteenAndHasNoChannels) {
    DeviceSlot& slot = attach(sim::SerialMuxKind::Krl, 8, 3);
    mux->setSilent(true);
    const platform::TimePoint before = clock.now();
    ASSERT_EQ(OpenMuxPort(1), 0);
    EXPECT_GE(clock.now() - before, 1000ms);
    EXPECT_EQ(slot.configuration[19] >> 4, 15);
    EXPECT_EQ(GetSerialMuxChannelCount(1), 0);
}

TEST_F(QreMuxTest, OpenTriesThreeTimesAndPortZeroOnlyRecordsTheChannel) {
    DeviceSlot& slot = attach(sim::SerialMuxKind::Krd, 8, 4);
    line->openError = EBUSY;
    const platform::TimePoint before = clock.now();
    EXPECT_EQ(OpenMuxPort(1), EBUSY);
    EXPECT_EQ(clock.now() - before, 300ms);
    EXPECT_EQ(slot.serialMuxPort, kNoSerialPort);

    // No port: the handle stays closed, a switch is recorded only.
    slot.serialMuxPortNumber = 0;
    EXPECT_EQ(OpenMuxPort(1), 0);
    EXPECT_EQ(slot.serialMuxPort, kNoSerialPort);
    EXPECT_EQ(SelectMuxChannelSerial(8, 1), 0);
    EXPECT_EQ(slot.muxChannel, 8);
    EXPECT_TRUE(mux->lines().empty());
}

TEST_F(QreMuxTest, ChannelCountsFollowTypeAndAssembly) {
    DeviceSlot& slot = addSlot(1, kTypeUsb);
    struct Row {
        uint8_t type;
        uint8_t assembly;
        int32_t channels;
    };
    const Row rows[] = {{7, 1, 3}, {7, 2, 4}, {7, 3, 6}, {7, 4, 8},  {7, 0, 0},
                        {7, 5, 0}, {9, 0, 8}, {9, 1, 2}, {9, 2, 4},  {9, 3, 8},
                        {9, 5, 8}, {9, 6, 2}, {9, 7, 0}, {9, 15, 0}, {6, 2, 0}};
    for (const Row& r : rows) {
        slot.configuration[18] = r.type;
        slot.configuration[19] = static_cast<uint8_t>(r.assembly << 4);
        EXPECT_EQ(GetSerialMuxChannelCount(1), r.channels) << int(r.type) << "/" << int(r.assembly);
    }
}

} // namespace
} // namespace tarvik::testing
