/* A client of the acquisition library written in C: opens the simulated board
 * of spectra_sim.ini (VELDON_SIMULATION), maps a raw-data record to its first
 * channel, takes a spectrum and reads back what the simulated sensor
 * produced. Exits non-zero on the first mismatch count. */
#include "c_check.h"
#include "tarvik.h"

#define BOARD_PIXELS 1024
#define DARK 500.0
#define SENTINEL -12345.0

static double spectrum[8352];

int main(void) {
    uint32_t handle = 0;
    int stored = 0;
    int i;
    KORAL_ErrorMessages(0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0);
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);
    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0) == 0);
    CHECK(KORAL_GetSpectra(1) == 0);
    for (i = 0; i < 8352; ++i) {
        spectrum[i] = SENTINEL;
    }
    CHECK(KORAL_GetStoredRawData(&handle, spectrum) == 0);
    /* The pixels the slot asked the board for, none beyond the board's own
     * count, and with no integration time set each one is the dark signal. */
    while (stored < 8352 && spectrum[stored] != SENTINEL) {
        ++stored;
    }
    CHECK(stored > 0 && stored <= BOARD_PIXELS);
    for (i = 0; i < stored; ++i) {
        if (spectrum[i] != DARK) {
            CHECK(spectrum[i] == DARK);
            break;
        }
    }
    /* An acquisition of an interface that is not open. */
    CHECK(KORAL_GetSpectra(2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 0, 2, "KORAL_GetSpectra");
    CHECK(KORAL_FreeRawData(&handle) == 0);
    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    return checkResult();
}
