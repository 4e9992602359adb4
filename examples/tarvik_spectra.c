/* A client of the acquisition library: opens the first USB board, initialises
 * it, maps a raw-data record to its channel 1, takes a dark current and a
 * spectrum at 10 ms and prints what they hold.
 *
 *   cc tarvik_spectra.c $(pkg-config --cflags --libs tarvik) -o tarvik_spectra
 *   VELDON_SIMULATION=board.ini ./tarvik_spectra [DARK SIGNAL]
 *
 * Given the simulated board's dark and signal (counts, counts per ms), it also
 * checks the spectra against them and exits 1 on a mismatch. */
#include "tarvik.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define INTERFACE_ID 1u
#define MAX_PIXELS 8192

static double spectrum[MAX_PIXELS];
static double dark[MAX_PIXELS];

/* Reports the failed call with the library's text of its error. */
static int failed(const char* call) {
    LastErrorRecord record;
    char text[256] = "";
    memset(&record, 0, sizeof record);
    KORAL_GetErrorCode(&record);
    KORAL_GetErrorString(record.code, record.info, text, (int32_t)sizeof text);
    fprintf(stderr, "%s failed: level %d, code %d, info %d: %s\n", call, (int)record.level,
            (int)record.code, (int)record.info, text);
    return 1;
}

static void extremes(const double* values, int n, double* low, double* high) {
    int i;
    *low = values[0];
    *high = values[0];
    for (i = 1; i < n; ++i) {
        if (values[i] < *low) *low = values[i];
        if (values[i] > *high) *high = values[i];
    }
}

int main(int argc, char** argv) {
    SensorParamsEx2Record sensor;
    uint32_t handle = 0;
    double ms = 10.0;
    double low, high, darkLow, darkHigh;
    int pixels, status = 0;

    /* Failures are reported here, not in the library's message box. */
    KORAL_ErrorMessages(0);
    if (KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, INTERFACE_ID) != 0)
        return failed("KORAL_OpenOperationElectronicsDevice");
    if (KORAL_InitializeOperationElectronics(1, INTERFACE_ID) != 0)
        return failed("KORAL_InitializeOperationElectronics");

    memset(&sensor, 0, sizeof sensor);
    sensor.size = sizeof sensor;
    if (KORAL_HWConfig_GetSensorParamsEx2(0, &sensor, 1, INTERFACE_ID) != 0)
        return failed("KORAL_HWConfig_GetSensorParamsEx2");
    pixels = sensor.pixelCount;
    if (pixels < 1 || pixels > MAX_PIXELS) {
        fprintf(stderr, "unexpected pixel count %d\n", pixels);
        return 1;
    }

    if (KORAL_AllocRawData(&handle) != 0) return failed("KORAL_AllocRawData");
    if (KORAL_ParaSetMapping(&handle, 1, INTERFACE_ID) != 0) return failed("KORAL_ParaSetMapping");
    /* Raw spectra: the dark current is kept beside them, not subtracted. */
    if (KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0) != 0)
        return failed("KORAL_ParaSetDarkCurrentCorrectionMode");
    if (KORAL_ParaSetIntegrationTime(&ms, INTERFACE_ID) != 0)
        return failed("KORAL_ParaSetIntegrationTime");

    if (KORAL_GetDarkCurrent(INTERFACE_ID) != 0) return failed("KORAL_GetDarkCurrent");
    if (KORAL_GetStoredDarkcurrentData(&handle, dark) != 0)
        return failed("KORAL_GetStoredDarkcurrentData");
    if (KORAL_GetSpectra(INTERFACE_ID) != 0) return failed("KORAL_GetSpectra");
    if (KORAL_GetStoredRawData(&handle, spectrum) != 0) return failed("KORAL_GetStoredRawData");

    extremes(spectrum, pixels, &low, &high);
    extremes(dark, pixels, &darkLow, &darkHigh);
    printf("%d pixels, %.1f nm to %.1f nm, %.0f ms\n", pixels, sensor.c0,
           sensor.c0 + sensor.c1 * (pixels - 1), ms);
    printf("spectrum: %.0f to %.0f counts\n", low, high);
    printf("dark current: %.0f to %.0f counts\n", darkLow, darkHigh);

    if (argc == 3) {
        /* The darkest pixels read the board's dark signal, the brightest adds
         * the light of the integration time. The light is never off, so the
         * dark current equals the spectrum. */
        const double expectedDark = atof(argv[1]);
        const double expectedPeak = expectedDark + atof(argv[2]) * ms;
        int i;
        if (low < expectedDark || low > expectedDark + 0.05 * (expectedPeak - expectedDark) ||
            high != expectedPeak) {
            fprintf(stderr, "spectrum %.0f..%.0f, expected %.0f..%.0f\n", low, high,
                    expectedDark, expectedPeak);
            status = 1;
        }
        for (i = 0; i < pixels; ++i) {
            if (dark[i] != spectrum[i]) {
                fprintf(stderr, "pixel %d: dark current %.0f, spectrum %.0f\n", i, dark[i],
                        spectrum[i]);
                status = 1;
                break;
            }
        }
    }

    if (KORAL_FreeRawData(&handle) != 0) return failed("KORAL_FreeRawData");
    if (KORAL_CloseOperationElectronics(INTERFACE_ID) != 0)
        return failed("KORAL_CloseOperationElectronics");
    return status;
}
