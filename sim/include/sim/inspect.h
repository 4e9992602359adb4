/* What a simulated board of the set-up file was last told, for test clients
 * written in C (the simulation's C++ interface serves the others). */
#ifndef VELDON_SIM_INSPECT_H
#define VELDON_SIM_INSPECT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VeldonSimDigitalLines {
    uint32_t outputs;        /* bit n: output line n is high (0..2 digital outputs 1..3,
                                3..5 FEESEL0, FEESEL1, ZEILRES) */
    uint32_t latchMode;      /* mode of the last latch command */
    uint32_t outputCommands; /* output commands the board took */
} VeldonSimDigitalLines;

/* The board named by its section ("board <name>"). 0, or -1 when the
 * process has no such board. */
int veldonSimDigitalLines(const char* boardName, VeldonSimDigitalLines* lines);

#ifdef __cplusplus
}
#endif
#endif
