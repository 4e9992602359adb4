/* A client of the acquisition library written in C with the cooled detector
 * boards of cooled_sim.ini: a configuration the cooled board cannot take
 * still leaves the binning it was given in force, as the hardware
 * configuration reports it; a board that refuses its de-initialisation in a
 * binning-mode change is reported as the cooled board's failure of that
 * interface. Exits non-zero on any mismatch. */
#include "c_check.h"
#include "tarvik.h"

static int32_t rowsOfChannelOne(uint32_t id) {
    HWConfigurationEx2Record record;
    memset(&record, 0, sizeof record);
    record.size = sizeof record;
    CHECK(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &record, id) >= 0);
    return record.channel[0].rows;
}

int main(void) {
    KORAL_ErrorMessages(0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 2) == 0);

    /* 2048 pixels: the pixel register is not written, the one row stands. */
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_NOT_DONE, 514, 0, 1, "KORAL_InitializeOperationElectronics");
    CHECK(rowsOfChannelOne(1) == 1);

    /* The de-initialisation refused: the writer ran all the same, so the
     * board bins fully (64 rows are one), and the interface stays
     * initialised. */
    CHECK(KORAL_InitializeOperationElectronics(0, 2) == 0);
    CHECK(rowsOfChannelOne(2) == 1);
    CHECK(KORAL_ParaSetZTKBinningMode(2, 2) == -1);
    CHECK_RECORD(KORAL_LEVEL_NOT_DONE, 514, 0, 2, "KORAL_ParaSetZTKBinningMode");
    CHECK(rowsOfChannelOne(2) == 64);
    CHECK(KORAL_ParaSetZTKCoolingEnable(1, 2) == 0);

    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    CHECK(KORAL_CloseOperationElectronics(2) == 0);
    return checkResult();
}
