// Spectra from simulated serial electronics in every work mode, from one
// unit and from two on one line, and over a line that corrupts bytes.

#include "serial_sim_fixture.h"

#include "core/last_error.h"
#include "serial/qre_acquire.h"
#include "serial/qre_device.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

namespace tarvik::testing {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kIntegrationUs = 20000;
constexpr size_t kLinePixel = 522; // the middle of 1044 pixels: the line's peak

class QreAcquireTest : public QreSlotTest {
protected:
    // A unit at the address, opened as slot `id`, its work mode's parameters
    // sent as the hardware configuration sends them.
    sim::SerialUnitModel& start(int32_t id, uint16_t workMode, uint16_t firmware = 316,
                                uint32_t average = 0) {
        sim::SerialUnitModel& model = addUnit(static_cast<uint8_t>(id), firmware);
        EXPECT_EQ(open(id), 0);
        DeviceSlot& s = slot(id);
        s.block()->WorkMode = workMode;
        s.block()->NumberPixel2 = 1044;
        s.block()->TOTimeExtTrig = 1000;
        s.acquisitionIntegrationTime = kIntegrationUs;
        s.deletingIntegrationTime = 5000;
        s.qre.averageNumber = average;
        state().actualInterfaceId = id;
        EXPECT_EQ(SendQreWorkModeParameters(), 0);
        return model;
    }
    // The spectrum the slot's request block holds follows the unit's dark
    // and signal (x 100).
    void expectSpectrum(int32_t id, uint16_t dark, double signal) {
        const uint32_t* data = slot(id).block()->ScanData;
        EXPECT_EQ(data[0], dark * 100u) << "slot " << id;
        const double peak = std::min(dark + signal * kIntegrationUs / 1000.0, 32767.0);
        EXPECT_EQ(data[kLinePixel], static_cast<uint32_t>(peak) * 100u) << "slot " << id;
    }
};

TEST_F(QreAcquireTest, WorkModeOneStartsBothUnitsTogetherAndSendsTheirParametersAgain) {
    sim::SerialUnitModel& one = start(1, 1);
    sim::SerialUnitModel& two = start(2, 1);
    one.setLevels(400, 10);
    two.setLevels(900, 20);
    state().actualInterfaceId = 1;
    const size_t startsBefore = serial.commandsTo(2, 5);
    ASSERT_EQ(AcquireQreSpectra(0), 0);
    EXPECT_EQ(state().actualInterfaceId, 1);
    expectSpectrum(1, 400, 10);
    expectSpectrum(2, 900, 20);
    // One start for the scan, one for the cleaning scan sent again after.
    EXPECT_EQ(serial.commandsTo(2, 5) - startsBefore, 2u);
    EXPECT_EQ(two.takenSettings()[21], 18);

    // The common start comes after both units were prepared: unit 1's
    // start follows unit 2's parameters.
    const auto frames = serial.electronics.frames();
    size_t lastPrepare = 0;
    size_t firstStart = frames.size();
    for (size_t i = 0; i < frames.size(); ++i) {
        const sim::SerialFrameRecord& f = frames[i];
        if (f.destination() == 2 && f.isCommand() && f.code() == 4) {
            lastPrepare = std::max(lastPrepare, i);
        }
        if (f.destination() == 1 && f.isCommand() && f.code() == 5 && i > lastPrepare &&
            firstStart == frames.size() && lastPrepare != 0) {
            firstStart = i;
        }
    }
    EXPECT_LT(firstStart, frames.size());

    // The next spectrum is a new scan: the records take turns.
    one.setLevels(450, 10);
    ASSERT_EQ(AcquireQreSpectra(1), 0);
    expectSpectrum(1, 450, 10);
}

TEST_F(QreAcquireTest, WorkModeTwoScansWithoutCleaning) {
    sim::SerialUnitModel& one = start(1, 2);
    one.setLevels(300, 5);
    const size_t startsBefore = serial.commandsTo(1, 5);
    ASSERT_EQ(AcquireQreSpectra(1), 0);
    expectSpectrum(1, 300, 5);
    EXPECT_EQ(serial.commandsTo(1, 5) - startsBefore, 1u);
}

struct ContinuousCase {
    uint16_t workMode;
    uint16_t firmware;
    uint32_t average;
    bool wide;
};

class QreContinuousTest : public QreAcquireTest,
                          public ::testing::WithParamInterface<ContinuousCase> {};

TEST_P(QreContinuousTest, ReadsTheLastScanOfEachUnit) {
    const ContinuousCase c = GetParam();
    sim::SerialUnitModel& one = start(1, c.workMode, c.firmware, c.average);
    sim::SerialUnitModel& two = start(2, c.workMode, c.firmware, c.average);
    state().actualInterfaceId = 1;
    for (const uint16_t dark : {700, 800}) {
        one.setLevels(dark, 10);
        two.setLevels(static_cast<uint16_t>(dark + 50), 0);
        serial.clock.advance(100ms);
        ASSERT_EQ(AcquireQreSpectra(0), 0) << dark;
        expectSpectrum(1, dark, 10);
        expectSpectrum(2, static_cast<uint16_t>(dark + 50), 0);
        EXPECT_EQ(slot(1).qre.blocks->version[c.wide ? 20 : 19], 2);
    }
}

INSTANTIATE_TEST_SUITE_P(WorkModes, QreContinuousTest,
                         ::testing::Values(ContinuousCase{3, 315, 1, false}, // command 8 first
                                           ContinuousCase{3, 314, 1, false}, // data ready first
                                           ContinuousCase{6, 316, 1, false},
                                           ContinuousCase{6, 316, 4, true},
                                           ContinuousCase{3, 316, 3, true}));

class QreTriggeredTest : public QreAcquireTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(QreTriggeredTest, ScanWaitsForTheTriggerWithinItsTimeOut) {
    const uint16_t mode = GetParam();
    sim::SerialUnitModel& one = start(1, mode);
    one.setLevels(600, 3);
    one.trigger(400ms);
    ASSERT_EQ(AcquireQreSpectra(1), 0);
    expectSpectrum(1, 600, 3);
    EXPECT_EQ(one.takenSettings()[20], mode == 5 ? 1 : 2);

