/* A client of the acquisition library written in C taking spectra from the
 * two simulated serial electronics units of serial_acquire_sim.ini at RS485
 * addresses 1 and 2 on one line that corrupts one byte in a hundred, with
 * interface ID 0 (every unit at once), in work modes 1, 3 and 6. The link
 * repeats what the line lost: every call succeeds the first time, and every
 * spectrum delivered is its own unit's at the integration time of that round
 * (a spectrum of an older round or of the other unit would differ). Exits
 * non-zero on any failure or mismatch. */
#include "c_check.h"
#include "tarvik.h"

#define SERIAL_TYPE 3
#define PIXELS 1044
#define ROUNDS 1

static double spectrum[SPECTRUM_ROOM];

static const double kDark[2] = {400.0, 900.0};
static const double kSignal[2] = {30.0, 60.0};

/* The unit's spectrum at ms: dark at the edge, the line at the middle. */
static void checkSpectrum(uint32_t* handle, int unit, double ms, int mode, int round) {
    const int stored = readStoredSpectrum(handle, spectrum);
    const double peak = kDark[unit] + kSignal[unit] * ms;
    CHECK(stored == PIXELS);
    if (spectrum[0] != kDark[unit] || spectrum[PIXELS / 2] != peak) {
        fprintf(stderr, "mode %d round %d unit %d: %.1f and %.1f, expected %.1f and %.1f\n", mode,
                round, unit + 1, spectrum[0], spectrum[PIXELS / 2], kDark[unit], peak);
        ++failures;
    }
}

int main(void) {
    static const int kModes[] = {1, 3, 6};
    uint32_t handles[2] = {0, 0};
    int m, round, unit;
    KORAL_ErrorMessages(0);
    /* Replies come in a few ms at 115,200 baud: a lost frame is asked for
     * again after 50 ms rather than 300. */
    CHECK(KORAL_ParaSet_QRE_TimeoutPC(50) == 0);

    for (unit = 0; unit < 2; ++unit) {
        const uint32_t id = (uint32_t)unit + 1;
        CHECK(KORAL_OpenOperationElectronicsDevice(0, SERIAL_TYPE, id) == 0);
        CHECK(KORAL_InitializeOperationElectronics(0, id) == 0);
        CHECK(KORAL_AllocRawData(&handles[unit]) == 0);
        CHECK(KORAL_ParaSetMapping(&handles[unit], 1, id) == 0);
        CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(&handles[unit], 0) == 0);
    }

    for (m = 0; m < 3; ++m) {
        for (unit = 0; unit < 2; ++unit) {
            CHECK(KORAL_ParaSetSensorWorkMode(0, kModes[m], (uint32_t)unit + 1) == 0);
        }
        for (round = 0; round < ROUNDS; ++round) {
            double ms = 10.0 + 2.0 * round;
            for (unit = 0; unit < 2; ++unit) {
                double asked = ms;
                CHECK(KORAL_ParaSetIntegrationTime(&asked, (uint32_t)unit + 1) == 0);
                CHECK(asked == ms);
            }
            CHECK(KORAL_GetSpectra(0) == 0);
            for (unit = 0; unit < 2; ++unit) {
                checkSpectrum(&handles[unit], unit, ms, kModes[m], round);
            }
        }
    }

    for (unit = 0; unit < 2; ++unit) {
        CHECK(KORAL_FreeRawData(&handles[unit]) == 0);
        KORAL_CloseOperationElectronics((uint32_t)unit + 1);
    }
    return checkResult();
}
