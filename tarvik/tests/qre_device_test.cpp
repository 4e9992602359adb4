// The device layer of the serial electronics against the simulated unit's
// device model: open, initialise, reset, the parameter blocks and their
// sends, the digital lines, and the recovery after a failure.

#include "serial_sim_fixture.h"

#include "core/last_error.h"
#include "serial/qre_device.h"

#include <gtest/gtest.h>

#include <functional>

namespace tarvik::testing {
namespace {

using namespace std::chrono_literals;

// Frames that reached a unit.
size_t framesTo(const sim::SerialUnit& unit,
                const std::function<bool(const sim::SerialFrameRecord&)>& match) {
    return static_cast<size_t>(
        std::count_if(unit.received().begin(), unit.received().end(), match));
}
size_t blockReads(const sim::SerialUnit& unit, uint8_t type) {
    return framesTo(unit, [type](const sim::SerialFrameRecord& f) {
        return f.isCommand() && f.code() == qre::kBlockRequest && f.parameter() == type;
    });
}
size_t blockWrites(const sim::SerialUnit& unit, uint8_t type) {
    // First pieces only: one per block written.
    return framesTo(unit, [type](const sim::SerialFrameRecord& f) {
        return !f.isCommand() && f.blockType() == type && (f.bytes[4] & qre::kFirstFrameFlag) != 0;
    });
}

class QreDeviceTest : public QreSlotTest {
protected:
    const QreErrorList& errors() const { return qreLink()->errors; }
    size_t portOpens() const {
        const auto events = serial.line->events();
        return static_cast<size_t>(std::count_if(
            events.begin(), events.end(), [](const platform::serial::FakeSerialEvent& e) {
                return e.kind == platform::serial::FakeSerialEvent::Kind::Open;
            }));
    }
};

TEST_F(QreDeviceTest, OpenReadsTheUnitAndTheSecondSlotSharesThePort) {
    addUnit(1);
    addUnit(2, 315);
    ASSERT_EQ(open(1), 0);
    EXPECT_EQ(slot(1).deviceHandle, platform::kPlaceholderDeviceHandle);
    EXPECT_EQ(slot(1).qre.firmwareVersion(), 316);
    EXPECT_EQ(slot(1).qre.pixelCount, 1044u);
    // The settings block as the unit holds it, mirrored.
    EXPECT_EQ(slot(1).qre.integrationTime, 10000u);
    EXPECT_EQ(slot(1).qre.operatingMode, 1u);
    for (const uint8_t type : {qre::kVersionBlock, qre::kSettingsBlock, qre::kParameterBlock,
                               qre::kTransferBlock, qre::kConfigurationBlock}) {
        EXPECT_EQ(blockReads(unit(1), type), 1u) << int(type);
    }
    EXPECT_EQ(qreLink()->configuration[2], 1); // read
    EXPECT_EQ(serial.commandsTo(1, 7), 1u);

    ASSERT_EQ(open(2), 0);
    EXPECT_EQ(portOpens(), 1u);
    EXPECT_EQ(slot(2).qre.firmwareVersion(), 315);
    EXPECT_EQ(serial.commandsTo(2, qre::kStatusPoll), 2u);
}

TEST_F(QreDeviceTest, FirmwareThatRefusesTheLaterBlocksStillOpens) {
    addUnit(1, 305);
    ASSERT_EQ(open(1), 0);
    EXPECT_TRUE(errors().holds(qre::kErrFirmwareNotCorrect));
    EXPECT_EQ(blockReads(unit(1), qre::kTransferBlock), 0u);
    EXPECT_EQ(blockReads(unit(1), qre::kConfigurationBlock), 0u);
    EXPECT_EQ(slot(1).qre.firmwareVersion(), 305);
}

// Goes silent once it acknowledged command 7, before its version is read.
class SilentAfterCommand7 : public sim::SerialUnitModel {
public:
    using SerialUnitModel::SerialUnitModel;
    uint8_t command(sim::SerialUnit& unit, uint8_t code) override {
        if (code == 7) {
            unit.setPresent(false);
        }
        return SerialUnitModel::command(unit, code);
    }
};

TEST_F(QreDeviceTest, AnOpenThatCannotReadWhatASlotNeedsFails) {
    // A unit that falls silent before its version is read, and one whose
    // firmware refuses everything: no slot that would refuse every call.
    auto model = std::make_shared<SilentAfterCommand7>(sim::SerialUnitConfig{});
    sim::SerialUnit& u = serial.electronics.addUnit(1);
    model->install(u);
    u.setBehaviour(model);
    EXPECT_EQ(open(1), -1);
    EXPECT_EQ(lastErrorRecord().info, 815);
    EXPECT_EQ(slot(1).qre.firmwareVersion(), kQreDefaultFirmwareVersion);
    addUnit(2, 200);
    EXPECT_EQ(open(2), -1);
    EXPECT_EQ(lastErrorRecord().info, 815);
}

TEST_F(QreDeviceTest, ADamagedReplyHeaderDoesNotFailTheInitialise) {
    // A relay turns byte 2 of one reply of the initialise into the header of
    // a 48-byte data frame: the first, one in the middle, the last.
    for (const int skip : {0, 4, 9}) {
        SCOPED_TRACE(skip);
        const auto address = static_cast<uint8_t>(skip + 1);
        addUnit(address);
        ASSERT_EQ(open(address), 0);
        for (int i = 0; i < skip; ++i) {
            unit(address).injectFault({sim::SerialFault::Late, 1, 0});
        }
        unit(address).injectFault({sim::SerialFault::CorruptByte, 1, 2, 0x9A});
        EXPECT_EQ(InitializeQreDevice(0), 0);
        EXPECT_EQ(slot(address).active, 1u);
        EXPECT_EQ(serial.commandsTo(address, 5), 1u);
    }
}

TEST_F(QreDeviceTest, OpenFailuresSayWhatFailed) {
    serial.line->openError = EBUSY;
    EXPECT_EQ(open(1), -1);
    EXPECT_EQ(lastErrorRecord().info, 814);
    serial.line->openError = 0;
    EXPECT_EQ(open(1), -1); // nobody answers
    EXPECT_EQ(lastErrorRecord().info, 815);
    // Eleven status polls 300 ms apart.
    EXPECT_EQ(serial.writes().size(), 11u);
}

TEST_F(QreDeviceTest, InitialisationStartsTheOperatingModeOfTheFirmware) {
    const struct {
        uint16_t firmware;
        uint8_t mode;
    } cases[] = {{314, 34}, {315, 4}};
    uint8_t address = 1;
    for (const auto& c : cases) {
        const sim::SerialUnitModel& model = addUnit(address, c.firmware);
        ASSERT_EQ(open(address), 0);
        ASSERT_EQ(InitializeQreDevice(0), 0) << c.firmware;
        EXPECT_EQ(model.takenSettings()[21], c.mode) << c.firmware;
        ++address;
    }
}

TEST_F(QreDeviceTest, ResetWaitsForTheUnitToAnswerAgain) {
    const struct {
        uint16_t firmware;
        platform::Duration silence; // from the reset on
        int32_t result;
        platform::Duration atMost;
    } cases[] = {
        {302, 0s, -1, 1s},   // refused by the gate at once
        {316, 14s, 1, 15s},  // answers 4 s after the wait
        {316, 30s, -2, 20s}, // the polls give up after 5 s
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firmware);
        sim::SerialUnitModel& model = addUnit(1, c.firmware);
        model.setResetTime(c.silence);
        ASSERT_EQ(open(1), 0);
        const platform::TimePoint start = serial.clock.now();
        EXPECT_EQ(GlobalResetQre(), c.result);
        EXPECT_LE(serial.clock.now() - start, c.atMost);
        EXPECT_EQ(errors().holds(qre::kErrTimeoutQreReady), c.result == -2);
        EXPECT_EQ(slot(1).qre.firmwareVersion(), c.firmware);
        CloseQrePort();
        FreeDeviceSlot(1);
        state().openInterfaces = 0;
    }
}

class QreParameterTest : public SerialLinkTest {
protected:
    void SetUp() override {
        SerialLinkTest::SetUp();
        model = &serial.addModelUnit();
        SetSlotDefaults(1, 1);
        slot().block()->WorkMode = 2;
    }
    DeviceSlot& slot() { return *deviceSlot(1); }
    uint8_t* settings() { return slot().qre.blocks->settings.data(); }
    uint8_t* parameter() { return slot().qre.blocks->parameter.data(); }
    uint16_t word(const uint8_t* block, size_t at) {
        return static_cast<uint16_t>(block[at] | block[at + 1] << 8);
    }
    sim::SerialUnit& unit() { return *serial.electronics.unit(1); }

