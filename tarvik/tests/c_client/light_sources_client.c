/* A client of the acquisition library written in C that drives the
 * light-source modules and the cooled detector boards of light_sources_sim.ini
 * (type-6 boards served by the USB board driver). What the modules and the
 * board were set to is read back from the simulation (sim/inspect.h). Exits
 * non-zero on any mismatch. */
#include "c_check.h"
#include "sim/inspect.h"
#include "tarvik.h"

#include <string.h>

#define LAMP 1
#define REMOTE_FLASH 2
#define MANUAL_FLASH 3

static VeldonSimLightSource module(uint32_t address) {
    VeldonSimLightSource m;
    memset(&m, 0xFF, sizeof m);
    CHECK(veldonSimLightSource("lamps", address, &m) == 0);
    return m;
}

static VeldonSimCooledBoard cooledBoard(void) {
    VeldonSimCooledBoard b;
    memset(&b, 0xFF, sizeof b);
    CHECK(veldonSimCooledBoard("cooled", &b) == 0);
    return b;
}

static void checkScan(void) {
    uint32_t kind = 9;
    /* The open found them; a scan after the deletion lists them anew. */
    CHECK(KORAL_DeleteI2CComponents(1, 0) == 0);
    CHECK(KORAL_ScanI2CComponents(1, 0) == 3);
    CHECK(KORAL_LS_Initialize(1, LAMP, 0, &kind) == 0 && kind == 2); /* lamp 2 */
    CHECK(KORAL_LS_Initialize(1, REMOTE_FLASH, 0, &kind) == 0 && kind == 4);
    CHECK(KORAL_LS_Initialize(1, MANUAL_FLASH, 0, &kind) == 0 && kind == 4);
    /* Positions out of range are position 0, which never holds a module. */
    kind = 9;
    CHECK(KORAL_LS_Initialize(1, 7, 0, &kind) == -1 && kind == 0);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 831, 1, "KORAL_LS_OpenDevice");
    CHECK(KORAL_LS_Initialize(1, -1, 0, &kind) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 831, 1, "KORAL_LS_OpenDevice");
    CHECK(KORAL_LS_GetStatus(1, 4, &kind) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 507, 0, 1, "KORAL_LS_GetStatus");
}

static void checkLamp(void) {
    uint32_t status = 0, open = 9;
    int32_t degrees = 0;
    uint8_t type = 9, subtype = 9, info = 9;
    int64_t start = 0;
    CHECK(KORAL_LS_GetModuleInfo(1, LAMP, &type, &subtype, &info) == 0);
    CHECK(type == 0 && subtype == 1 && info == 0);

    /* Mask 0 is the module's own lamp 2, which is given 2 s to settle; lamp 1
     * it does not carry. */
    start = veldonSimClockMs();
    CHECK(KORAL_LS_PowerON(1, LAMP, 0, 1000) == 0);
    CHECK(veldonSimClockMs() - start >= 2000);
    CHECK(KORAL_LS_GetStatus(1, LAMP, &status) == 0);
    CHECK((status & 3) == 2); /* lamp 2 on, lamp 1 off */
    CHECK((module(0x40).outputs & 0xC0) == 0x40);
    CHECK(KORAL_LS_PowerON(1, LAMP, 1, 1000) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 819, 1, "KORAL_LS_PowerON");

    CHECK(KORAL_LS_OpenShutter(1, LAMP, 1000) == 0);
    CHECK(KORAL_LS_GetShutterPosition(1, LAMP, &open) == 0 && open == 1);
    CHECK((module(0x40).status & 0x30) == 0x30);
    CHECK(KORAL_LS_CloseShutter(1, LAMP, 1000) == 0);
    CHECK(KORAL_LS_GetShutterPosition(1, LAMP, &open) == 0 && open == 0);
    CHECK(KORAL_LS_PowerOFF(1, LAMP, 0, 1000) == 0);
    CHECK(KORAL_LS_GetStatus(1, LAMP, &status) == 0 && (status & 3) == 3);

    CHECK(KORAL_LS_GetActualTemperature(1, LAMP, &degrees) == 0 && degrees == 31);
    /* The scan's identification wrote 80 and 75; a new alarm replaces them. */
    CHECK(module(0x40).tOs == 160 && module(0x40).tHyst == 150);
    CHECK(KORAL_LS_SetTemperatureAlarm(1, LAMP, 60, 10) == 0);
    CHECK(module(0x40).tOs == 120 && module(0x40).tHyst == 100);
    CHECK(KORAL_LS_SetTemperatureAlarm(1, LAMP, 120, -1) == 0);
    CHECK(module(0x40).tOs == 160 && module(0x40).tHyst == 150);
    CHECK(KORAL_LS_SavePowerStatus(1, LAMP) == -1); /* a type-0 module keeps no state */
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 508, 0, 0, "KORAL_LS_SavePowerStatus");
}

