#pragma once
// The link to the serial electronics QRE (interface type 3, a COM port,
// optionally RS485) and to the serial multiplexers MUX-KRD and MUX-KRL: the
// layers of the link (port, frames, transfer state machine, executors and
// blocks) and the operations of the electronics that the core, the engine
// and the configuration code call.
//
// Everything runs in the caller's thread; callers hold the DeviceLock where a
// device operation is under way, and the link takes no lock of its own.

#include "serial/qre_module.h"

#include <cstddef>
#include <cstdint>

namespace tarvik {

inline constexpr std::size_t kQreConfigurationBlockSize = qre::kConfigurationBlockSize;

// --- opening, initialising, closing
int32_t OpenQreDevice(int32_t flags);       // 0, or -1 with the record's info 814/815
int32_t InitializeQreDevice(int32_t flags); // 0 done, non-zero failed with the record written
int32_t CloseQrePort();                     // 1: the port is closed

// --- parameters and acquisition
int32_t SendQreWorkModeParameters(); // by the actual slot's WorkMode; 0 or -1 with record
int32_t SendQreParametersWorkMode1();
int32_t SendQreParametersWorkMode2();
int32_t SendQreParametersWorkMode3();
int32_t SendQreParametersWorkMode3New();
int32_t SendQreParametersWorkMode4();
int32_t SendQreParametersWorkMode5();
// Limits a time (µs) to what the board takes; true when it takes the time
// directly as microsecond counts. Sets *maximum and *minimum.
bool ClampIntegrationTime(uint32_t* time, uint32_t* maximum, uint32_t* minimum);
int32_t AcquireQreSpectra(int32_t interfaceId); // 0, -2 warning, other failed
int32_t WaitMuxSwitchDelay(int32_t interfaceId, int32_t delayMs, int32_t waitFlag);

// --- digital lines and I2C of the serial electronics
int32_t SetQreDigitalOutput2();
int32_t ClearQreDigitalOutput2();
int32_t GetQreDigitalInput1();
// One transfer through the actual slot's electronics and the link's block 11
// (bytes 2..5 and 8..15 filled by the caller, 16..23 the answer): 1 done, or
// -1..-4, the step that failed.
int16_t RunQreI2cTransfer();
// 1 when the error list or the actual slot's status holds an error of the
// class (1 starts and waits, 2 commands and block writes, 3..6 parts of them).
int32_t CheckQreErrors(int32_t errorClass);
// Writes the first error of the class into the LastErrorRecord: 1, or 0
// when there is none (the record untouched).
int32_t ReportQreErrors(int32_t errorClass);

// --- serial multiplexer (MUX-KRD, type 7, and MUX-KRL, type 9, each on a
// COM port of its own per slot; port number 0: switching only records the
// channel)
// Opens and configures the slot's port (serialMuxPortNumber), asks a MUX-KRL
// for its assembly: 0 or the platform error.
int32_t OpenMuxPort(int32_t interfaceId);
int32_t CloseMuxPort(int32_t interfaceId); // 0 or the platform error
// 0 switched or nothing to do, -1 the multiplexer answered "error", -2 no
// fitting answer within 1,000 ms, or a platform error of the port.
int32_t SelectMuxChannelSerial(int32_t channel, int32_t interfaceId);
int32_t GetSerialMuxChannelCount(int32_t interfaceId);
int32_t GetConfigVariantCode(int32_t interfaceId);

} // namespace tarvik
