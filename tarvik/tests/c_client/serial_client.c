/* A client of the acquisition library written in C against the simulated
 * serial electronics of serial_sim.ini (VELDON_SIMULATION), with the link's
 * settings at their defaults (COM1, 115200 baud, no RS485): opens interface
 * type 3, initialises it, reads the unit's pixel count, sensor type and
 * coefficients, sets the integration time, switches digital output 2 and
 * reads input 1, uses the exports of the serial electronics and closes.
 * Then an open at an address where no unit answers fails with its record.
 * Exits non-zero on any mismatch. */
#include "c_check.h"
#include "tarvik.h"

#define SERIAL_TYPE 3
#define UNIT_PIXELS 1044

int main(void) {
    SensorParamsEx2Record sensor;
    HWConfigurationEx2Record configuration;
    uint32_t port = 0, baud = 0, trans = 0, id = 0, input = 7;
    double ms;
    KORAL_ErrorMessages(0);

    /* Without a stored setting the defaults are stored and reported. */
    CHECK(KORAL_ParaGet_QRE(&port, &baud, &trans, &id) == 0);
    CHECK(port == 1 && baud == 115200 && trans == 0 && id == 1);

    CHECK(KORAL_OpenOperationElectronicsDevice(0, SERIAL_TYPE, 1) == 0);
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);

    memset(&sensor, 0, sizeof sensor);
    sensor.size = sizeof sensor;
    CHECK(KORAL_HWConfig_GetSensorParamsEx2(0, &sensor, 1, 1) == 0);
    CHECK(sensor.sensorType == 6);
    CHECK(sensor.pixelCount == UNIT_PIXELS);
    CHECK(sensor.c0 == 300.0 && sensor.c1 == 0.5 && sensor.c2 == 0.0 && sensor.c3 == 0.0);
    memset(&configuration, 0, sizeof configuration);
    configuration.size = sizeof configuration;
    CHECK(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &configuration, 1) >= 0);
    CHECK(configuration.interfaceType == SERIAL_TYPE && configuration.frontEndType == 6);

    ms = 20.0;
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
    CHECK(ms == 20.0);

    CHECK(KORAL_IOSetDigOutput2(1, 1) == 0);
    CHECK(KORAL_IOSetDigOutput2(0, 1) == 0);
    CHECK(KORAL_IOGetDigInput1(&input, 1) == 0);
    CHECK(input == 1);

    CHECK(KORAL_ParaSet_QRE_InttimeFactor(2, 1) == 0);
    CHECK(KORAL_ParaSet_QRE_InttimeFactor(81, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 0, "KORAL_ParaSet_QRE_InttimeFactor");
    CHECK(KORAL_SetDisplaylevel_QRE(3, 1) == 0);
    CHECK(KORAL_ParaSet_QRE_TimeoutPC(32768) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 0, "KORAL_ParaSet_QRE_TimeoutPC");
    CHECK(KORAL_ParaSet_QRE_TimeoutPC(300) == 0);
    CHECK(KORAL_ParaSet_QRE_RS485StopPeriod(2500) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 821, 1, "KORAL_ParaSet_QRE_RS485StopPeriod");
    CHECK(KORAL_ParaSet_QRE(1, 115200, 0, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 304, 0, 1, "KORAL_ParaSet_QRE");

    CHECK(KORAL_CloseOperationElectronics(1) == 0);

    /* No unit answers at address 2: the open gives up after its repeats. */
    CHECK(KORAL_OpenOperationElectronicsDevice(0, SERIAL_TYPE, 2) == -1);
    CHECK_RECORD(KORAL_LEVEL_DEVICE, 301, 0, 2, "KORAL_OpenOperationElectronicsDevice");
    return checkResult();
}
