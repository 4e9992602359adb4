#pragma once
// AcquireSpectra: the one acquisition engine behind the spectrum and
// dark-current exports. It selects the initialised, active slots of one
// interface ID or of all, switches their multiplexers pass by pass, sizes each
// block's data area, starts every worker before it waits, and hands each
// finished slot to the spectrum preparation. The shutter step around an
// acquisition is here too.

#include "tarvik_request_block.h"

#include <cstdint>

namespace tarvik {

struct DeviceSlot;

inline constexpr int32_t kAcquireDarkCurrent = 0;
inline constexpr int32_t kAcquireSpectra = 1;

// Steps of other parts (digital lines, light-source modules, hardware
// flash), reached through replaceable hooks. A null hook is "not there": no
// lamp or flash module, and a line or flash setting that succeeds without
// effect. Installed before any export runs, and by tests; the digital lines
// are installed from the start.
//   setDigOutput(line 1 or 2, value, ID): KORAL_IOSetDigOutput1/2, 0 or -1
//     with the record written.
//   lampShutter(ID, component 1.., open): 0 or -1.
//   setHardwareFlashMode(mode, ID): KORAL_ParaSetHardwareFlashMode, 0 or -1.
//   slotHasLightSourceModule(ID or 0, kind 1 flash, 0/2 lamp).
//   lampComponentPresent(ID, component 1..): a lamp module is there.
struct AcquisitionHooks {
    int32_t (*prepareSpectrumData)(int32_t mode) = nullptr;
    int32_t (*setDigOutput)(int32_t line, int32_t value, int32_t interfaceId) = nullptr;
    int32_t (*lampShutter)(int32_t interfaceId, int32_t component, bool open) = nullptr;
    int32_t (*setHardwareFlashMode)(int32_t mode, int32_t interfaceId) = nullptr;
    bool (*slotHasLightSourceModule)(int32_t interfaceId, int32_t kind) = nullptr;
    bool (*lampComponentPresent)(int32_t interfaceId, int32_t component) = nullptr;
};
// The hooks in force (prepareSpectrumData defaults to the preparation).
AcquisitionHooks& acquisitionHooks();
void resetAcquisitionHooks();

// Data-area words for one slot's acquisition, writing the block's
// AcquisitionMode and NumScans as the acquisition does; `savedMode` gets the
// AcquisitionMode from before for a dark-current acquisition.
uint32_t PrepareDataArea(int32_t mode, DeviceSlot& slot, uint16_t* savedMode);

// mode 1 spectra, 0 dark current; ID 0 every slot. 0, -2 warning, -1 failed
// with the record written. Takes the DeviceLock.
int32_t AcquireSpectra(int32_t mode, int32_t interfaceId);

// Time stamp of the records of the channels the last acquisition filled.
bool StampRecordTime(int32_t interfaceId);

// Opens (1) or closes (0) the shutter of the slot or of every slot (ID 0),
// then waits the delay. 0 or -1 with the record written.
int32_t SetAcquisitionShutter(int32_t interfaceId, uint32_t delayMs, int32_t open);
bool WaitAfterShutterSwitch(int32_t interfaceId, uint32_t delayMs);

// Rounds value to a multiple of step: mode 0 nearest, 1 up, others down.
void RoundIntegrationTime(double& value, double step, int32_t mode);
double FlashCountToTime(double interval, uint32_t code);

} // namespace tarvik