static void checkFlash(void) {
    uint32_t value = 0;
    int32_t degrees = 0;
    CHECK(KORAL_LS_ReadFlashRate(1, REMOTE_FLASH, &value) == 0 && value == 10);
    CHECK(KORAL_LS_ReadFlashRate(1, MANUAL_FLASH, &value) == 0 && value == 10);
    CHECK(KORAL_LS_GetRemoteStatus(1, REMOTE_FLASH, &value) == 0 && value == 1);
    CHECK(KORAL_LS_GetRemoteStatus(1, MANUAL_FLASH, &value) == 0 && value == 0);
    CHECK(KORAL_LS_GetStatus(1, REMOTE_FLASH, &value) == 0 && value == 256);
    CHECK(KORAL_LS_GetStatus(1, MANUAL_FLASH, &value) == 0 && value == 0);

    CHECK(KORAL_LS_SetFlashCounter(1, REMOTE_FLASH, 5) == 0);
    CHECK(module(0x44).flashCounter == 5);
    CHECK(KORAL_LS_SetFlashCounter(1, REMOTE_FLASH, 255) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 0, "KORAL_LS_SetFlashCounter");
    CHECK(KORAL_LS_SetFlashCounter(1, MANUAL_FLASH, 5) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 832, 0, "KORAL_LS_SetFlashCounter");

    /* Lamps, shutters and temperatures are the lamp modules'. */
    CHECK(KORAL_LS_OpenShutter(1, REMOTE_FLASH, 1000) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 0, 0, "KORAL_LS_OpenShutter");
    CHECK(KORAL_LS_PowerON(1, MANUAL_FLASH, 0, 0) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 0, 0, "KORAL_LS_PowerON");
    CHECK(KORAL_LS_GetActualTemperature(1, REMOTE_FLASH, &degrees) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 0, 0, "KORAL_LS_GetActualTemperature");
    CHECK(KORAL_LS_ReadFlashRate(1, LAMP, &value) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 0, 0, "KORAL_LS_ReadFlashRate");
}

/* With shutter control mode 1 the lamp module's shutter is closed between
 * spectra and open during one (the other boards' shutters are output 2). */
static void checkAcquisitionShutter(void) {
    uint32_t writes = 0;
    uint32_t handle = 0;
    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    CHECK(KORAL_ParaSetShutterControlMode(1, 0) == 0);
    CHECK((module(0x40).status & 0x30) == 0);
    writes = module(0x40).writes;
    CHECK(KORAL_GetSpectra(1) == 0);
    CHECK(module(0x40).writes > writes);
    CHECK((module(0x40).status & 0x30) == 0);
    CHECK(KORAL_ParaSetShutterControlMode(0, 0) == 0);
    CHECK((module(0x40).status & 0x30) == 0x30); /* mode 0 leaves it open */
    CHECK(KORAL_FreeRawData(&handle) == 0);
}

