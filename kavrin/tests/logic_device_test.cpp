// Logic-device programming: the XSVF player against the simulated JTAG
// chain, and IOCTL_BOARD_PROGRAM_CPLD on a started board, with streams of the
// tests' own writer.

#include "acquisition_harness.h"
#include "board_status.h"
#include "logic_device.h"
#include "vendor_requests.h"
#include "xsvf_writer.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace kavrin;
using kavrintest::ChainPort;
using kavrintest::CpldPlan;
using kavrintest::cpldProgrammingStream;
using kavrintest::XsvfWriter;
using sim::TapState;

const std::vector<uint16_t> kDesign = {0x1234, 0xBEEF, 0x0000, 0xFFFF, 0x8001, 0x7FFE,
                                       0x5555, 0xAAAA, 0x0F0F, 0xF0F0, 0x1111, 0x2222,
                                       0xC3C3, 0x3C3C, 0x0001, 0x8000};

class XsvfPlayerTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    XSVF_PLAYER_STATE state;
};

TEST_F(XsvfPlayerTest, RefusesWhatTheStreamItselfGetsWrong) {
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        XsvfError error;
    };
    const Case cases[] = {
        {"only XCOMPLETE", {XCOMPLETE}, XSVF_ERROR_NONE},
        {"5,601-bit DR", XsvfWriter().sdrSize(5601).complete().bytes(), XSVF_ERROR_DATA_OVERFLOW},
        {"5,601-bit IR", XsvfWriter().raw({XSIR2, 0x15, 0xE1}).bytes(), XSVF_ERROR_DATA_OVERFLOW},
        {"XENDDR 2", XsvfWriter().endDr(2).complete().bytes(), XSVF_ERROR_ILLEGAL_STATE},
        {"XSTATE 16", XsvfWriter().state(16).complete().bytes(), XSVF_ERROR_ILLEGAL_STATE},
        {"Exit2-DR from reset", XsvfWriter().state(7).complete().bytes(), XSVF_ERROR_ILLEGAL_STATE},
        {"command 5", {5, XCOMPLETE}, XSVF_ERROR_ILLEGAL_COMMAND},
        {"command 24", {24, XCOMPLETE}, XSVF_ERROR_ILLEGAL_COMMAND},
        {"unterminated comment", {XCOMMENT, 'a', 'b'}, XSVF_ERROR_STREAM_ENDS},
        {"truncated number", {XRUNTEST, 0, 0}, XSVF_ERROR_STREAM_ENDS},
        {"no XCOMPLETE", XsvfWriter().runTest(10).bytes(), XSVF_ERROR_STREAM_ENDS},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckXsvf(state, c.stream), c.error) << c.name;
        ChainPort port;
        EXPECT_EQ(PlayXsvf(state, port, c.stream), c.error) << c.name;
        EXPECT_EQ(port.finished, c.error == XSVF_ERROR_NONE) << c.name;
        EXPECT_EQ(port.chain.trace().back().state, TapState::TestLogicReset) << c.name;
    }
}

TEST_F(XsvfPlayerTest, ProgramsErasesAndVerifiesTheDevice) {
    ChainPort port;
    const std::vector<uint8_t> stream = cpldProgrammingStream({kDesign});
    EXPECT_EQ(CheckXsvf(state, stream), XSVF_ERROR_NONE);
    EXPECT_EQ(PlayXsvf(state, port, stream), XSVF_ERROR_NONE);
    EXPECT_EQ(port.chain.memory(), kDesign);
    EXPECT_EQ(port.finished, true);
    // Without the erase the cells keep the earlier design's zeros.
    ChainPort unerased;
    CpldPlan plan{kDesign};
    plan.erase = false;
    EXPECT_EQ(PlayXsvf(state, unerased, cpldProgrammingStream(plan)), XSVF_ERROR_TDO_MISMATCH);
    EXPECT_EQ(unerased.finished, false);
}

TEST_F(XsvfPlayerTest, ATooShortRunTestFailsUnlessRetriesMakeUpTheTime) {
    CpldPlan plan{kDesign};
    plan.programUs = 500; // the device needs 1 ms
    ChainPort once;
    EXPECT_EQ(PlayXsvf(state, once, cpldProgrammingStream(plan)), XSVF_ERROR_TDO_MISMATCH);
    plan.repeat = 2;
    ChainPort retried;
    EXPECT_EQ(PlayXsvf(state, retried, cpldProgrammingStream(plan)), XSVF_ERROR_NONE);
    EXPECT_EQ(retried.chain.memory(), kDesign);
}

