/* A client of the acquisition library written in C: only the public header,
 * only libtarvik.so. Opens, initialises and closes the simulated USB boards
 * of the set-up file that VELDON_SIMULATION names (lifecycle_sim.ini beside
 * this file) and reads their actual configuration. Exits non-zero on the
 * first mismatch count. Run under the address sanitizer it also shows that a
 * close leaves nothing behind. */
#include "c_check.h"
#include "tarvik.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

static const char* const kOpen = "KORAL_OpenOperationElectronicsDevice";

/* The board "measuring" of the set-up file: id 2, one channel
 * with sensor type 14 and 512 pixels behind front end 10, no multiplexer. */
static void configuration(void) {
    uint32_t values[7];
    ActualConfigurationRecord record;
    int mode;
    for (mode = 0; mode <= 3; mode += 3) {
        memset(values, 0xEE, sizeof values);
        CHECK(KORAL_GetActualConfiguration((uint32_t)mode, values, 2) >= 0);
        CHECK(values[0] == KORAL_INTERFACE_USB);
        CHECK(values[1] == 0);
        CHECK(values[2] == 10);
        CHECK(values[3] == 0);
        CHECK(values[4] == 1);
        CHECK(values[5] == 14);
        CHECK(values[6] == 512);
    }
    memset(&record, 0xEE, sizeof record);
    CHECK(KORAL_GetActualConfigurationEx(0, &record, 2) >= 0);
    CHECK(record.channelCount == 1 && record.sensorType[0] == 14 && record.pixelCount[0] == 512);
    CHECK(record.rows[0] == 1 && record.sensorType[1] == 0);
}

static void refusals(void) {
    /* Open already. */
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 503, 0, 2, kOpen);
    /* The board with id 3 runs an obsolete driver. */
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 3) == -1);
    CHECK_RECORD(KORAL_LEVEL_DEVICE, 301, 837, 3, kOpen);
    /* The board with id 1 is held by another program: the search passes it
     * over (and the board open here) and ends at the obsolete one. */
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_DEVICE, 301, 837, 1, kOpen);
    /* Another interface type while a USB board is open. */
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_PCI, 4) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 804, 4, kOpen);
}

static void lifeCycle(void) {
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 2) == 0);
    CHECK(KORAL_GetActualInterfaceID() == 2);
    configuration();
    CHECK(KORAL_InitializeOperationElectronics(0, 2) == 0);
    refusals();
    CHECK(KORAL_SetInterfaceInActive(2) == 0);
    CHECK(KORAL_SetInterfaceActive(2) == 0);
    CHECK(KORAL_DeInitializeOperationElectronics(2) == 0);
    /* De-initialised twice: the board needs an initialised interface. */
    CHECK(KORAL_DeInitializeOperationElectronics(2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 507, 0, 0, "KORAL_DeInitializeOperationElectronics");
    CHECK(KORAL_CloseOperationElectronics(2) == 0);
    CHECK(KORAL_GetActualInterfaceID() == 1);
    CHECK(KORAL_CloseOperationElectronics(2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 0, 2, "KORAL_CloseOperationElectronics");
}

static void closeWithoutDeInit(void) {
    CHECK(KORAL_OpenOperationElectronicsDeviceEx(0, KORAL_INTERFACE_USB, 2, 7, 9) == 0);
    CHECK(KORAL_InitializeOperationElectronics(0, 2) == 0);
    CHECK(KORAL_CloseOperationElectronicsWithoutDeInit(2) == 0);
    CHECK(KORAL_GetActualInterfaceID() == 2); /* still counted as open */
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 2) == 0);
    CHECK(KORAL_CloseOperationElectronics(2) == 0);
    /* Nothing is left open: another type may come. */
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_PCI, 4) == -1);
    CHECK_RECORD(KORAL_LEVEL_DEVICE, 301, 1000 + ENOENT, 4, kOpen);
}

static void manyTimes(void) {
    int round;
    for (round = 0; round < 20; ++round) {
        CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 2) == 0);
        CHECK(KORAL_InitializeOperationElectronics(0, 2) == 0);
        CHECK(KORAL_CloseOperationElectronics(2) == 0);
    }
}

int main(void) {
    /* The failures below are expected: no box for them. */
    CHECK(KORAL_ErrorMessages(0) == 0);
    lifeCycle();
    closeWithoutDeInit();
    manyTimes();
    return checkResult();
}