    sim::SerialUnitModel* model = nullptr;
};

TEST_F(QreParameterTest, SensorCodesOfTheFrontEnd) {
    const struct {
        uint32_t frontEnd;
        uint32_t sensor;
        uint8_t code;
        int32_t value; // -1: the words stay
        int32_t change;
    } cases[] = {
        {1, 19, 1, 5, 2}, {1, 20, 1, 3, 2}, {1, 7, 1, 7, 2},  {6, 9, 6, 9, 2},
        {0, 7, 0, 0, 0},  {2, 7, 2, 0, 2},  {5, 7, 5, -1, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frontEnd * 100 + c.sensor);
        ResetQreRecords();
        slot().frontEndType = 0;
        BuildQreParameterBlocks(); // in step with the record
        EXPECT_EQ(BuildQreParameterBlocks(), 0);
        parameter()[16] = 0x34;
        parameter()[40] = 0x34;
        slot().frontEndType = c.frontEnd;
        slot().sensorType[0] = c.sensor;
        EXPECT_EQ(BuildQreParameterBlocks(), c.change);
        EXPECT_EQ(parameter()[4], c.code);
        const uint16_t words = c.value < 0 ? 0x34 : static_cast<uint16_t>(c.value);
        EXPECT_EQ(word(parameter(), 16), words);
        EXPECT_EQ(word(parameter(), 40), words);
    }
}

TEST_F(QreParameterTest, TheRecordTheMultiplexerAndTheWarningsMarkTheirChanges) {
    BuildQreParameterBlocks();
    slot().qre.averageNumber = 3;
    EXPECT_EQ(BuildQreParameterBlocks(), 1);
    EXPECT_EQ(settings()[23], 3);
    slot().muxType = 2;
    EXPECT_EQ(BuildQreParameterBlocks(), 2);
    EXPECT_EQ(parameter()[5], 2);
    // Multi-channel mode on channel 0 switches nothing in the electronics.
    slot().qre.muxModeIndex = 1;
    EXPECT_EQ(BuildQreParameterBlocks(), 2);
    EXPECT_EQ(parameter()[5], 0);
    slot().warningFlag = 1;
    EXPECT_EQ(BuildQreParameterBlocks(), 2);
    EXPECT_EQ(parameter()[6] & 2, 2);
    // The pixel count goes along without counting as a change.
    slot().block()->NumberPixel2 = 777;
    EXPECT_EQ(BuildQreParameterBlocks(), 0);
    EXPECT_EQ(word(parameter(), 18), 777);
    EXPECT_EQ(word(parameter(), 42), 777);
}

TEST_F(QreParameterTest, MeasurementTimeEstimates) {
    const struct {
        uint32_t time;
        uint8_t factor, muxMode, muxChannel, average;
        int32_t averaged;
        int32_t ms;
    } cases[] = {
        {100000, 0, 0, 0, 0, 0, 8400}, // (100 + 2000) x 4
        {10000, 0, 0, 0, 0, 0, 8200},  // below the read-out: (10 x 3 + 20 + 2000) x 4
        {100000, 2, 0, 0, 0, 0, 5500}, // factor 2: (200 + 2000) x 2.5
        {100000, 0, 0, 0, 3, 1, 9200}, // averaged 3 times
        {100000, 0, 0, 0, 3, 0, 8400}, // not asked for the average
        {100000, 0, 1, 1, 0, 0, 9280}, // two channels read out: below again
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ms);
        uint8_t* s = settings();
        for (size_t i = 0; i < 4; ++i) {
            s[16 + i] = static_cast<uint8_t>(c.time >> (8 * i));
        }
        s[21] = 4;
        s[22] = 1;
        s[29] = c.factor;
        s[6] = c.muxMode;
        s[7] = c.muxChannel;
        s[23] = c.average;
        parameter()[18] = 1000 & 0xFF;
        parameter()[19] = 1000 >> 8;
        EXPECT_EQ(EstimateQreMeasurementTime(c.averaged), c.ms);
    }
}

