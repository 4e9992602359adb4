// Exchanges of the serial link with simulated electronics: the transfer
// state machine with its repeats and time-outs, the executors with their
// firmware gates, the block buffers, and the faults of a real line.

#include "serial_sim_fixture.h"
#include "tarvik_test.h"

#include "core/last_error.h"

#include <gmock/gmock.h>

#include <cstring>
#include <numeric>
#include <string>

using namespace std::chrono_literals;

namespace tarvik::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::SerialFault;

class QreExchangeTest : public SerialLinkTest {
protected:
    std::vector<int16_t> errors() {
        std::vector<int16_t> out;
        for (int16_t i = 1; i <= link().errors.count(); ++i) {
            out.push_back(link().errors.entry(static_cast<size_t>(i)));
        }
        return out;
    }
    sim::SerialUnit& unit(uint8_t address = 1) { return serial.electronics.addUnit(address); }
};

TEST_F(QreExchangeTest, AbsentUnitIsAskedTenTimes300msApartThenGivenUp) {
    const platform::TimePoint start = serial.clock.now();
    EXPECT_EQ(SendQreCommand14(), 1);
    const auto events = serial.line->events();
    std::vector<platform::Duration> times;
    std::vector<uint8_t> codes;
    for (const auto& e : events) {
        if (e.kind == platform::serial::FakeSerialEvent::Kind::Write) {
            times.push_back(e.time - start);
            codes.push_back(e.bytes[3]);
        }
    }
    ASSERT_EQ(times.size(), 11u);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ(times[i], i * 300ms) << i;
    }
    EXPECT_EQ(codes, (std::vector<uint8_t>{14, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    std::vector<int16_t> expected(11, qre::kErrReplyTimeout);
    expected.push_back(qre::kErrComRepeatLimit);
    EXPECT_EQ(errors(), expected);
    EXPECT_EQ(link().protocol.givenUp, 1);
    EXPECT_EQ(link().protocol.awaited, 0);
    // The line was drained after the last time-out.
    EXPECT_GE(serial.clock.now() - start, 3300ms);
}

TEST_F(QreExchangeTest, SequenceByteWrapsAtTheAcknowledgement) {
    unit();
    link().protocol.sequence = 255;
    EXPECT_EQ(SendQreCommand14(), 0);
    EXPECT_EQ(link().protocol.sequence, 0);
    EXPECT_EQ(SendQreCommand6(), 0);
    EXPECT_EQ(serial.writes().back()[4], 0);
    EXPECT_EQ(unit().received().back().sequence(), 0);
}

// A unit that answers commands with a reply code of its choice.
class Answer : public sim::SerialUnitBehaviour {
public:
    explicit Answer(uint8_t code) : code_(code) {}
    uint8_t command(sim::SerialUnit&, uint8_t) override { return code_; }

private:
    uint8_t code_;
};

TEST_F(QreExchangeTest, RepliesThatEndNoWaitRunIntoTheTimeout) {
    for (const uint8_t code : {uint8_t{5}, uint8_t{14}, uint8_t{0}}) {
        unit().setBehaviour(std::make_shared<Answer>(code));
        ClearQreErrorList();
        EXPECT_EQ(SendQreCommand4(), 1) << int(code);
        ASSERT_FALSE(errors().empty());
        EXPECT_EQ(errors().front(), qre::kErrReplyTimeout) << int(code);
        EXPECT_EQ(errors().back(), qre::kErrComRepeatLimit) << int(code);
    }
}

TEST_F(QreExchangeTest, UnknownStateResetsTheProtocol) {
    unit();
    link().protocol.sequence = 9;
    EXPECT_EQ(ExecuteQreCommand(9), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>{qre::kErrUnknownState});
    EXPECT_EQ(link().protocol.sequence, 0);
    EXPECT_TRUE(serial.writes().empty());
    // A state asked for while a reply is awaited.
    link().protocol.awaited = kQreAwaitAcknowledge;
    link().protocol.sendTime = GetQreClock();
    link().protocol.requestedState = 4;
    RunQreProtocolStep();
    EXPECT_EQ(GetLastQreError(), qre::kErrBusy);
}

TEST_F(QreExchangeTest, BlockReadContinuesAndAcknowledgesTheLastPiece) {
    std::iota(unit().block(6).begin(), unit().block(6).end(), uint8_t{1});
    std::iota(unit().block(12).begin(), unit().block(12).end(), uint8_t{3});
    EXPECT_EQ(ReadQreBlock6(), 0);
    EXPECT_EQ(unit().commands(), (std::vector<uint8_t>{15, 3, 2}));
    EXPECT_TRUE(
        std::equal(unit().block(6).begin(), unit().block(6).end(), link().current.parameter));
    EXPECT_EQ(ReadQreBlock12(), 0);
    EXPECT_TRUE(
        std::equal(unit().block(12).begin(), unit().block(12).end(), link().configuration.begin()));
    EXPECT_TRUE(errors().empty());
}

TEST_F(QreExchangeTest, UnaskedDataFrameIsStoredWhenItsTypeMeetsTheMask) {
    unit().setBehaviour(std::make_shared<Answer>(0)); // the poll goes unanswered
    for (const uint8_t type : {uint8_t{6}, uint8_t{4}}) {
        link().transfer.blockType = type;
        const Bytes piece(40, 0x5A);
        const qre::DataFrame frame = qre::dataFrame(0, 1, type, 1, true, piece);
        serial.line->send(Bytes(frame.begin(), frame.end()), 1ms);
        SendQreCommand14();
    }
    EXPECT_EQ(link().current.parameter[0], 0x5A);
    EXPECT_EQ(link().current.spectrum[3][0], 0); // 0x4004 does not meet 0x8003
}

TEST_F(QreExchangeTest, FaultsOfTheLineAreRepeatedAway) {
    const struct {
        const char* what;
        sim::SerialFaultSpec fault;
    } cases[] = {
        {"dropped", {SerialFault::Drop, 2}},
        {"truncated", {SerialFault::Truncate, 1, 6}},
        {"XOR", {SerialFault::BadXor}},
        {"sum", {SerialFault::BadSum}},
        {"destination nibbles", {SerialFault::UnequalDestination}},
        {"source nibbles", {SerialFault::UnequalSource}},
        {"block type", {SerialFault::WrongBlockType}},
        {"index", {SerialFault::WrongIndex}},
        {"repeated", {SerialFault::Repeat, 3}},
        {"another unit", {SerialFault::ForeignSource, 1, 2}},
        {"late", {SerialFault::Late, 1, 400}},
    };
    std::iota(unit().block(12).begin(), unit().block(12).end(), uint8_t{7});
    std::iota(link().current.settings, link().current.settings + 32, uint8_t{9});
    link().current.settings[4] = 0; // what firmware 3.16 takes
    link().current.settings[20] = 0;
    link().current.settings[21] = 1;
    link().current.settings[23] = 1;
    for (const auto& c : cases) {
        for (const uint8_t skip : {uint8_t{0}, uint8_t{3}}) {
            // Duplicates of the case before have landed and gone: nothing in
            // a frame tells them from the answer to the next request.
            serial.clock.advance(1s);
            PurgeQreReceive();
            unit().clearFaults();
            link().configuration.fill(0);
            ClearQreErrorList();
            // The fault hits the first frame, or one in the middle.
            for (uint8_t i = 0; i < skip; ++i) {
                unit().injectFault({SerialFault::Late, 1, 0});
            }
            unit().injectFault(c.fault);
            EXPECT_EQ(ReadQreBlock12(), 0) << c.what << " " << int(skip);
            EXPECT_TRUE(std::equal(unit().block(12).begin(), unit().block(12).end(),
                                   link().configuration.begin()))
                << c.what << " " << int(skip);
        }
        if (c.fault.kind == SerialFault::WrongBlockType ||
            c.fault.kind == SerialFault::WrongIndex) {
            continue; // the write's answers hold no data frame
        }
        serial.clock.advance(1s);
        PurgeQreReceive();
        unit().clearFaults();
        unit().injectFault(c.fault);
        EXPECT_EQ(WriteQreBlock9(), 0) << c.what;
        EXPECT_TRUE(
            std::equal(unit().block(9).begin(), unit().block(9).end(), link().current.settings))
            << c.what;
    }
}

TEST_F(QreExchangeTest, FramesOfOursThatNeverArriveAreSentAgain) {
    // Each exchange loses its first frame (or the third: a continue or a
    // piece of a block write). The unit answers our repeat request with its
    // last reply, already taken: our frame goes again, the command is done
    // once and the block arrives whole.
    const struct {
        const char* what;
        int32_t (*exchange)();
        int lostAfter;     // frames that arrive before the one lost
        uint8_t blockType; // the block it carries; 0 none
    } cases[] = {
        {"status poll", SendQreCommand14, 0, 0},
        {"block request", ReadQreBlock12, 0, qre::kConfigurationBlock},
        {"continue", ReadQreBlock12, 2, qre::kConfigurationBlock},
        {"first piece", WriteQreBlock9, 0, qre::kSettingsBlock},
        {"second piece", WriteQreBlock6, 1, qre::kParameterBlock},
    };
    std::iota(unit().block(12).begin(), unit().block(12).end(), uint8_t{3});
    // A unit that does not number its replies is found out when it answers
    // a frame sent again with the number again; from then on its replies
    // are taken as they come (and a lost frame of ours cannot be told).
    for (const bool numbered : {true, false}) {
        unit().setNumbersReplies(numbered);
        for (const auto& c : numbered ? std::span(cases) : std::span(cases).first(1)) {
            SCOPED_TRACE(std::string(c.what) + (numbered ? "" : ", replies not numbered"));
            ASSERT_EQ(SendQreCommand14(), 0); // a reply to repeat
            const size_t polls = serial.commandsTo(1, qre::kStatusPoll);
            unit().loseIncoming(1, c.lostAfter);
            ClearQreErrorList();
            link().configuration.fill(0);
            EXPECT_EQ(c.exchange(), 0);
            EXPECT_EQ(GetLastQreError(), qre::kErrReplyTimeout);
            if (c.blockType == 0) {
                EXPECT_EQ(serial.commandsTo(1, qre::kStatusPoll) - polls, 1u);
                continue;
            }
            const uint8_t* ours = c.blockType == qre::kConfigurationBlock
                                      ? link().configuration.data()
                                  : c.blockType == qre::kSettingsBlock ? link().current.settings
                                                                       : link().current.parameter;
            const std::span<uint8_t> theirs = unit().block(c.blockType);
            EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), ours));
        }
    }
}

