#pragma once
// The one LastErrorRecord of the process, its save area, the two box flags,
// the ErrorDisplayFlagStack and the error box. Everything here is guarded by
// the ErrorLock. The record and the flags are static storage, so that the
// error exports work even when the library's set-up failed.

#include "tarvik.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvik {

// Codes of the ErrorCodeSpace that the core writes.
namespace code {
inline constexpr int32_t kAllocMemory = 201;        // "NOT ABLE TO ALLOC MEMORY"
inline constexpr int32_t kFreeMemory = 202;         // "NOT ABLE TO FREE MEMORY"
inline constexpr int32_t kReallocMemory = 205;      // "NOT ABLE TO REALLOC MEMORY"
inline constexpr int32_t kOpenDevice = 301;         // "NOT ABLE TO OPEN DEVICE"
inline constexpr int32_t kCloseDevice = 302;        // "NOT ABLE TO CLOSE DEVICE"
inline constexpr int32_t kDeviceIo = 303;           // "DEVICE IO NOT SUCCESSFUL"
inline constexpr int32_t kOpenRegistry = 305;       // "NOT ABLE TO OPEN REGISTRY"
inline constexpr int32_t kDeviceNotOpen = 504;      // "DEVICE NOT OPEN"
inline constexpr int32_t kInvalidParameter = 505;   // "INVALID PARAMETER VALUE"
inline constexpr int32_t kNotAvailable = 506;       // "FUNCTION NOT AVAILABLE"
inline constexpr int32_t kNotInitialized = 507;     // "DEVICE NOT INITIALIZED"
inline constexpr int32_t kAborted = 508;            // "FUNCTION ABORTED"
inline constexpr int32_t kDeviceNotAvailable = 511; // "DEVICE NOT AVAILABLE"
inline constexpr int32_t kFirmwareNoSupport = 156;  // "DRVERROR FIRMWARE DONT SUPPORT FUNCTION"
inline constexpr int32_t kInvalidWorkMode = 805;    // "INVALID SENSOR WORK MODE"
inline constexpr int32_t kInvalidUse = 808;         // "INVALID USE OF FUNCTION"
inline constexpr int32_t kNoMux = 812;              // "NO MUX AVAILABLE"
inline constexpr int32_t kQreDriverNotFound = 813;  // "QRE DRIVER NOT FOUND"
inline constexpr int32_t kInvalidInterfaceId = 818; // "INVALID INTERFACE ID"
inline constexpr int32_t kArrivalFailed = 838;      // "DEVICE ARRIVAL FAILED"
inline constexpr int32_t kDriverNoSupport = 310; // "FIRMWARE OR DRIVER DOES NOT SUPPORT FUNCTION"
inline constexpr int32_t kLoadingConfigurationFile = 311; // "LOADING CONFIGURATION FILE FAILED"
inline constexpr int32_t kMuxKrdCommunication = 512;      // "MUX KRD COMMUNICATION ERROR"
inline constexpr int32_t kInvalidSensorType = 801;        // "INVALID SENSORTYPE"
inline constexpr int32_t kInvalidSensorLength = 802;      // "INVALID SENSORLENGTH"
inline constexpr int32_t kInvalidInterfaceType = 804;     // "INVALID INTERFACE TYPE"
inline constexpr int32_t kFunctionNotSupported = 819;     // "FUNCTION NOT SUPPORTED"
inline constexpr int32_t kInvalidEepromValue = 826;       // "INVALID EEPROM VALUE"
inline constexpr int32_t kReadingEepromFrontEnd = 829;    // "READING EEPROM FRONTEND"
inline constexpr int32_t kReadingEepromMux = 830;         // "READING EEPROM MUX"
inline constexpr int32_t kInvalidSensorRows = 833;        // "INVALID SENSOR ROWS"
inline constexpr int32_t kAveragingAdapted = 836;         // "AVERAGING VALUE ADAPTED"
inline constexpr int32_t kFirmwareObsolete = 837;         // "FIRMWARE IS OBSOLETE"
inline constexpr int32_t kInvalidParameterSize = 847;     // "INVALID PARAMETER SIZE"
inline constexpr int32_t kMuxTypeNotSupported = 849;      // "MUX TYPE NOT SUPPORTED"
inline constexpr int32_t kMuxKrTimeout = 861;             // "MUX KR TIMEOUT COMMAND"
} // namespace code

// Name written by a failed set-up at load.
inline constexpr const char* kAttachFunctionName = "ATTACH TARVIK.DLL";

// Zeroes the record and the save area, switches both boxes on and empties
// the stack (at load).
void resetErrorState();

// Writes ID, level, code and info (the function name stays).
void recordError(int32_t interfaceId, int32_t level, int32_t code, int32_t info);
// Writes the info alone.
void recordErrorInfo(int32_t info);
// Copies at most 49 characters of the name and the terminator.
void recordFunctionName(const char* name);
// Info for a platform error: e + 1000, 0 when e is 0.
int32_t platformErrorInfo(uint32_t error);
LastErrorRecord lastErrorRecord();

void SaveLastError();
void RestoreLastError();

// The box flags; only 1 means on.
uint32_t errorBoxFlag();
void setErrorBoxFlag(uint32_t value);
uint32_t warningBoxFlag();
void setWarningBoxFlag(uint32_t value);

// ErrorDisplayFlagStack: 100 entries, top index 100 when empty.
inline constexpr int kErrorDisplayFlagStackSize = 100;
inline constexpr uint32_t kEmptyStackValue = 255;
void pushErrorDisplayFlag(uint32_t value); // nothing when full
uint32_t popErrorDisplayFlag();            // 255 when empty
bool isErrorDisplayFlagStackEmpty();

// Keeps the error box off for a nested export call: pushes the flag and
// switches the box off; at the end of the scope the flag comes from the stack
// again (0 when the user answered No to a box meanwhile).
class ErrorBoxOff {
public:
    ErrorBoxOff();
    ~ErrorBoxOff();
    ErrorBoxOff(const ErrorBoxOff&) = delete;
    ErrorBoxOff& operator=(const ErrorBoxOff&) = delete;
};

// The text of a value of the ErrorCodeSpace into buffer (truncated to size - 1
// bytes, terminated; nothing written for size 0): 0 for a value with a text,
// -1 otherwise (the "UNKNOWN ERROR CODE" or platform text then stands there).
int GetErrorText(int32_t value, char* buffer, size_t size);
std::string errorText(int32_t value);
// The text for a code and info pair (the rules of KORAL_GetErrorString).
std::string errorString(int32_t code, int32_t info);

// Shows the record in the error or warning box when its class is switched on.
// Called after an export has filled the record; never with the ErrorLock held
// by the caller (the box is modal).
void ShowErrorMessage();

} // namespace tarvik