TEST_F(QreParameterTest, WorkModesSendTheirTimesAndModes) {
    slot().acquisitionIntegrationTime = 20000;
    slot().deletingIntegrationTime = 3000;
    const struct {
        uint16_t workMode;
        uint8_t operatingMode, trigger;
        uint32_t time;
    } cases[] = {{1, 18, 0, 3000},  {2, 18, 0, 20000}, {3, 4, 0, 20000},
                 {6, 34, 0, 20000}, {4, 1, 2, 20000},  {5, 1, 1, 20000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.workMode);
        slot().block()->WorkMode = c.workMode;
        ASSERT_EQ(SendQreWorkModeParameters(), 0);
        const auto& taken = model->takenSettings();
        EXPECT_EQ(taken[21], c.operatingMode);
        EXPECT_EQ(taken[20], c.trigger);
        EXPECT_EQ(taken[16] | taken[17] << 8 | taken[18] << 16, static_cast<int>(c.time));
    }
}

TEST_F(QreParameterTest, BlocksGoOutAsTheSequenceAndTheChangeSay) {
    ASSERT_EQ(SendQreWorkModeParameters(), 0);
    const size_t writes6 = blockWrites(unit(), qre::kParameterBlock);
    // Work mode 2 sends blocks only when something changed.
    ASSERT_EQ(SendQreWorkModeParameters(), 0);
    EXPECT_EQ(blockWrites(unit(), qre::kParameterBlock), writes6);
    // Work mode 3 always sends them, and reads them back after a change of
    // the parameter block: here the multiplexer's code alone.
    slot().block()->WorkMode = 3;
    ASSERT_EQ(SendQreWorkModeParameters(), 0);
    EXPECT_EQ(blockWrites(unit(), qre::kParameterBlock), writes6 + 1);
    const size_t reads9 = blockReads(unit(), qre::kSettingsBlock);
    const size_t reads6 = blockReads(unit(), qre::kParameterBlock);
    slot().muxType = 3;
    ASSERT_EQ(SendQreWorkModeParameters(), 0);
    EXPECT_EQ(blockWrites(unit(), qre::kParameterBlock), writes6 + 2);
    EXPECT_EQ(blockReads(unit(), qre::kSettingsBlock), reads9 + 1);
    EXPECT_EQ(blockReads(unit(), qre::kParameterBlock), reads6 + 1);
    EXPECT_EQ(model->takenParameters()[5], 3);
}

