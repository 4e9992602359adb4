#pragma once
// The digital lines of a simulated board, as the board keeps them: the
// levels of its inputs (fixed by the set-up's digital_inputs), the levels its
// output lines were last set to and the inputs' latch mode.

#include <cstdint>

namespace sim {

struct DigitalLineState {
    uint8_t inputs = 0;      // bit n-1: input n is high
    uint8_t outputs = 0;     // bit n: output line n is high (0..2 digital outputs 1..3,
                             // 3 FEESEL0, 4 FEESEL1, 5 ZEILRES)
    uint8_t latchMode = 0;   // the mode of the last latch command
    uint8_t latchInputs = 0; // bit n-1: it applies to input n
    uint32_t outputCommands = 0;
    uint32_t latchCommands = 0;

    // The library's DigitalOutputWord: every line whose select bit (0..5) is
    // set takes the level of its bit 16 + n.
    void applyOutputWord(uint32_t word);
    // The DigitalInputWord of a latch command: the mode in bits 8..10, the
    // inputs in bits 0..2.
    void applyLatchWord(uint32_t word);

    bool operator==(const DigitalLineState&) const = default;
};

} // namespace sim
