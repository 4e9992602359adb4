// The digital lines of a simulated board.

#include "sim/digital_lines.h"

namespace sim {

void DigitalLineState::applyOutputWord(uint32_t word) {
    constexpr uint32_t kLines = 0x3F;
    const uint32_t selected = word & kLines;
    const uint32_t levels = (word >> 16) & kLines;
    outputs = static_cast<uint8_t>((outputs & ~selected) | (levels & selected));
    ++outputCommands;
}

void DigitalLineState::applyLatchWord(uint32_t word) {
    latchMode = static_cast<uint8_t>((word >> 8) & 0x7);
    latchInputs = static_cast<uint8_t>(word & 0x7);
    ++latchCommands;
}

} // namespace sim