TEST_F(QreParameterTest, AFailedSendIsSentAgainNextTime) {
    unit().setPresent(false);
    slot().acquisitionIntegrationTime = 50000;
    EXPECT_EQ(SendQreWorkModeParameters(), -1);
    EXPECT_EQ(lastErrorRecord().code, qre::kErrComRepeatLimit);
    unit().setPresent(true);
    ASSERT_EQ(SendQreWorkModeParameters(), 0);
    EXPECT_EQ(model->takenSettings()[16] | model->takenSettings()[17] << 8, 50000 & 0xFFFF);
}

TEST_F(QreParameterTest, RecoveryReportsEveryFailure) {
    // A step that failed on a port error, which no class of the report
    // knows: reported all the same, command 7 sent, the status cleared.
    slot().qre.setStatusWords(0, 9);
    PushQreError(qre::kErrPortWrite);
    resetErrorState();
    EXPECT_EQ(RecoverQreFailure(), -1);
    EXPECT_EQ(lastErrorRecord().level, KORAL_LEVEL_HARDWARE);
    EXPECT_EQ(lastErrorRecord().code, 9); // the device's error comes first
    EXPECT_EQ(slot().qre.deviceStatusWord(), 0);
    EXPECT_EQ(serial.commandsTo(1, 7), 1u);
    ClearQreErrorList();
    PushQreError(qre::kErrPortWrite);
    EXPECT_EQ(RecoverQreFailure(), -1);
    EXPECT_EQ(lastErrorRecord().code, qre::kErrPortWrite);
    // Nothing failed: nothing to report.
    ClearQreErrorList();
    resetErrorState();
    EXPECT_EQ(RecoverQreFailure(), 0);
    EXPECT_EQ(lastErrorRecord().code, 0);
}

TEST_F(QreParameterTest, OutputTwoKeepsOutputOne) {
    slot().qre.setFirmwareVersion(320); // takes any output bits
    const struct {
        uint8_t before;
        bool set;
        uint8_t written;
    } cases[] = {{0x05, true, 0x03}, {0x07, false, 0x01}, {0x00, true, 0x02}};
    for (const auto& c : cases) {
        settings()[4] = c.before;
        EXPECT_EQ(c.set ? SetQreDigitalOutput2() : ClearQreDigitalOutput2(), 0);
        EXPECT_EQ(unit().block(qre::kSettingsBlock)[4], c.written);
        EXPECT_EQ(settings()[4], c.written);
    }
    unit().setPresent(false);
    EXPECT_EQ(SetQreDigitalOutput2(), -1);
    EXPECT_EQ(settings()[4], 0x02); // as before the call
}

TEST_F(QreParameterTest, InputsComeInTheUpperHalfOfTheInputWord) {
    model->setDigitalInputs(0x05);
    EXPECT_EQ(GetQreDigitalInput1(), 0);
    EXPECT_EQ(slot().block()->DigitalInputWord, 0x00050000u);
}

} // namespace
} // namespace tarvik::testing
