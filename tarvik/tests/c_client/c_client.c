/* A client of the acquisition library written in C: only the public header,
 * only libtarvik.so. Runs the exports of library set-up and error handling
 * through their edge cases and exits non-zero on the first mismatch count.
 * Runs without a machine-wide parameter key (VELDON_MACHINE_CONFIG points to a
 * directory that does not exist). */
#include "c_check.h"
#include "tarvik.h"

#include <stdio.h>
#include <string.h>

static void checkText(int line, int32_t code, int32_t info, const char* expected) {
    char text[256];
    memset(text, 'x', sizeof text);
    if (KORAL_GetErrorString(code, info, text, (int32_t)sizeof text) != 0 ||
        strcmp(text, expected) != 0) {
        fprintf(stderr, "%s:%d: text of (%d, %d) is \"%.255s\", expected \"%s\"\n", __FILE__, line,
                (int)code, (int)info, text, (int)code == 0 ? "" : expected);
        ++failures;
    }
}
#define CHECK_TEXT(code, info, expected) checkText(__LINE__, code, info, expected)

static void setUp(void) {
    /* The load found no machine-wide parameters and kept the defaults. */
    CHECK_RECORD(KORAL_LEVEL_DEFAULT_VALUE, 305, 0, 0, "");
    CHECK(KORAL_InitLibrary(1, 2, 3) == 0);
    CHECK(KORAL_UnInitLibrary(4) == 0);
    CHECK(KORAL_GetActualInterfaceID() == 1);
}

static void errorBoxSwitch(void) {
    CHECK(KORAL_ErrorMessages(-2) == 1); /* on at load */
    CHECK(KORAL_ErrorMessages(0) == 0);
    CHECK(KORAL_ErrorMessages(-2) == 0);
    CHECK(KORAL_ErrorMessages(5) == -1); /* switches it on all the same */
    CHECK(KORAL_ErrorMessages(-2) == 1);
    CHECK(KORAL_ErrorMessages(0) == 0);
    CHECK(KORAL_ErrorMessages(-1) == 0);
    CHECK(KORAL_ErrorMessages(-2) == 1);
    CHECK(KORAL_ErrorMessages(1) == 0);
    /* The remaining failures need no box. */
    CHECK(KORAL_ErrorMessages(0) == 0);
}

static void texts(void) {
    char io[128];
    CHECK_TEXT(505, 0, "INVALID PARAMETER VALUE");
    CHECK_TEXT(505, 818, "INVALID INTERFACE ID");
    CHECK_TEXT(156, 1013, "UNKNOWN ERROR INFO: \t1013\n");
    CHECK_TEXT(999, 0, "UNKNOWN ERROR CODE: \t999\n");
    CHECK_TEXT(0, 0, "");
    CHECK_TEXT(112, 0, "DACQERROR INTERRUPTS ALLWAYS SET");
    CHECK_TEXT(810, 0, "INVALID MOT IN SIM MODUS");
    CHECK_TEXT(51, 0, "WARNING: SPECTRAL DATA LOST");
    CHECK_TEXT(303, -71, "ERR TIMEOUTDATAREADY");
    CHECK_TEXT(505, 999, "UNKNOWN ERROR CODE: \t999\n");
    CHECK_TEXT(303, 1000 + 100000, "UNKNOWN ERROR INFO: \t100000\n");
    /* The platform's own text for error 5. */
    snprintf(io, sizeof io, "%s", strerror(5));
    CHECK_TEXT(303, 1005, io);
    CHECK_TEXT(1005, 0, io);

    {
        char text[16];
        memset(text, 'x', sizeof text);
        CHECK(KORAL_GetErrorString(505, 0, text, 10) == 0);
        CHECK(memcmp(text, "INVALID P", 10) == 0); /* 9 bytes and the terminator */
        CHECK(text[10] == 'x');
        CHECK(KORAL_GetErrorString(505, 0, text, 1) == 0);
        CHECK(text[0] == '\0' && text[1] == 'N');
        memset(text, 'x', sizeof text);
        CHECK(KORAL_GetErrorString(505, 0, text, 0) == -1);
        CHECK(KORAL_GetErrorString(505, 0, text, -3) == -1);
        CHECK(text[0] == 'x');
    }
    /* Nothing is recorded for a null buffer. */
    CHECK_RECORD(KORAL_LEVEL_DEFAULT_VALUE, 305, 0, 0, "");
    CHECK(KORAL_GetErrorString(505, 0, NULL, 10) == -1);
    CHECK_RECORD(KORAL_LEVEL_DEFAULT_VALUE, 305, 0, 0, "");
}

