/* A client of the acquisition library written in C that asks a board what it
 * offers, drives its digital lines and reads its temperatures: the simulated
 * type-6 board of features_sim.ini, served by the USB board driver. What the
 * board was set to is read back from the simulation (sim/inspect.h). The
 * exports that exist only as names and the type-gated ones answer with their
 * records. Exits non-zero on any mismatch. */
#include "c_check.h"
#include "sim/inspect.h"
#include "tarvik.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#define BOARD "usb"

static VeldonSimDigitalLines boardLines(void) {
    VeldonSimDigitalLines lines;
    memset(&lines, 0xFF, sizeof lines);
    CHECK(veldonSimDigitalLines(BOARD, &lines) == 0);
    return lines;
}

static uint32_t boardOutputs(void) {
    return boardLines().outputs;
}

static void checkInputs(void) {
    /* digital_inputs = 5: inputs 1 and 3 high, input 2 low. */
    uint32_t value = 7;
    CHECK(KORAL_IOGetDigInput1(&value, 1) == 0 && value == 1);
    value = 7;
    CHECK(KORAL_IOGetDigInput2(&value, 1) == 0 && value == 0);
    value = 7;
    CHECK(KORAL_IOGetDigInput3(&value, 1) == 0 && value == 1);
    CHECK(KORAL_IOGetDigInput1(NULL, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 1, "KORAL_IOGetDigIntput1");
}

static void checkOutputs(void) {
    int32_t (*const set[3])(int32_t, uint32_t) = {KORAL_IOSetDigOutput1, KORAL_IOSetDigOutput2,
                                                  KORAL_IOSetDigOutput3};
    int line;
    CHECK(boardOutputs() == 0);
    for (line = 0; line < 3; ++line) {
        CHECK(KORAL_IsDigOutputAvailable(line + 1, 1) == 1);
        CHECK(KORAL_IsDigInputAvailable(line + 1, 1) == 1);
        CHECK(set[line](1, 1) == 0);
        CHECK(boardOutputs() == (1u << (line + 1)) - 1u);
    }
    /* -1 is high too; any other level is low. */
    CHECK(KORAL_IOSetDigOutput2(-1, 1) == 0 && boardOutputs() == 7);
    CHECK(KORAL_IOSetDigOutput2(2, 1) == 0 && boardOutputs() == 5);
    CHECK(KORAL_IOSetDigOutput1(0, 1) == 0 && boardOutputs() == 4);
    CHECK(KORAL_IOSetDigOutput3(0, 1) == 0 && boardOutputs() == 0);
    /* The front-end select lines need an ISA board with a multiplexer. */
    CHECK(KORAL_IOSetFEESEL0(1, 1) == -1);
    CHECK(KORAL_IsDigOutputAvailable(4, 1) == 0);

    CHECK(KORAL_ParaSetInputLatchMode(2, 1) == 0);
    CHECK(boardLines().latchMode == 2);
    CHECK(KORAL_ParaSetInputLatchMode(5, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 848, 1, "KORAL_ParaSetInputLatchMode");
}

static void checkTemperatures(void) {
    TemperatureRecord record;
    float one = 0.0f;
    double board = 0.0;
    memset(&record, 0, sizeof record);
    record.size = sizeof record;
    CHECK(KORAL_I2C_GetAllTemperatures(0, &record, 1) == 0);
    CHECK(record.count == 2);
    CHECK(record.sensorId[0] == 1 && record.sensorId[1] == 2);
    CHECK(fabsf(record.temperature[0] - 23.50f) < 1e-4f);
    CHECK(fabsf(record.temperature[1] - 31.25f) < 1e-4f);
    CHECK(KORAL_I2C_GetTemperature(0, 0, &one, 1) == 0 && fabsf(one - 23.50f) < 1e-4f);
    CHECK(KORAL_I2C_GetTemperature(0, 1, &one, 1) == 0 && fabsf(one - 31.25f) < 1e-4f);
    CHECK(KORAL_I2C_GetTemperature(0, 2, &one, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 831, 0, "KORAL_I2C_GetTemperature");
    record.size = 48;
    CHECK(KORAL_I2C_GetAllTemperatures(0, &record, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 847, 0, "KORAL_I2C_GetAllTemperatures");
    /* The board's own sensor is read over I2C on types 5 and 8 only. */
    CHECK(KORAL_GetBoardTemperature(1, &board) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 804, 1, "KORAL_GetBoardTemperature");
}

static void checkQueriesAndStubs(void) {
    uint32_t mode = 9, setting = 9, channels = 9, version = 0;
    CHECK(KORAL_ParaGetMUXSettings(&mode, &setting, &channels, 1) == 0);
    CHECK(mode == 0 && setting == 1 && channels == 1);
    CHECK(KORAL_ParaGetPLDVersion(&version, 0, 1) == 0 && version == 204);
    CHECK(KORAL_GetSerialNumber(4, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 1, "KORAL_GetSerialNumber");
    CHECK(KORAL_GetSerialNumber(2, 1) >= 0);
    CHECK(KORAL_ParaSetFlashPolarity(-1, 1) == 0);
    CHECK(KORAL_ParaSetFlashPolarity(2, 1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 505, 0, 1, "KORAL_ParaSetFlashPolarity");
    CHECK(KORAL_ParaSetTriggerDelay(0, 1) == -1);
    CHECK(KORAL_ParaSetTriggerDelay(65535, 1) == 0);

    CHECK(KORAL_ParaSet_CallBack_Acq_Status(1, 2, 3) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 819, 0, "KORAL_ParaSet_CallBack_Acq_Status");
    CHECK(KORAL_SetShutterPosition(1, 2, 3, 4) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 819, 0, "KORAL_SetShutterPosition");
    CHECK(KORAL_GetSpectraEx(1, 2) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 819, 0, "KORAL_GetSpectraEx");
    CHECK(KORAL_IOGetDigInputs(1, 2, 3) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 819, 0, "KORAL_IOGetDigInputs");
    CHECK(KORAL_IOSetDigOutputs(1, 2, 3) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 506, 819, 0, "KORAL_IOSetDigOutputs");
}

/* The shutter on digital output 2 (polarity 0: high closes): the dark
 * current closes it and opens it again; shutter control mode 1 keeps it
 * closed between spectra. */
static void checkShutter(void) {
    uint32_t handle = 0;
    uint32_t commands = 0;
    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    CHECK(KORAL_IOSetDigOutput2(0, 1) == 0);
    commands = boardLines().outputCommands;
    CHECK(KORAL_GetDarkCurrentWithShutter(0, 1) == 0);
    CHECK(boardLines().outputCommands == commands + 2); /* closed, then opened */
    CHECK(boardOutputs() == 0);
    CHECK(KORAL_ParaSetShutterControlMode(1, 0) == 0);
    CHECK(boardOutputs() == 2); /* closed */
    commands = boardLines().outputCommands;
    CHECK(KORAL_GetSpectra(1) == 0);
    CHECK(boardLines().outputCommands == commands + 2); /* opened, then closed */
    CHECK(boardOutputs() == 2);
    CHECK(KORAL_ParaSetShutterControlMode(0, 0) == 0);
    CHECK(boardOutputs() == 0);
    CHECK(KORAL_FreeRawData(&handle) == 0);
}

int main(void) {
    KORAL_ErrorMessages(0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0);
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);
    checkInputs();
    checkOutputs();
    checkTemperatures();
    checkQueriesAndStubs();
    checkShutter();
    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    return checkResult();
}
