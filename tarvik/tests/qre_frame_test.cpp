// The frames of the serial link byte for byte, the receiver's checks and the
// storing of received pieces.

#include "serial_sim_fixture.h"
#include "tarvik_test.h"

#include <gmock/gmock.h>

#include <numeric>

using namespace std::chrono_literals;

namespace tarvik::testing {
namespace {

using Bytes = std::vector<uint8_t>;

using QreFrameTest = SerialLinkTest;

TEST_F(QreFrameTest, FirstFrameOfAnOpenOfAddress1) {
    serial.electronics.addUnit(1);
    ResetQreProtocolState(); // destination 8, as a first open finds it
    ResetQreProtocol();
    SetQreDestination(1);
    serial.line->clearEvents();
    const platform::TimePoint start = serial.clock.now();
    EXPECT_EQ(SendQreCommand14(), 0);
    const auto events = serial.line->events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].bytes, (Bytes{0x11, 0x00, 0xF0, 0x0E, 0x00, 0xEF, 0x01, 0x0F}));
    // Switching to another unit's address costs 50 ms first.
    EXPECT_EQ(events[0].time - start, 50ms);
    EXPECT_EQ(link().protocol.sequence, 1); // raised by the acknowledgement
}

TEST_F(QreFrameTest, BlockWritesGoOutInPiecesOf40) {
    serial.electronics.addUnit(1);
    std::iota(serial.electronics.unit(1)->block(6).begin(),
              serial.electronics.unit(1)->block(6).end(), uint8_t{0});
    uint8_t* parameter = link().current.parameter;
    std::iota(parameter, parameter + 64, uint8_t{100});
    std::fill_n(parameter + 4, 2, 0); // what firmware 3.16 takes
    std::fill_n(parameter + 16, 2, 0);
    EXPECT_EQ(WriteQreBlock6(), 0);
    EXPECT_EQ(WriteQreBlock9(), 0);
    EXPECT_EQ(WriteQreBlock11(), 0);
    const auto writes = serial.writes();
    ASSERT_EQ(writes.size(), 4u);
    // 64 bytes: the first piece announces two frames, the second holds 24.
    EXPECT_EQ(Bytes(writes[0].begin(), writes[0].begin() + 6),
              (Bytes{0x11, 0x00, 0x6A, 0x01, 0xA7, 100}));
    EXPECT_EQ(Bytes(writes[1].begin(), writes[1].begin() + 6),
              (Bytes{0x11, 0x00, 0x6A, 0x01, 0x17, 140}));
    EXPECT_TRUE(std::all_of(writes[1].begin() + 29, writes[1].begin() + 45,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(writes[2][3], 0x00);
    EXPECT_EQ(writes[2][4], 0x9F); // 32 bytes
    EXPECT_EQ(writes[3][4], 0x97); // 24 bytes
    for (const Bytes& w : writes) {
        EXPECT_EQ(qre::verifyChecks(w.data(), w.size()), qre::ChecksResult::Good);
    }
    const auto unitBlock = serial.electronics.unit(1)->block(6);
    EXPECT_TRUE(std::equal(unitBlock.begin(), unitBlock.end(), parameter));
}

TEST_F(QreFrameTest, BlockRequestAndBlockWithoutStorage) {
    serial.electronics.addUnit(1).block(10)[2] = 0x3C; // version 316 in the unit too
    serial.electronics.unit(1)->block(10)[3] = 0x01;
    EXPECT_EQ(ReadQreBlock10(), 0);
    EXPECT_EQ(serial.writes()[0][3], 0xAF);
    serial.line->clearEvents();
    EXPECT_EQ(WriteQreBlockN(13), 0);
    EXPECT_EQ(GetLastQreError(), qre::kErrBlockToSend);
    EXPECT_TRUE(serial.writes().empty());
}

// One frame arriving whole from the line, polled until it is through.
struct Received {
    uint16_t flags;
    std::vector<int16_t> errors;
};

class QreReceiverTest : public QreFrameTest {
protected:
    Received receive(const Bytes& frame) {
        ClearQreErrorList();
        link().protocol.replyFlags = 0;
        serial.line->send(frame);
        for (int i = 0; i < 3; ++i) {
            ReceiveQreFrame();
        }
        Received r{link().protocol.replyFlags, {}};
        for (int16_t i = 1; i <= link().errors.count(); ++i) {
            r.errors.push_back(link().errors.entry(static_cast<size_t>(i)));
        }
        return r;
    }
    static Bytes reply(uint8_t destination, uint8_t source, uint8_t code) {
        const qre::CommandFrame f = qre::commandFrame(destination, source, code, 0, 7);
        return Bytes(f.begin(), f.end());
    }
};

TEST_F(QreReceiverTest, ChecksAndFlagsOfReceivedFrames) {
    const uint8_t piece[40] = {1, 2, 3};
    const qre::DataFrame data = qre::dataFrame(0, 1, 6, 1, true, piece);
    Bytes foreignNibbles = reply(0, 1, 2);
    foreignNibbles[0] = 0x10;
    qre::appendChecks(foreignNibbles.data(), 5);
    Bytes sourceNibbles = reply(0, 1, 2);
    sourceNibbles[1] = 0x12;
    qre::appendChecks(sourceNibbles.data(), 5);
    Bytes badXor = reply(0, 1, 2);
    badXor[5] ^= 1;
    Bytes badSum = reply(0, 1, 2);
    badSum[7] ^= 1;
    // A length nibble of 15 announces 68 bytes, more than any frame.
    Bytes tooLong(68, 0);
    tooLong[0] = 0x00;
    tooLong[1] = 0x11;
    tooLong[2] = 0x6F;
    const struct {
        const char* what;
        Bytes frame;
        Received expected;
    } cases[] = {
        {"acknowledge", reply(0, 1, 2), {0x0002, {}}},
        {"continue", reply(0, 1, 3), {0x0004, {}}},
        {"reply 5", reply(0, 1, 5), {0x0010, {}}},
        {"reply 14", reply(0, 1, 14), {0x8020, {}}},
        {"reply 9 sets nothing", reply(0, 1, 9), {0, {}}},
        {"data frame", Bytes(data.begin(), data.end()), {0x4006, {}}},
        {"for another station", reply(5, 1, 2), {0, {}}},
        {"from another unit", reply(0, 2, 2), {0, {}}},
        {"destination nibbles", foreignNibbles, {0, {qre::kErrDestinationNibbles}}},
        {"source nibbles", sourceNibbles, {0, {qre::kErrSourceNibbles}}},
        {"XOR", badXor, {0, {qre::kErrXor}}},
        {"sum", badSum, {0, {qre::kErrSum}}},
        {"length nibble 15", tooLong, {0, {qre::kErrDataLength}}},
    };
    for (const auto& c : cases) {
        const Received r = receive(c.frame);
        EXPECT_EQ(r.flags, c.expected.flags) << c.what;
        EXPECT_EQ(r.errors, c.expected.errors) << c.what;
        EXPECT_EQ(link().frames.rawCount, 0) << c.what;
        EXPECT_EQ(serial.line->pendingBytes(), 0u) << c.what; // drained
    }
}

TEST_F(QreReceiverTest, FrameThatStopsArrivingIsGivenUpAfter200Polls) {
    const Bytes ack = reply(0, 1, 2);
    serial.line->send(Bytes(ack.begin(), ack.begin() + 6));
    // The header, the sixth byte, then 200 polls that bring nothing.
    for (int i = 0; i < 202 && link().errors.count() == 0; ++i) {
        ReceiveQreFrame();
    }
    EXPECT_EQ(GetLastQreError(), qre::kErrFrameIncomplete);
    EXPECT_EQ(link().frames.rawCount, 0);
    EXPECT_EQ(link().protocol.frameCountdown, -1);
}

// A damaged frame whose bytes still arrive, one by one, while the receiver
// finds the damage: the drain reads on until the line is quiet, so none of
// the frame is left to be read as the next header.
TEST_F(QreReceiverTest, DrainTakesTheBytesThatArriveWhileItDrains) {
    const uint8_t piece[40] = {1, 2, 3};
    const qre::DataFrame data = qre::dataFrame(0, 1, 6, 1, true, piece);
    Bytes badHeader(data.begin(), data.end());
    badHeader[0] = 0x10;
    // A reply's kind: the checks fail on the first 8 bytes of the 48.
    Bytes badChecks(data.begin(), data.end());
    badChecks[2] = 0xF0;
    const struct {
        const char* what;
        Bytes frame;
        int16_t error;
    } cases[] = {
        {"header", badHeader, qre::kErrDestinationNibbles},
        {"checks", badChecks, qre::kErrXor},
    };
    for (const auto& c : cases) {
        ClearQreErrorList();
        for (const uint8_t byte : c.frame) {
            serial.line->send(Bytes{byte});
        }
        for (int i = 0; i < 3 && link().errors.count() == 0; ++i) {
            ReceiveQreFrame();
        }
        ASSERT_EQ(link().errors.count(), 1) << c.what;
        EXPECT_EQ(link().errors.entry(1), c.error) << c.what;
        EXPECT_EQ(serial.line->pendingBytes(), 0u) << c.what;
    }
}

TEST_F(QreReceiverTest, DrainEndsOnALineThatNeverFallsQuiet) {
    serial.line->setBabbling(true);
    const platform::TimePoint start = serial.clock.now();
    DrainQreInput();
    const auto took = serial.clock.now() - start;
    EXPECT_GT(took, std::chrono::milliseconds(kQreDrainLimitMs) - 1ms);
    EXPECT_LT(took, std::chrono::milliseconds(kQreDrainLimitMs) + 1ms);
}

// Received pieces of block 6 (64 bytes, two frames) as StoreQreDataFrame
// finds them.
class QreStoreTest : public QreFrameTest {
protected:
    void SetUp() override {
        QreFrameTest::SetUp();
        link().transfer.blockType = 6;
        link().transfer.frameCounter = 0;
    }
    int32_t store(uint8_t type, uint8_t indexByte, bool first, uint8_t used, uint8_t fill) {
        const Bytes piece(used, fill);
        const qre::DataFrame f = qre::dataFrame(0, 1, type, indexByte, first, piece);
        std::copy(f.begin(), f.end(), link().frames.received.begin());
        return StoreQreDataFrame();
    }
    // As the state machine does after a stored piece.
    void next() { ++link().transfer.frameCounter; }
    const uint8_t* block() { return link().current.parameter; }
};

TEST_F(QreStoreTest, PiecesLandInTheirPlaceAndARepeatOverwritesItsOwn) {
    ASSERT_EQ(store(6, 1, true, 40, 0xAA), 0);
    next();
    ASSERT_EQ(store(6, 1, false, 24, 0xBB), 0);
    next();
    EXPECT_EQ(block()[39], 0xAA);
    EXPECT_EQ(block()[63], 0xBB);
    // The second piece again, changed.
    ASSERT_EQ(store(6, 1, false, 24, 0xCC), 0);
    EXPECT_TRUE(link().transfer.repeatedFrame);
    EXPECT_EQ(link().transfer.frameCounter, 1);
    EXPECT_EQ(block()[40], 0xCC);
}

TEST_F(QreStoreTest, WrongPiecesAreRefused) {
    EXPECT_EQ(store(9, 1, true, 40, 1), qre::kErrDataType);
    EXPECT_EQ(store(6, 1, false, 40, 1), qre::kErrFirstFlag);
    // More frames than the block has.
    EXPECT_EQ(store(6, 2, true, 40, 1), qre::kErrFrameOrder);
    ASSERT_EQ(store(6, 1, true, 40, 1), 0);
    next();
    EXPECT_EQ(store(6, 1, true, 40, 1), 0); // the first piece again
    next();
    EXPECT_EQ(store(6, 3, false, 24, 1), qre::kErrFrameOrder);
    // A piece that would run past the block's 64 bytes.
    EXPECT_EQ(store(6, 1, false, 40, 1), qre::kErrPayloadUsed);
    link().transfer.blockType = 13;
    link().transfer.frameCounter = 0;
    EXPECT_EQ(store(13, 0, true, 40, 1), qre::kErrNoStorage);
    link().transfer.blockType = 6;
    EXPECT_EQ(store(6, 1, true, 40, 1), 0);
    link().frames.received[2] = 0x69; // 36-byte payload
    EXPECT_EQ(StoreQreDataFrame(), qre::kErrDataLength);
}

} // namespace
} // namespace tarvik::testing
