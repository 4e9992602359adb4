// The simulated JTAG chain against IEEE 1149.1: the TAP diagram, the
// instruction register's capture value, BYPASS and IDCODE; and the loader's
// JTAG request refused while the operating firmware runs.

#include "sim/fx2_board.h"
#include "sim/jtag_chain.h"

#include "platform/usb.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using sim::TapState;

// Clocks TMS levels in and returns the states they lead through.
std::vector<TapState> walk(sim::JtagChain& chain, const std::vector<int>& tms) {
    std::vector<TapState> states;
    for (int level : tms) {
        EXPECT_TRUE(sim::serveJtagRequest(chain, 3, static_cast<uint16_t>(level), false).ok);
        states.push_back(chain.state());
    }
    return states;
}

// Shifts bits (least significant first) through the register of a Shift
// state and returns what TDO showed before each rising edge.
uint64_t shift(sim::JtagChain& chain, uint64_t tdi, int bits) {
    uint64_t tdo = 0;
    for (int i = 0; i < bits; ++i) {
        chain.setTdi((tdi >> i & 1) != 0);
        chain.setTck(false);
        tdo |= static_cast<uint64_t>(chain.tdo()) << i;
        chain.setTck(true);
    }
    return tdo;
}

TEST(JtagChain, FollowsTheTapDiagram) {
    using S = TapState;
    sim::JtagChain chain;
    const std::vector<TapState> expected = {
        S::TestLogicReset, S::RunTestIdle, S::SelectDr, S::CaptureDr, S::ShiftDr,       S::Exit1Dr,
        S::PauseDr,        S::Exit2Dr,     S::ShiftDr,  S::Exit1Dr,   S::UpdateDr,      S::SelectDr,
        S::SelectIr,       S::CaptureIr,   S::Exit1Ir,  S::PauseIr,   S::PauseIr,       S::Exit2Ir,
        S::UpdateIr,       S::RunTestIdle, S::SelectDr, S::SelectIr,  S::TestLogicReset};
    EXPECT_EQ(walk(chain, {1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 1, 1, 1, 0, 1, 0, 0, 1, 1, 0, 1, 1, 1}),
              expected);
}

TEST(JtagChain, RegistersCaptureAndShiftAsTheStandardSays) {
    sim::JtagChain chain;
    walk(chain, {0, 1, 0, 0}); // Shift-DR under IDCODE, selected by the reset
    EXPECT_EQ(shift(chain, 0, 32), sim::JtagChainConfig{}.idcode);
    walk(chain, {1, 1, 1, 1, 0, 0}); // Shift-IR
    EXPECT_EQ(shift(chain, sim::kJtagBypass, 8), sim::kJtagIrCapture);
    walk(chain, {1, 1, 1, 0, 0});                 // Update-IR, then Shift-DR under BYPASS
    EXPECT_EQ(shift(chain, 0b1011, 5), 0b10110u); // one bit late, after the captured 0
}

TEST(JtagChain, OnlyTheLoaderServesTheJtagRequest) {
    sim::Fx2BoardConfig config;
    config.running = sim::fx2ShippedImage(2);
    const auto board = std::make_shared<sim::Fx2Board>(config);
    const auto port = sim::Fx2Board::plug(board);
    uint8_t tdo = 0;
    const auto setup = platform::usb::ControlSetup::vendorIn(sim::kFx2RequestJtag, 4, 0);
    EXPECT_EQ(port->hostDevice()->controlIn(setup, {&tdo, 1}, 1000).status, EPIPE);
    port->unplug();
}

} // namespace
