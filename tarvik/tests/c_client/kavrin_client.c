/* A client of the acquisition library written in C whose board is served by
 * the USB board driver: the simulated type-6 board of kavrin_sim.ini
 * (VELDON_SIMULATION) sits on the simulated USB bus, and every command of the
 * library reaches it through the device layer, kavrin and its firmware. The
 * client opens and initialises it (the library reads the configuration
 * EEPROMs over I2C on the way), reads the sensor parameters, sets integration
 * time and average number and takes spectra, single and continuous, whose
 * line follows the integration time. Exits non-zero on any mismatch. */
#include "c_check.h"
#include "tarvik.h"

#include <stdio.h>
#include <string.h>

#define BOARD_PIXELS 1024
#define DARK 400.0
#define SIGNAL_PER_MS 1500.0
#define FRONT_END_EEPROM 0xA0

static double spectrum[SPECTRUM_ROOM];

static int readSpectrum(uint32_t* handle) {
    return readStoredSpectrum(handle, spectrum);
}

/* Whether the process has loaded the USB board driver's module: the
 * simulation brings it in only for boards on the simulated USB bus. */
static int usbDriverLoaded(void) {
    char line[1024];
    int found = 0;
    FILE* maps = fopen("/proc/self/maps", "r");
    if (maps == NULL) {
        return 0;
    }
    while (!found && fgets(line, sizeof line, maps) != NULL) {
        found = strstr(line, "libkavrin.so") != NULL;
    }
    fclose(maps);
    return found;
}

static void checkSpectrumAt(uint32_t* handle, double ms, int line) {
    const int stored = readSpectrum(handle);
    if (stored != BOARD_PIXELS || spectrum[0] < DARK - 1 || spectrum[0] > DARK + 50 ||
        spectrum[BOARD_PIXELS / 2] != DARK + SIGNAL_PER_MS * ms) {
        fprintf(stderr, "%s:%d: %d pixels, first %.1f, middle %.1f at %.1f ms\n", __FILE__, line,
                stored, spectrum[0], spectrum[BOARD_PIXELS / 2], ms);
        ++failures;
    }
}

int main(void) {
    uint32_t handle = 0;
    SensorParamsEx2Record sensor;
    uint8_t image[256];
    double ms;
    int32_t average;
    int round;
    KORAL_ErrorMessages(0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0);
    CHECK(usbDriverLoaded());
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);

    memset(&sensor, 0, sizeof sensor);
    sensor.size = sizeof sensor;
    CHECK(KORAL_HWConfig_GetSensorParamsEx2(0, &sensor, 1, 1) == 0);
    CHECK(sensor.sensorType == 0);
    CHECK(sensor.pixelCount == BOARD_PIXELS);
    CHECK(sensor.c0 == 400.0 && sensor.c1 == 0.25 && sensor.c2 == 0.0 && sensor.c3 == 0.0);

    /* The front-end EEPROM as the board's I2C bus holds it: sensor type 0
     * and 1024 pixels at 16 and 18. */
    memset(image, 0x5A, sizeof image);
    CHECK(KORAL_I2C_Read_EEPROM_X(FRONT_END_EEPROM, image, 1) == 0);
    CHECK(image[16] == 0 && image[17] == 0);
    CHECK(image[18] == (BOARD_PIXELS & 0xFF) && image[19] == BOARD_PIXELS >> 8);

    /* The board counts 100 µs steps. */
    checkTimeAndAverageLimits(4.04, 4.0);

    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0) == 0);

    /* Single scans, then the driver's average of three, at two times. */
    for (round = 0; round < 2; ++round) {
        average = round == 0 ? 1 : 3;
        CHECK(KORAL_ParaSetAverageNumber(&average, 1) == 0);
        ms = 8.0;
        CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
        CHECK(KORAL_GetSpectra(1) == 0);
        checkSpectrumAt(&handle, 8.0, __LINE__);
        ms = 3.0;
        CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
        CHECK(KORAL_GetSpectra(1) == 0);
        checkSpectrumAt(&handle, 3.0, __LINE__);
    }

    /* The continuous mode: the board streams, the driver keeps the scans in
     * its ring, and each spectrum is one of them. The time is set first: a
     * change while the board streams leaves scans of the old time in flight. */
    average = 1;
    CHECK(KORAL_ParaSetAverageNumber(&average, 1) == 0);
    ms = 2.0;
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
    CHECK(KORAL_ParaSetSensorWorkMode(1, 7, 1) == 0);
    for (round = 0; round < 3; ++round) {
        CHECK(KORAL_GetSpectra(1) == 0);
        checkSpectrumAt(&handle, 2.0, __LINE__);
    }
    CHECK(KORAL_ParaSetSensorWorkMode(1, 3, 1) == 0);
    CHECK(KORAL_GetSpectra(1) == 0);
    checkSpectrumAt(&handle, 2.0, __LINE__);

    CHECK(KORAL_FreeRawData(&handle) == 0);
    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    return checkResult();
}