TEST_F(QreExchangeTest, ExchangesThatCouldGoOnForeverEnd) {
    // Never ready: repeat requests answered with repeat requests.
    unit().setNeverReady(true);
    EXPECT_EQ(SendQreCommand14(), 1);
    EXPECT_EQ(GetLastQreError(), qre::kErrComRepeatLimit);
    unit().setNeverReady(false);
    // Every data frame of the wrong type: each refusal counts.
    unit().injectFault({SerialFault::WrongBlockType, 1000});
    EXPECT_EQ(ReadQreBlock12(), 1);
    EXPECT_EQ(GetLastQreError(), qre::kErrComRepeatLimit);
    // The first piece for ever.
    ClearQreErrorList();
    unit().injectFault({SerialFault::Stale, 1000});
    EXPECT_EQ(ReadQreBlock12(), 1);
    EXPECT_EQ(GetLastQreError(), qre::kErrComRepeatLimit);
}

TEST_F(QreExchangeTest, APortThatFailsEndsTheExchangeAtOnceAsAPortError) {
    unit();
    CloseQrePortHandle();
    const platform::TimePoint start = serial.clock.now();
    EXPECT_EQ(SendQreCommand14(), 0);
    EXPECT_EQ(serial.clock.now() - start, 0ms); // no repeats on a port that cannot carry them
    EXPECT_EQ(errors(), (std::vector<int16_t>{qre::kErrPlatform, qre::kErrPlatformAccess,
                                              qre::kErrComPortNotAvailable}));
    EXPECT_EQ(link().protocol.awaited, 0);
    EXPECT_EQ(CheckQreErrors(1), 1);
    EXPECT_EQ(CheckQreErrors(2), 1);
    EXPECT_EQ(ReportQreErrors(1), 1);
    EXPECT_EQ(lastErrorRecord().code, qre::kErrComPortNotAvailable);
    // The port back: the next exchange goes as ever.
    ASSERT_TRUE(serial.openPort());
    SetQreDestination(1);
    ClearQreErrorList();
    EXPECT_EQ(SendQreCommand14(), 0);
    EXPECT_EQ(link().errors.count(), 0);
}