static void errorRecord(void) {
    unsigned char bytes[sizeof(LastErrorRecord) + 1];
    CHECK(sizeof(LastErrorRecord) == 68);
    CHECK(KORAL_GetErrorCode(NULL) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 0, "KORAL_GetErrorCode");
    /* Any address will do. */
    CHECK(KORAL_GetErrorCode(bytes + 1) == 0);
    CHECK(memcmp(bytes + 1 + 8, "KORAL_GetErrorCode", 19) == 0);
}

static void warningSwitches(void) {
    /* IDs outside 0..15. */
    CHECK(KORAL_WarningMessagesEx(3, 1, 16) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 818, 16, "KORAL_WarningMessagesEx");
    CHECK(KORAL_WarningMessagesEx(3, 1, 0xFFFFFFFFu) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 818, -1, "KORAL_WarningMessagesEx");
    CHECK(KORAL_WarningMessages(1, 16) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 818, 16, "KORAL_WarningMessages");

    /* Nothing was ever opened. */
    CHECK(KORAL_WarningMessagesEx(3, 1, 0) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 808, 0, "KORAL_WarningMessagesEx");
    CHECK(KORAL_WarningMessagesEx(-2, 1, 0) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 808, 0, "KORAL_WarningMessagesEx");
    CHECK(KORAL_WarningMessages(0, 0) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 808, 0, "KORAL_WarningMessages");

    /* A passing check of ID 5 makes it actual, but it has no slot. */
    CHECK(KORAL_WarningMessagesEx(1, 1, 5) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 0, 5, "KORAL_WarningMessagesEx");
    CHECK(KORAL_GetActualInterfaceID() == 1); /* still nothing open */
    CHECK(KORAL_WarningMessagesEx(8, 1, 5) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 5, "KORAL_WarningMessagesEx");
    CHECK(KORAL_WarningMessagesEx(-2, 1, 5) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 808, 5, "KORAL_WarningMessagesEx");
    CHECK(KORAL_WarningMessagesEx(-2, 1, 0) == 0);
    CHECK(KORAL_WarningMessagesEx(0, 1, 0) == 0); /* no slot to switch */
    CHECK(KORAL_WarningMessages(1, 5) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 0, 5, "KORAL_WarningMessages");
}

static void rawDataRecords(void) {
    uint32_t handle = 0;
    uint32_t stale;
    double minimum = 0, maximum = 0, minimumPercent = 0, maximumPercent = 0;
    double spectrum[2] = {-1.0, -1.0};
    uint16_t time[6] = {1, 2, 3, 4, 5, 6};
    int32_t darkState = 7;
    CHECK(KORAL_ErrorMessages(0) == 0);
    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(handle != 0);
    CHECK(KORAL_GetStoredIntensity(&handle, &minimum, &maximum, &minimumPercent, &maximumPercent) ==
          0);
    CHECK(minimum == 100000.0 && maximum == -100000.0);
    CHECK(minimumPercent == 100.0 && maximumPercent == -100.0);
    CHECK(KORAL_GetStoredRawData(&handle, spectrum) == 0 && spectrum[0] == -1.0);
    CHECK(KORAL_GetStoredDarkModeSettings(&handle, &darkState) == 0 && darkState == 0);
    CHECK(KORAL_GetStoredTime(&handle, time) == -1 && time[5] == 6);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 808, 0, "KORAL_GetStoredTime");
    CHECK(KORAL_AllocRawData(&handle) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 806, 0, "KORAL_AllocRawData");
    /* Nothing is open. */
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 0, 1, "KORAL_ParaSetMapping");
    stale = handle;
    CHECK(KORAL_FreeRawData(&handle) == 0 && handle == 0);
    CHECK(KORAL_FreeRawData(&handle) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 806, 0, "KORAL_FreeRawData");
    /* The handle of a freed record finds nothing. */
    darkState = 7;
    CHECK(KORAL_GetStoredDarkModeSettings(&stale, &darkState) == -1 && darkState == 0);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 806, 0, "KORAL_GetStoredDarkModeSettings");
    CHECK(KORAL_ErrorMessages(1) == 0);
}

static void boxWithDefaultAnswer(void) {
    /* Without a display provider the box goes to standard error and takes
     * its default button (Yes): the box stays on. */
    CHECK(KORAL_ErrorMessages(1) == 0);
    CHECK(KORAL_GetErrorCode(NULL) == -1);
    CHECK(KORAL_ErrorMessages(-2) == 1);
}

int main(void) {
    setUp();
    errorBoxSwitch();
    texts();
    errorRecord();
    warningSwitches();
    rawDataRecords();
    boxWithDefaultAnswer();
    return checkResult();
}
