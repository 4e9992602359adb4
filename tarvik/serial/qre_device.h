#pragma once
// The device layer of the serial electronics QRE: the steps of its open,
// initialise and global reset, the parameter blocks built from the slot, the
// exchange sequences that send them and start the electronics, and the
// recovery after a failed sequence. Everything works on the actual interface
// ID under the DeviceLock its export holds.
//
// Steps and sequences return 1, or the negated number of the step that
// failed; the operations built on them 0 or -1 with the LastErrorRecord
// written.

#include "serial/qre_slot.h"

#include <cstdint>

namespace tarvik {

// --- slot selection and records
// The slot's RS485 address as destination, an empty error list and its blocks
// selected (the actual interface ID).
void SelectQreActualSlot();
int32_t CopyQreSettingsToSlot(); // 0: settings block -> mirror fields
int32_t ResetQreState();         // 1: block defaults, empty error list

// After a failed sequence: the error into the record, command 7, the status
// words cleared; -1. 0 when nothing failed (the list and the status hold no
// error).
int32_t RecoverQreFailure();

// --- open and reset steps
int32_t OpenAndConfigureQrePort(); // 1, or 0 with the port's error in the list
int32_t ProbeQre();                // 1, -1 status poll, -2 command 6
int32_t ReadQreInitialBlocks();    // 1, or -1..-8
int32_t GlobalResetQre();          // 1, -1 refused or failed, -2 no answer (-72)

// --- parameter blocks
// Copies the mirror fields and the slot's sensor set-up into the settings and
// parameter blocks: 0 unchanged, 1 settings changed, 2 parameters changed.
int32_t BuildQreParameterBlocks();
// The next build reports the settings as changed: a settings byte that the
// record does not mirror (display level, time factor) was written.
void MarkQreSettingsChanged();
// Milliseconds one measurement may take (averaged: by the average number).
int32_t EstimateQreMeasurementTime(int32_t averaged);
int32_t EstimateQreMeasurementTimeOf(const QreSlotBlocks& blocks, int32_t averaged);

// Builds the blocks, runs the sequence with the change result and, after a
// failure, puts the blocks back as they were and recovers: 0, or -1 with the
// record written.
int32_t SendQreParameterSet(int32_t (*sequence)(int32_t changed));

// --- exchange sequences (changed: the result of BuildQreParameterBlocks)
int32_t SendQreCleaningParameters(int32_t changed);
int32_t SendQreParametersAndWaitReady(int32_t changed);
int32_t StartQreContinuous(int32_t changed, int32_t noWait);
int32_t StartQreContinuousAveraged(int32_t changed);

// --- digital lines
int32_t WriteQreDigitalOutputs(); // 1, -1..-3
int32_t ReadQreStatus();          // 1, -1..-2

} // namespace tarvik