TEST_F(QreExchangeTest, AReplyWhoseHeaderAnnouncesMoreIsDroppedAtItsTimeOut) {
    // Byte 2 of the acknowledgement (0xF0) turned on the way into the header
    // of a data frame of 16, 28 or 48 bytes: the eight bytes that came are a
    // damaged frame, and the answer to the repeat request is taken.
    for (const uint8_t header : {0x62, 0x65, 0x6A}) {
        SCOPED_TRACE(int(header));
        ClearQreErrorList();
        unit().injectFault({SerialFault::CorruptByte, 1, 2, static_cast<uint8_t>(0xF0 ^ header)});
        const platform::TimePoint start = serial.clock.now();
        EXPECT_EQ(SendQreCommand14(), 0);
        EXPECT_EQ(errors(),
                  (std::vector<int16_t>{qre::kErrReplyTimeout, qre::kErrFrameIncomplete}));
        EXPECT_LT(serial.clock.now() - start, 400ms); // one time-out, one repeat
        EXPECT_EQ(link().frames.rawCount, 0);
    }
    // Every answer damaged: given up, and the next exchange starts at a header.
    unit().injectFault({SerialFault::CorruptByte, 11, 2, 0x9A});
    EXPECT_EQ(SendQreCommand14(), 1);
    EXPECT_EQ(link().frames.rawCount, 0);
    ClearQreErrorList();
    EXPECT_EQ(SendQreCommand14(), 0);
    EXPECT_EQ(link().errors.count(), 0);
}