TEST_F(XsvfPlayerTest, EachRetryPassesThroughPauseAndWaitsItsRunTest) {
    ChainPort port;
    const auto stream = XsvfWriter()
                            .sir(8, sim::kJtagIdcode)
                            .repeat(3)
                            .runTest(1000)
                            .sdrSize(32)
                            .sdrTdo(0, 0x12345679)
                            .complete()
                            .bytes();
    EXPECT_EQ(PlayXsvf(state, port, stream), XSVF_ERROR_MAX_RETRIES);
    const auto& trace = port.chain.trace();
    int captures = 0, pauses = 0, waits = 0;
    for (std::size_t i = 0; i + 1 < trace.size(); ++i) {
        captures += trace[i].state == TapState::CaptureDr;
        if (trace[i].state == TapState::PauseDr) {
            ++pauses;
            EXPECT_EQ(trace[i + 1].state, TapState::Exit2Dr);
            EXPECT_EQ(trace[i + 2].state, TapState::ShiftDr);
        }
        waits += trace[i].state == TapState::RunTestIdle &&
                 trace[i + 1].at - trace[i].at == std::chrono::microseconds(1000);
    }
    waits += trace.back().state == TapState::RunTestIdle &&
             clock.now() - trace.back().at == std::chrono::microseconds(1000);
    EXPECT_EQ(captures, 4);
    EXPECT_EQ(pauses, 3);
    EXPECT_EQ(waits, 4);
}

TEST_F(XsvfPlayerTest, SplitShiftsAndWaitsReadTheIdCodeInPieces) {
    const uint32_t id = sim::JtagChainConfig{}.idcode;
    XsvfWriter w;
    w.sir(8, sim::kJtagIdcode).sdrSize(8).sdrTdoPart(0, 0, id & 0xFF);
    w.sdrTdoPart(1, 0, id >> 8 & 0xFF).sdrTdoPart(1, 0, id >> 16 & 0xFF);
    w.sdrTdoPart(2, 0, id >> 24).wait(1, 6, 250).state(1).complete();
    ChainPort port;
    EXPECT_EQ(PlayXsvf(state, port, w.bytes()), XSVF_ERROR_NONE);
    // XWAIT: 250 us in Run-Test/Idle, then to Pause-DR; XSTATE back.
    const auto& trace = port.chain.trace();
    const std::size_t n = trace.size();
    ASSERT_GE(n, 8u);
    EXPECT_EQ(trace[n - 8].state, TapState::RunTestIdle);
    EXPECT_EQ(trace[n - 7].at - trace[n - 8].at, std::chrono::microseconds(250));
    EXPECT_EQ(trace[n - 4].state, TapState::PauseDr);
    EXPECT_EQ(trace.back().state, TapState::RunTestIdle);
    XsvfWriter wrong;
    wrong.sir(8, sim::kJtagIdcode).sdrSize(16).sdrTdoPart(0, 0, id & 0xFFFF);
    wrong.sdrTdoPart(2, 0, ~id >> 16 & 0xFFFF).complete();
    EXPECT_EQ(PlayXsvf(state, port, wrong.bytes()), XSVF_ERROR_TDO_MISMATCH);
}

// IOCTL_BOARD_PROGRAM_CPLD's handler on a started board.

// A comment up to the last byte of 5,000 words, then XCOMPLETE: in the
// request's bytes, but past its DataLength.
std::vector<uint8_t> pastDataLength() {
    std::vector<uint8_t> stream(2 * kCpldMinDataWords + 1, 'a');
    stream.front() = XCOMMENT;
    stream[stream.size() - 2] = 0;
    stream.back() = XCOMPLETE;
    return stream;
}

class ProgramCpldTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    kavrintest::StartedBoard harness;

    uint16_t program(const std::vector<uint8_t>& stream) {
        kavrintest::BlockBuffer block(kCpldMinDataWords);
        std::copy(stream.begin(), stream.end(),
                  block.bytes.begin() + KORAL_REQUEST_BLOCK_DATA_OFFSET);
        RequestBlock view = block.view();
        EXPECT_EQ(HandleProgramCpld(harness.device, view), platform::kStatusSuccess);
        return block.get<rb::Status>();
    }
    std::size_t jtagRequests() const {
        return kavrintest::requestsOf(*harness.board, VR_JTAG).size();
    }
};

TEST_F(ProgramCpldTest, TooLittleDataIsRefusedUntouched) {
    struct Case {
        uint32_t words;
        std::size_t bytes;
    };
    for (const Case c : {Case{4999, 38600}, Case{5000, 38599}}) {
        std::vector<uint8_t> bytes(c.bytes, 0);
        RequestBlock block(bytes);
        block.set<rb::DataLength>(c.words);
        EXPECT_EQ(HandleProgramCpld(harness.device, block), platform::kStatusSuccess);
        EXPECT_EQ(block.get<rb::Status>(), kBoardStatusCpldStreamTooSmall) << c.words;
    }
    EXPECT_EQ(harness.board->runningImage(), 2);
    // The stream is what the request carries, at most DataLength words.
    std::vector<uint8_t> bytes(kCpldMinInputBytes, 0);
    RequestBlock block(bytes);
    block.set<rb::DataLength>(100000);
    EXPECT_EQ(block.inputDataArea().size(), kCpldMinInputBytes - KORAL_REQUEST_BLOCK_DATA_OFFSET);
}

TEST_F(ProgramCpldTest, FailuresEndTheProgrammingWithStatus172) {
    const std::vector<uint8_t> good = cpldProgrammingStream({kDesign});
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        sim::Fx2JtagFault fault;
        bool played;
    };
    const Case cases[] = {
        {"oversized shift", XsvfWriter().sdrSize(5601).complete().bytes(), {}, false},
        {"unknown command", {6, XCOMPLETE}, {}, false},
        {"runs past DataLength", pastDataLength(), {}, false},
        {"TDO stuck low", good, sim::Fx2JtagFault::TdoStuckLow, true},
        {"TDO stuck high", good, sim::Fx2JtagFault::TdoStuckHigh, true},
        {"TDO flipped", good, sim::Fx2JtagFault::TdoFlipped, true},
        {"request stalled", good, sim::Fx2JtagFault::Stall, true},
    };
    for (const Case& c : cases) {
        harness.board->injectJtagFault(c.fault, 100);
        harness.board->clearRequests();
        EXPECT_EQ(program(c.stream), kBoardStatusCpldAborted) << c.name;
        EXPECT_EQ(jtagRequests() > 0, c.played) << c.name;
        EXPECT_NE(harness.board->withJtagChain([](auto& chain) { return chain.memory(); }), kDesign)
            << c.name;
    }
}

TEST_F(ProgramCpldTest, AcquisitionStopsAndTheNextInitLoadsTheFirmwareAgain) {
    auto init = kavrintest::initRequest(7, 0, 64, 1);
    RequestBlock initView = init.view();
    HandleInit(harness.device, initView);
    ASSERT_TRUE(harness.device.acquisition.running.load());
    EXPECT_EQ(program(cpldProgrammingStream({kDesign})), 0);
    EXPECT_FALSE(harness.device.acquisition.running.load());
    EXPECT_EQ(harness.board->runningImage(), 1);
    EXPECT_EQ(harness.board->programmingEnd(), true);
    harness.board->clearRequests();
    HandleInit(harness.device, initView);
    EXPECT_EQ(init.get<rb::Status>(), 0);
    EXPECT_EQ(harness.board->runningImage(), 2);
    EXPECT_EQ(kavrintest::requestsOf(*harness.board, VR_INIT).size(), 1u);
    EXPECT_TRUE(harness.device.acquisition.running.load());
}

TEST_F(ProgramCpldTest, ARemovalDuringPlayEndsIt) {
    harness.board->injectJtagFault(sim::Fx2JtagFault::Unplug, 500);
    EXPECT_EQ(program(cpldProgrammingStream({kDesign})), kBoardStatusCpldAborted);
    EXPECT_FALSE(harness.port->isPlugged());
    EXPECT_EQ(jtagRequests(), 501u); // nothing after the board left
}

} // namespace
