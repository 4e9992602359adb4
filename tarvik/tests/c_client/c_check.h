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

/* The exit code of a client: 0 when every check held. */
static int checkResult(void) {
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}

#endif
