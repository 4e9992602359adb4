#pragma once
// Spectra from the serial electronics QRE: AcquireQreSpectra (qre_link.h)
// and the sequences it runs. Each sequence works on the selected slot and
// returns 1, or the negated number of the step that failed; the runs of all
// slots select each slot in turn and restore the actual interface ID.
//
// A spectrum is copied into the slot's request block only from a record
// read during the same acquisition.

#include <cstdint>

namespace tarvik {

// changed: the result of BuildQreParameterBlocks.
int32_t PrepareQreScan(int32_t changed);
int32_t RunQreScan(int32_t changed);
int32_t PrepareQreTriggeredScanPulse(int32_t changed);
int32_t PrepareQreTriggeredScanSlope(int32_t changed);
int32_t RunQreTriggeredScanPulse(int32_t changed, int32_t timeOutMs);
int32_t RunQreTriggeredScanSlope(int32_t changed, int32_t timeOutMs);

// The continuous scan of the selected slot: single or averaged, by command 8
// and a computed wait (newer firmware in work mode 3) or after the
// data-ready flag.
int32_t ReadQreContinuousScanNew();
int32_t ReadQreContinuousScan();
int32_t ReadQreAveragedScanNew();
int32_t ReadQreAveragedScan();

// Every initialised and active slot: started together (work modes 1 and 2)
// or on their triggers (interfaceId 0: armed at the start; -1: armed only
// when not armed already; -2: armed at the start and re-armed at the end).
int32_t RunQreScanAll();
int32_t RunQreTriggeredScanAllPulse(int32_t interfaceId);
int32_t RunQreTriggeredScanAllSlope(int32_t interfaceId);
// The armed flag of a trigger kind (1 pulse, 2 slope).
bool QreTriggerArmed(int32_t trigger);

} // namespace tarvik