TEST_F(QreExchangeTest, GatesRefuseWhatTheFirmwareCannotDo) {
    unit();
    uint8_t* s = link().current.settings;
    uint8_t* p = link().current.parameter;
    const struct {
        uint16_t version;
        std::function<void()> set;
        bool command14;
        bool command13;
        bool block11;
        bool block12;
    } cases[] = {
        {200, [] {}, false, false, false, false},
        {302, [] {}, true, false, false, false},
        {303, [] {}, true, true, false, false},
        {309, [] {}, true, true, false, false},
        {310, [] {}, true, true, true, false},
        {312, [] {}, true, true, true, false},
        {313, [] {}, true, true, true, true},
        {325, [s] { s[4] = 1; }, false, false, true, true},
        {326, [s] { s[4] = 1; }, true, true, true, true},
        {316, [p] { p[16] = 7; }, false, false, true, true},
        {316, [p] { p[16] = 13; }, true, true, true, true},
        {316, [p] { p[16] = 6; }, true, true, true, true},
        {201, [p] { p[5] = 1; }, false, false, false, false},
        {202, [p] { p[5] = 1; }, true, false, false, false},
        {315, [s] { s[21] = 1, s[23] = 2; }, false, false, true, true},
        {304, [s] { s[20] = 1, s[21] = 1; }, true, true, false, false},
        {304, [s] { s[20] = 1, s[21] = 2; }, false, false, false, false},
    };
    for (const auto& c : cases) {
        ResetQreRecords();
        deviceSlot(1)->qre.setFirmwareVersion(c.version);
        c.set();
        const auto passes = [&](int32_t (*wrapper)()) {
            ClearQreErrorList();
            serial.line->clearEvents();
            wrapper();
            const bool sent = !serial.writes().empty();
            EXPECT_EQ(sent, GetLastQreError() != qre::kErrFirmwareNotCorrect) << c.version;
            return sent;
        };
        EXPECT_EQ(passes(&SendQreCommand14), c.command14) << c.version;
        EXPECT_EQ(passes(&SendQreCommand13), c.command13) << c.version;
        EXPECT_EQ(passes(&ReadQreBlock11), c.block11) << c.version;
        EXPECT_EQ(passes(&ReadQreBlock12), c.block12) << c.version;
    }
}

TEST_F(QreExchangeTest, RecordsTakeTheirDefaultsAndGoWithTheSlot) {
    ResetQreRecords();
    const QreSlotBlocks& b = *deviceSlot(1)->qre.blocks;
    EXPECT_EQ(deviceSlot(1)->qre.firmwareVersion(), 200);
    EXPECT_EQ(b.version[12], 14);
    EXPECT_EQ(b.version[19], 255);
    EXPECT_EQ(b.settings[12] | b.settings[13] << 8, 737);
    EXPECT_EQ(b.settings[16] | b.settings[17] << 8, 10000);
    EXPECT_EQ(Bytes(b.settings.begin() + 20, b.settings.begin() + 28),
              (Bytes{0, 1, 1, 0, 0, 1, 1, 21}));
    float c0 = 0;
    std::memcpy(&c0, b.parameter.data() + 44, 4);
    EXPECT_EQ(c0, 300.0f);
    EXPECT_EQ(b.parameter[42] | b.parameter[43] << 8, 256);
    EXPECT_EQ(b.spectrum[2][16] | b.spectrum[2][17] << 8, 256);
    EXPECT_EQ(b.wide[3][16] | b.wide[3][17] << 8, 256);
    EXPECT_EQ(Bytes(link().i2cTransfer.begin(), link().i2cTransfer.begin() + 8),
              (Bytes{0, 0, 1, 0, 0, 1, 0, 0}));
    EXPECT_EQ(link().configuration[0], 255);
    EXPECT_EQ(link().configuration[2], 255);

    // Each slot's blocks; freeing the selected one leaves the link none.
    addSlot(2, kTypeSerial);
    ASSERT_EQ(AllocQreSlotBuffers(2), 1);
    SelectQreSlotBuffers(2);
    EXPECT_EQ(link().current.settings, deviceSlot(2)->qre.blocks->settings.data());
    EXPECT_EQ(FreeQreSlotBuffers(2), 1);
    EXPECT_EQ(link().current.settings, nullptr);
    EXPECT_EQ(deviceSlot(2)->qre.firmwareVersion(), 0);
    EXPECT_EQ(SendQreCommand14(), 0);
    EXPECT_EQ(GetLastQreError(), qre::kErrFirmwareNotCorrect);
}

} // namespace
} // namespace tarvik::testing