static void checkDeleted(void) {
    uint32_t status = 0, kind = 0;
    CHECK(KORAL_DeleteI2CComponents(1, 0) == 0);
    CHECK(KORAL_LS_GetStatus(1, LAMP, &status) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 507, 0, 1, "KORAL_LS_GetStatus");
    CHECK(KORAL_LS_Initialize(1, LAMP, 0, &kind) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 504, 831, 1, "KORAL_LS_OpenDevice");
}

static void checkCooledBoard(void) {
    HWConfigurationEx2Record record;
    memset(&record, 0, sizeof record);
    record.size = sizeof record;
    CHECK(KORAL_InitializeOperationElectronics(0, 2) == 0);
    /* Configured by the initialise: 1044 pixels, PAR_A10 64, one row. */
    CHECK(cooledBoard().registers[2] == 1 && cooledBoard().registers[0] == 0);
    CHECK(cooledBoard().registers[1] == 7);
    CHECK(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &record, 2) >= 0);
    CHECK(record.channel[0].rows == 1);

    CHECK(KORAL_ParaSetZTKCoolingEnable(1, 2) == 0 && cooledBoard().coolingOn == 1);
    CHECK(KORAL_ParaSetZTKCoolingEnable(0, 2) == 0 && cooledBoard().coolingOn == 0);

    /* Fully binned: the 64 rows are one; the interface is initialised anew. */
    CHECK(KORAL_ParaSetZTKBinningMode(2, 2) == 0);
    CHECK(cooledBoard().registers[1] == 0);
    CHECK(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &record, 2) >= 0);
    CHECK(record.channel[0].rows == 64);
    CHECK(KORAL_ParaSetZTKCoolingEnable(1, 2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 507, 0, 2, "KORAL_ParaSetZTKCoolingEnable");
    CHECK(KORAL_InitializeOperationElectronics(0, 2) == 0);
    CHECK(KORAL_ParaSetZTKBinningMode(3, 2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 2, "KORAL_ParaSetZTKBinningMode");
    CHECK(KORAL_ParaSetZTKBinningMode(0, 2) == 0);
    CHECK(cooledBoard().registers[1] == 7);
    CHECK(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &record, 2) >= 0);
    CHECK(record.channel[0].rows == 1);
    CHECK(KORAL_InitializeOperationElectronics(0, 2) == 0);

    /* Front end 11 without its board: the initialise goes on, the exports
     * find no board. */
    CHECK(KORAL_InitializeOperationElectronics(0, 3) == 0);
    CHECK(KORAL_ParaSetZTKBinningMode(0, 3) == -1);
    CHECK_RECORD(KORAL_LEVEL_NOT_DONE, 514, 859, 3, "KORAL_ParaSetZTKBinningMode");
    CHECK(KORAL_ParaSetZTKCoolingEnable(1, 3) == -1);
    CHECK_RECORD(KORAL_LEVEL_NOT_DONE, 514, 859, 3, "KORAL_ParaSetZTKCoolingEnable");
    /* Nor has the lamps' board one (front end 7). */
    CHECK(KORAL_ParaSetZTKCoolingEnable(1, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_NOT_DONE, 514, 859, 1, "KORAL_ParaSetZTKCoolingEnable");
}

int main(void) {
    int id;
    KORAL_ErrorMessages(0);
    for (id = 1; id <= 3; ++id) {
        CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, (uint32_t)id) == 0);
    }
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);
    /* The modules' waits (sensor accesses, lamp settling) on a virtual clock;
     * no other thread waits meanwhile. */
    veldonSimVirtualClock(1);
    checkScan();
    checkLamp();
    checkFlash();
    veldonSimVirtualClock(0);
    checkCooledBoard(); /* initialises interfaces 2 and 3 */
    checkAcquisitionShutter();
    checkDeleted();
    for (id = 1; id <= 3; ++id) {
        CHECK(KORAL_CloseOperationElectronics((uint32_t)id) == 0);
    }
    return checkResult();
}
