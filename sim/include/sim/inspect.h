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

typedef struct VeldonSimLightSource {
    uint32_t status;       /* the status byte the module answers now */
    uint32_t outputs;      /* lamp modules: the control outputs last written */
    uint32_t flashCounter; /* flash modules: flashes per trigger (1 until set) */
    uint32_t writes;       /* lamp modules: writes taken; flash modules: counter writes */
    int32_t temperature;   /* lamp modules' sensor, in half degrees: the temperature, */
    int32_t tOs;           /* the alarm temperature */
    int32_t tHyst;         /* and the hysteresis temperature */
} VeldonSimLightSource;

/* The light-source module at an 8-bit I2C address of the named board. 0, or
 * -1 when there is no such board or module. */
int veldonSimLightSource(const char* boardName, uint32_t address, VeldonSimLightSource* module);

typedef struct VeldonSimCooledBoard {
    uint32_t registers[16]; /* the register nibbles; 1 binning, 2 pixel count, 0 PAR_A10 */
    uint32_t coolingOn;
} VeldonSimCooledBoard;

/* The cooled detector board of the named board. 0, or -1 when there is no
 * such board or it carries none. */
int veldonSimCooledBoard(const char* boardName, VeldonSimCooledBoard* cooled);

/* Puts a virtual clock in place of the process's platform clock (on: 1), on
 * which every wait of the caller passes at once and moves the time on, or the
 * clock it replaced back (on: 0). The virtual time starts at the present time.
 * Only for stretches in which no other thread waits on the clock. */
void veldonSimVirtualClock(int on);
/* The platform clock's present time in ms, virtual or not. */
int64_t veldonSimClockMs(void);

#ifdef __cplusplus
}
#endif
#endif
