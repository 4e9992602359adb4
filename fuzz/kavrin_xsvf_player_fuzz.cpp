// Logic-device programming streams: whatever the bytes, the player reads
// only the stream, drives the simulated JTAG chain only through requests the
// loader serves, waits on the virtual clock, and ends with one end of
// programming that tells its result. What the check refuses, the play ends
// with too, unless a compare failed before.
//
// Input: the stream.
#include "xsvf_player.h"

#include "fuzz_check.h"
#include "platform/clock.h"
#include "sim/jtag_chain.h"

#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

using fuzz::check;
using namespace kavrin;

namespace {

// A board that goes away after a while, so that every input ends soon.
constexpr std::size_t kBudget = 1u << 20;

struct ChainPort final : JtagPort {
    int request(uint16_t subCommand, uint16_t index, uint8_t* tdo) override {
        const sim::JtagAnswer answer =
            sim::serveJtagRequest(chain, subCommand, index, tdo != nullptr);
        check(answer.ok);
        if (tdo != nullptr) {
            *tdo = *answer.tdo;
        }
        if (answer.finished) {
            check(!finished);
            finished = answer.finished;
        }
        return 0;
    }
    bool removed() const override { return ++polls > kBudget; }

    sim::JtagChain chain;
    std::optional<bool> finished;
    mutable std::size_t polls = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::VirtualClock clock;
    platform::ScopedClock useClock(clock);
    // Past the stream lie bytes the player must never take for its own.
    std::vector<uint8_t> bytes(data, data + size);
    bytes.resize(size + 16, XCOMPLETE);
    const std::span<const uint8_t> stream(bytes.data(), size);

    const auto state = std::make_unique<XSVF_PLAYER_STATE>();
    const XsvfError checked = CheckXsvf(*state, stream);
    check(state->position <= size);
    check(checked <= XSVF_ERROR_STREAM_ENDS && checked != XSVF_ERROR_STOPPED &&
          checked != XSVF_ERROR_TDO_MISMATCH && checked != XSVF_ERROR_MAX_RETRIES);

    ChainPort port;
    const XsvfError played = PlayXsvf(*state, port, stream);
    check(state->position <= size);
    const bool failedCompare =
        played == XSVF_ERROR_TDO_MISMATCH || played == XSVF_ERROR_MAX_RETRIES;
    check(played == checked || failedCompare || played == XSVF_ERROR_STOPPED);
    check(played == XSVF_ERROR_STOPPED || port.finished == (played == XSVF_ERROR_NONE));
    return 0;
}
