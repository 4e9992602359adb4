// The exports of the serial electronics: the link's settings with their
// stored copy, the stop period, the reply time-out, and the display level,
// time factor and reset of an open unit.

#include "serial_sim_fixture.h"

#include "core/registry_parameters.h"
#include "tarvik.h"

#include <gtest/gtest.h>

namespace tarvik::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSet = "KORAL_ParaSet_QRE";
constexpr const char* kGet = "KORAL_ParaGet_QRE";

class QreExportsTest : public QreSlotTest {
protected:
    struct Stored {
        uint32_t port = 0, baud = 0, trans = 0, id = 0;
    };
    Stored stored() {
        Stored s;
        EXPECT_EQ(KORAL_ParaGet_QRE(&s.port, &s.baud, &s.trans, &s.id), 0);
        return s;
    }
};

TEST_F(QreExportsTest, SettingsAreStoredAndRefusedValuesStayInMemoryOnly) {
    // Without a stored copy the defaults are stored.
    Stored s = stored();
    EXPECT_EQ(s.port, 1u);
    EXPECT_EQ(s.baud, 115200u);
    EXPECT_EQ(s.trans, 0u);
    EXPECT_EQ(s.id, 1u);

    ASSERT_EQ(KORAL_ParaSet_QRE(3, 57600, 1, 4), 0);
    s = stored();
    EXPECT_EQ(s.port, 3u);
    EXPECT_EQ(s.baud, 57600u);
    EXPECT_EQ(s.trans, 1u);
    EXPECT_EQ(s.id, 4u);

    const struct {
        uint32_t port, baud, trans;
    } refused[] = {{2, 256000, 3}, {2, 1200, 0}, {0, 9600, 2}};
    for (const auto& r : refused) {
        EXPECT_EQ(KORAL_ParaSet_QRE(r.port, r.baud, r.trans, 4), -1);
        EXPECT_RECORD(5, 505, 0, 4, kSet);
    }
    // 256000 passed before Trans 3 was refused: kept in memory, not stored.
    EXPECT_EQ(state().serialBaudRate, 9600u);
    EXPECT_EQ(state().serialTransmission, 2u);
    EXPECT_EQ(stored().baud, 57600u);

    uint32_t value = 0;
    EXPECT_EQ(KORAL_ParaGet_QRE(&value, &value, nullptr, &value), -1);
    EXPECT_RECORD(5, 505, 0, 0, kGet);
}

TEST_F(QreExportsTest, SettingsAreLockedWhileADeviceIsOpen) {
    addUnit(1);
    ASSERT_EQ(open(1), 0);
    EXPECT_EQ(KORAL_ParaSet_QRE(1, 115200, 0, 1), -1);
    EXPECT_RECORD(5, 304, 0, 1, kSet);
    // Another ID names no open slot, but the port is in use all the same.
    EXPECT_EQ(KORAL_ParaSet_QRE(1, 115200, 1, 2), -1);
    EXPECT_RECORD(5, 304, 0, 2, kSet);
    EXPECT_EQ(qreLink()->port.transmission, 0);
    EXPECT_EQ(state().serialTransmission, 0u);
}

TEST_F(QreExportsTest, StopPeriodOnlyForRs485AndTheTimeOutWithinItsRange) {
    EXPECT_EQ(KORAL_ParaSet_QRE_RS485StopPeriod(1000), -1);
    EXPECT_RECORD(5, 506, 821, 0, "KORAL_ParaSet_QRE_RS485StopPeriod");
    ASSERT_EQ(KORAL_ParaSet_QRE(1, 115200, 1, 1), 0);
    EXPECT_EQ(KORAL_ParaSet_QRE_RS485StopPeriod(1000), 0);
    EXPECT_EQ(qreLink()->port.rs485StopPeriod, 1000);

    const struct {
        int32_t ms;
        int32_t result;
    } timeouts[] = {{-1, -1}, {0, 0}, {32767, 0}, {32768, -1}};
    for (const auto& t : timeouts) {
        qreLink()->protocol.replyTimeout = 300;
        EXPECT_EQ(KORAL_ParaSet_QRE_TimeoutPC(t.ms), t.result) << t.ms;
        EXPECT_EQ(qreLink()->protocol.replyTimeout, t.result == 0 ? t.ms : 300);
    }
}

TEST_F(QreExportsTest, DisplayLevelAndTimeFactorReachTheUnit) {
    const sim::SerialUnitModel& model = addUnit(1);
    // No serial interface in use yet.
    EXPECT_EQ(KORAL_ParaSet_QRE_InttimeFactor(2, 1), -1);
    ASSERT_EQ(open(1), 0);
    slot(1).block()->WorkMode = 2; // a mode whose sends write only what changed
    EXPECT_EQ(KORAL_ParaSet_QRE_InttimeFactor(5, 1), 0);
    EXPECT_EQ(model.takenSettings()[29], 5);
    EXPECT_EQ(KORAL_SetDisplaylevel_QRE(2, 1), 0);
    EXPECT_EQ(model.takenSettings()[25], 2);

    for (const uint32_t factor : {0u, 81u}) {
        EXPECT_EQ(KORAL_ParaSet_QRE_InttimeFactor(factor, 1), -1);
        EXPECT_RECORD(5, 505, 0, 0, "KORAL_ParaSet_QRE_InttimeFactor");
    }
    for (const uint32_t level : {0u, 4u}) {
        EXPECT_EQ(KORAL_SetDisplaylevel_QRE(level, 1), -1);
        EXPECT_RECORD(5, 505, 0, 1, "KORAL_SetDisplaylevel_QRE");
    }
    // ID 0 names no unit.
    EXPECT_EQ(KORAL_SetDisplaylevel_QRE(2, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_SetDisplaylevel_QRE");
}

TEST_F(QreExportsTest, TimeFactorOnAnotherInterfaceTypeIsRefused) {
    addSlot(1, kTypeUsb);
    EXPECT_EQ(KORAL_ParaSet_QRE_InttimeFactor(2, 1), -1);
    EXPECT_RECORD(5, 505, 804, 0, "KORAL_ParaSet_QRE_InttimeFactor");
}

TEST_F(QreExportsTest, ResetReportsWhatTheFirmwareRefused) {
    addUnit(1, 302);
    ASSERT_EQ(open(1), 0);
    const platform::TimePoint start = serial.clock.now();
    EXPECT_EQ(KORAL_GlobalReset_QRE(0, 1), -1);
    EXPECT_RECORD(1, -21, 0, 1, "KORAL_GlobalReset_QRE");
    EXPECT_LT(serial.clock.now() - start, 1s);
    EXPECT_EQ(serial.commandsTo(1, 13), 0u);
}

TEST_F(QreExportsTest, ResetOfAUnitThatComesBack) {
    sim::SerialUnitModel& model = addUnit(1);
    model.setResetTime(11s);
    ASSERT_EQ(open(1), 0);
    EXPECT_EQ(KORAL_GlobalReset_QRE(0, 1), 0);
    EXPECT_EQ(model.resets(), 1);
}

} // namespace
} // namespace tarvik::testing
