/* A client of the acquisition library written in C that takes bursts from
 * the simulated USB board of burst_sim.ini (VELDON_SIMULATION), served by the
 * USB board driver kavrin: the burst number's limits, a burst of 10 spectra
 * read back one by one, the raw words of a burst, the standard linearization
 * of the simulated sensor (VELDON_LINEARIZATION_DIR) and the intensity search.
 * Exits non-zero on any mismatch. */
#include "c_check.h"
#include "tarvik.h"

#define PIXELS 1044
#define MIDDLE (PIXELS / 2)
#define DARK 500.0
#define SIGNAL_PER_MS 2000.0
#define BURST 10

static double spectrum[SPECTRUM_ROOM];
static uint16_t words[3 * PIXELS];
static uint32_t values[3 * PIXELS];

/* The burst's k-th spectrum follows dark + signal x ms in the middle and is
 * dark at its first pixel. */
static void checkBurstSpectrum(uint32_t* handle, int32_t k, double ms, int line) {
    spectrum[0] = SENTINEL;
    spectrum[MIDDLE] = SENTINEL;
    if (KORAL_GetStoredRawDataBurst(handle, k, spectrum) != 0 ||
        spectrum[MIDDLE] != DARK + SIGNAL_PER_MS * ms || spectrum[0] < DARK ||
        spectrum[0] > DARK + 50) {
        fprintf(stderr, "%s:%d: spectrum %d: first %.1f, middle %.1f at %.1f ms\n", __FILE__, line,
                (int)k, spectrum[0], spectrum[MIDDLE], ms);
        ++failures;
    }
}

static void burstLimits(void) {
    int32_t n = 0;
    CHECK(KORAL_ParaSetBurstNumber(&n, 1) == -1);
    CHECK(n == 1);
    CHECK_RECORD(KORAL_LEVEL_LIMITED_VALUE, 505, 0, 1, "KORAL_ParaSetBurstNumber");
    n = 40000;
    CHECK(KORAL_ParaSetBurstNumber(&n, 1) == -1);
    CHECK(n == 30000);
    n = BURST;
    CHECK(KORAL_ParaSetBurstNumber(&n, 1) == 0);
    CHECK(n == BURST);
}

int main(void) {
    uint32_t handle = 0;
    uint32_t count = 0;
    int32_t k;
    int32_t found = 0;
    int32_t flashes = -1;
    double ms = 10.0;
    double foundMs = 0.0;
    KORAL_ErrorMessages(0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0);
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);
    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0) == 0);
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);

    /* A burst of 10 spectra, each as the sensor gave it. */
    burstLimits();
    CHECK(KORAL_GetSpectra(1) == 0);
    CHECK(KORAL_GetStoredBurstNumber(&handle, &count) == 0);
    CHECK(count == BURST);
    for (k = 1; k <= BURST; ++k) {
        checkBurstSpectrum(&handle, k, 10.0, __LINE__);
    }
    for (k = 0; k <= BURST + 1; k += BURST + 1) {
        CHECK(KORAL_GetStoredRawDataBurst(&handle, k, spectrum) == -1);
        CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 831, 0, "KORAL_GetStoredRawDataBurst");
    }

    /* The raw words of a burst of 3: the unsigned front end's counts - 32768. */
    CHECK(KORAL_GetSpectraBurst(3, words, 1) == 0);
    CHECK(words[2 * PIXELS + MIDDLE] == (uint16_t)(int32_t)(DARK + SIGNAL_PER_MS * 10.0 - 32768.0));
    CHECK(KORAL_GetSpectraBurstLong(3, values, 1) == 0);
    CHECK((int32_t)values[MIDDLE] == (int32_t)(DARK + SIGNAL_PER_MS * 10.0 - 32768.0));
    /* The burst of 10 is in force again. */
    CHECK(KORAL_GetSpectra(1) == 0);
    CHECK(KORAL_GetStoredBurstNumber(&handle, &count) == 0 && count == BURST);

    /* The standard coefficients of the sensor: y = x + 1e-6 x^2. */
    CHECK(KORAL_Linearization(1, 1) == 0);
    CHECK(KORAL_GetSpectra(1) == 0);
    CHECK(KORAL_GetStoredRawDataBurst(&handle, BURST, spectrum) == 0);
    CHECK(spectrum[MIDDLE] == 20500.0 + 1e-6 * 20500.0 * 20500.0);
    CHECK(KORAL_Linearization(0, 1) == 0);

    /* The line reaches full scale after 32.5 ms: 32 ms is the longest time. */
    k = 1;
    CHECK(KORAL_ParaSetAverageNumber(&k, 1) == 0);
    CHECK(KORAL_DetermineMaxIntensity(0, 0, &found, &flashes, 1) == 0);
    CHECK(found == 32);
    CHECK(KORAL_GetMaxInttime4ADC(1, 10, 0, &foundMs) == 0);
    CHECK(foundMs == 32.0);
    CHECK(KORAL_GetStoredIntegrationtime(&handle, &ms) == 0);
    CHECK(KORAL_GetSpectra(1) == 0);
    CHECK(KORAL_GetStoredIntegrationtime(&handle, &ms) == 0 && ms == 10.0);

    CHECK(KORAL_FreeRawData(&handle) == 0);
    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    return checkResult();
}