    // No trigger within the request block's time-out.
    EXPECT_EQ(AcquireQreSpectra(1), -1);
    EXPECT_RECORD(1, qre::kErrTimeoutDataReady, 0, 1, "");
}

TEST_F(QreAcquireTest, TriggeredRunsOfAllUnitsKeepTheTriggerArmed) {
    sim::SerialUnitModel& one = start(1, 5);
    sim::SerialUnitModel& two = start(2, 5);
    state().actualInterfaceId = 1;
    const size_t before = serial.commandsTo(1, 5);
    for (int run = 0; run < 2; ++run) {
        one.trigger();
        two.trigger();
        ASSERT_EQ(AcquireQreSpectra(-1), 0) << run;
        EXPECT_TRUE(QreTriggerArmed(1));
    }
    // Armed at the start of the first run and re-armed at the end of each.
    EXPECT_EQ(serial.commandsTo(1, 5) - before, 3u);
    expectSpectrum(2, 500, 1000);

    // With 0 the parameters go out and the trigger is armed at the start only.
    one.trigger();
    two.trigger();
    const size_t again = serial.commandsTo(2, 5);
    ASSERT_EQ(AcquireQreSpectra(0), 0);
    EXPECT_EQ(serial.commandsTo(2, 5) - again, 1u);
    EXPECT_TRUE(QreTriggerArmed(1));
}

TEST_F(QreAcquireTest, UninitialisedSlotsAreReportedAndTheOthersAcquired) {
    sim::SerialUnitModel& one = start(1, 2);
    start(2, 2);
    start(3, 2);
    one.setLevels(250, 0);
    slot(2).initialised = 0;
    state().actualInterfaceId = 1;
    EXPECT_EQ(AcquireQreSpectra(0), -1);
    EXPECT_RECORD(4, 507, 0, 2, "");
    expectSpectrum(1, 250, 0);
    EXPECT_EQ(state().actualInterfaceId, 1);
    EXPECT_EQ(AcquireQreSpectra(2), -1);
    EXPECT_RECORD(5, 507, 0, 2, "");
    slot(1).active = 0;
    slot(3).active = 0;
    EXPECT_EQ(AcquireQreSpectra(1), 0); // nothing active to acquire
}

TEST_F(QreAcquireTest, EstimatesUseTheActualSlotsOwnBlocks) {
    start(1, 2);
    start(2, 2);
    slot(2).acquisitionIntegrationTime = 400000;
    state().actualInterfaceId = 2;
    ASSERT_EQ(SendQreWorkModeParameters(), 0);
    const int32_t two = EstimateQreMeasurementTime(0);
    state().actualInterfaceId = 1;
    const int32_t one = EstimateQreMeasurementTime(0);
    SelectQreSlotBuffers(2); // the link's blocks are another slot's
    EXPECT_EQ(EstimateQreMeasurementTime(0), one);
    EXPECT_NE(one, two);
    FreeQreSlotBuffers(1);
    EXPECT_EQ(EstimateQreMeasurementTime(0), 0);
}

TEST_F(QreAcquireTest, APortClosedUnderAnOpenSlotFailsAtOnceAsAPortError) {
    // Slot 2 closed without de-initialisation takes the shared port along.
    start(1, 3);
    start(2, 3);
    state().actualInterfaceId = 1;
    ASSERT_EQ(AcquireQreSpectra(1), 0);
    CloseQrePort();
    const platform::TimePoint before = serial.clock.now();
    EXPECT_EQ(AcquireQreSpectra(1), -1);
    EXPECT_LT(serial.clock.now() - before, 100ms);
    EXPECT_RECORD(1, qre::kErrComPortNotAvailable, 0, 1, "");
}

TEST_F(QreAcquireTest, AContinuousScanThatWasStoppedStartsAgainForTheNextSpectrum) {
    // What stops the unit's scan: the recovery's command 7 after a failed
    // operation, and a global reset.
    const struct {
        const char* what;
        std::function<void(sim::SerialUnitModel&)> stop;
    } cases[] = {
        {"failed output write",
         [this](sim::SerialUnitModel&) {
             unit(1).injectFault({sim::SerialFault::Drop, 11});
             EXPECT_EQ(SetQreDigitalOutput2(), -1);
         }},
        {"global reset",
         [](sim::SerialUnitModel& model) {
             model.setResetTime(1s);
             EXPECT_EQ(GlobalResetQre(), 1);
         }},
    };
    for (const uint16_t mode : {3, 6}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " in work mode " + std::to_string(mode));
            sim::SerialUnitModel& model = start(1, mode);
            ASSERT_EQ(AcquireQreSpectra(1), 0);
            model.setLevels(300, 3);
            c.stop(model);
            const platform::TimePoint before = serial.clock.now();
            EXPECT_EQ(AcquireQreSpectra(1), 0);
            EXPECT_LT(serial.clock.now() - before, 2s);
            expectSpectrum(1, 300, 3);
            CloseQrePort();
            FreeDeviceSlot(1);
            state().openInterfaces = 0;
        }
    }
}

