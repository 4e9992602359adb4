/* Checks of the C clients: count a mismatch, say where, go on. */
#ifndef TARVIK_C_CHECK_H
#define TARVIK_C_CHECK_H

#include "tarvik.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);          \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

/* The last-error record as KORAL_GetErrorCode copies it out. */
static void checkRecord(int line, int32_t level, int32_t code, int32_t info, int32_t id,
                        const char* name) {
    LastErrorRecord record;
    memset(&record, 0x5A, sizeof record);
    if (KORAL_GetErrorCode(&record) != 0 || record.level != level || record.code != code ||
        record.info != info || record.interfaceId != id || strcmp(record.functionName, name) != 0) {
        fprintf(stderr,
                "%s:%d: record is %d/%d/%d id %d \"%.50s\", expected %d/%d/%d id %d \"%s\"\n",
                __FILE__, line, (int)record.level, (int)record.code, (int)record.info,
                (int)record.interfaceId, record.functionName, (int)level, (int)code, (int)info,
                (int)id, name);
        ++failures;
    }
}
#define CHECK_RECORD(level, code, info, id, name) checkRecord(__LINE__, level, code, info, id, name)

/* Room for the longest spectrum of any sensor, and what marks a value the
 * library did not write. */
#define SPECTRUM_ROOM 8352
#define SENTINEL -12345.0

/* The stored spectrum of a raw-data handle into spectrum (SPECTRUM_ROOM
 * values); returns the number of pixels the library wrote. */
static inline int readStoredSpectrum(uint32_t* handle, double* spectrum) {
    int stored = 0;
    int i;
    for (i = 0; i < SPECTRUM_ROOM; ++i) {
        spectrum[i] = SENTINEL;
    }
    CHECK(KORAL_GetStoredRawData(handle, spectrum) == 0);
    while (stored < SPECTRUM_ROOM && spectrum[stored] != SENTINEL) {
        ++stored;
    }
    return stored;
}

/* Interface 1's integration-time limits are known; askMs comes back as
 * expectMs, a time above the maximum comes back as the maximum with a
 * limited-value record, and an average number of 150 as 100. */
static inline void checkTimeAndAverageLimits(double askMs, double expectMs) {
    double minimum = 0;
    double maximum = 0;
    double ms = askMs;
    int32_t average = 150;
    CHECK(KORAL_ParaGetIntegrationTimeLimits(&minimum, &maximum, 1) == 0);
    CHECK(minimum > 0 && minimum < 1.0 && maximum > 1000.0);
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
    CHECK(ms - expectMs < 1e-9 && expectMs - ms < 1e-9);
    ms = maximum + 1.0;
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_LIMITED_VALUE, 505, 0, 1, "KORAL_ParaSetIntegrationTime");
    CHECK(ms == maximum);
    CHECK(KORAL_ParaSetAverageNumber(&average, 1) == -1);
    CHECK(average == 100);
}

/* The exit code of a client: 0 when every check held. */
static int checkResult(void) {
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}

#endif
