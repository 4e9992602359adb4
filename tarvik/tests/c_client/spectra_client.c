/* A client of the acquisition library written in C, doing what a measurement
 * program does with it: opens the simulated board of spectra_sim.ini
 * (VELDON_SIMULATION), initialises it, reads the sensor parameters with the
 * wavelength coefficients of the front-end EEPROM, sets integration time and
 * average number (limited values come back adapted) and takes spectra whose
 * line grows with the integration time. Exits non-zero on any mismatch. */
#include "c_check.h"
#include "tarvik.h"

#define BOARD_PIXELS 1024
#define DARK 500.0
#define SIGNAL_PER_MS 2000.0

static double spectrum[SPECTRUM_ROOM];

static int readSpectrum(uint32_t* handle) {
    return readStoredSpectrum(handle, spectrum);
}

int main(void) {
    uint32_t handle = 0;
    SensorParamsEx2Record sensor;
    HWConfigurationEx2Record configuration;
    double ms;
    int32_t average;
    int stored;
    KORAL_ErrorMessages(0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0);
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);

    memset(&sensor, 0, sizeof sensor);
    sensor.size = sizeof sensor;
    CHECK(KORAL_HWConfig_GetSensorParamsEx2(0, &sensor, 1, 1) == 0);
    CHECK(sensor.sensorType == 0);
    CHECK(sensor.pixelCount == BOARD_PIXELS);
    CHECK(sensor.c0 == 350.0 && sensor.c1 == 0.5 && sensor.c2 == 0.25 && sensor.c3 == 0.0);

    memset(&configuration, 0, sizeof configuration);
    configuration.size = sizeof configuration;
    CHECK(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &configuration, 1) >= 0);
    CHECK(configuration.interfaceType == KORAL_INTERFACE_USB && configuration.frontEndType == 3 &&
          configuration.muxType == 0 && configuration.channelCount == 1);
    CHECK(configuration.channel[0].sensorType == 0 &&
          configuration.channel[0].pixelCount == BOARD_PIXELS);

    /* The initialise applied a time, so the limits are known; the board
     * counts 100 µs steps. */
    checkTimeAndAverageLimits(10.04, 10.0);
    average = 2;
    CHECK(KORAL_ParaSetAverageNumber(&average, 1) == 0);

    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0) == 0);

    /* 10 ms, then 5 ms: the line in the middle follows the time, the first
     * pixel is dark. */
    ms = 10.0;
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
    CHECK(KORAL_GetSpectra(1) == 0);
    stored = readSpectrum(&handle);
    CHECK(stored == BOARD_PIXELS);
    CHECK(spectrum[0] > DARK - 1 && spectrum[0] < DARK + 50);
    CHECK(spectrum[BOARD_PIXELS / 2] == DARK + SIGNAL_PER_MS * 10.0);
    ms = 5.0;
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
    CHECK(KORAL_GetSpectra(1) == 0);
    stored = readSpectrum(&handle);
    CHECK(stored == BOARD_PIXELS);
    CHECK(spectrum[BOARD_PIXELS / 2] == DARK + SIGNAL_PER_MS * 5.0);

    /* An acquisition of an interface that is not open. */
    CHECK(KORAL_GetSpectra(2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 0, 2, "KORAL_GetSpectra");
    CHECK(KORAL_FreeRawData(&handle) == 0);
    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    return checkResult();
}