// One byte in a hundred corrupted, either way: the link repeats what was
// lost, and every acquisition delivers the unit's current spectrum.
class QreNoisyLineTest : public QreAcquireTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(QreNoisyLineTest, CorruptedBytesNeverGiveAWrongSpectrum) {
    const uint16_t mode = GetParam();
    sim::SerialUnitModel& one = start(1, mode);
    sim::SerialUnitModel& two = start(2, mode);
    state().actualInterfaceId = 1;
    serial.electronics.setByteErrorRate(0.01, mode);
    int failures = 0;
    for (uint16_t round = 0; round < 12; ++round) {
        const auto dark = static_cast<uint16_t>(100 + 10 * round);
        one.setLevels(dark, 2);
        two.setLevels(static_cast<uint16_t>(dark + 5), 1);
        int result = -1;
        for (int tries = 0; tries < 5 && result != 0; ++tries) {
            serial.clock.advance(50ms);
            result = AcquireQreSpectra(0);
            failures += result != 0 ? 1 : 0;
        }
        ASSERT_EQ(result, 0) << "round " << round;
        expectSpectrum(1, dark, 2);
        expectSpectrum(2, static_cast<uint16_t>(dark + 5), 1);
    }
    EXPECT_GT(serial.electronics.corruptedBytes(), 100u);
    EXPECT_EQ(failures, 0);
}

TEST_F(QreAcquireTest, OneUnitOnANoisyLineOpensInitialisesAndDeliversEveryTime) {
    addUnit(1);
    serial.electronics.setByteErrorRate(0.01, 7);
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(open(1), 0) << round;
        EXPECT_EQ(InitializeQreDevice(0), 0) << round;
        CloseQrePort();
        FreeDeviceSlot(1);
        state().openInterfaces = 0;
    }
    sim::SerialUnitModel& model = start(1, 3);
    for (uint16_t round = 0; round < 20; ++round) {
        const auto dark = static_cast<uint16_t>(100 + round);
        model.setLevels(dark, 2);
        serial.clock.advance(50ms);
        ASSERT_EQ(AcquireQreSpectra(1), 0) << round;
        expectSpectrum(1, dark, 2);
    }
    EXPECT_GT(serial.electronics.corruptedBytes(), 500u);
}

INSTANTIATE_TEST_SUITE_P(WorkModes, QreTriggeredTest, ::testing::Values(4, 5));
INSTANTIATE_TEST_SUITE_P(WorkModes, QreNoisyLineTest, ::testing::Values(1, 3, 6));

} // namespace
} // namespace tarvik::testing
