#pragma once
// The board status codes the driver writes into the request block's Status
// and Warning fields (the library turns them into its hardware errors).

#include <cstdint>

namespace kavrin {

inline constexpr uint16_t kBoardStatusFirmwareMissing = 1;   // image missing or download failed
inline constexpr uint16_t kBoardStatusReaderFailed = 102;    // reader failed 10 times in a row
inline constexpr uint16_t kBoardStatusBadTerminator = 105;   // a scan without 0xFF 0x00
inline constexpr uint16_t kBoardStatusRestartFailed = 140;   // VR_REINIT failed
inline constexpr uint16_t kBoardStatusCommunication = 141;   // transfer failed, board silent
inline constexpr uint16_t kBoardStatusNotStarted = 142;      // device not started
inline constexpr uint16_t kBoardStatusSensorMissing = 143;   // first-request check
inline constexpr uint16_t kBoardStatusFrontEndMissing = 144; // first-request check
inline constexpr uint16_t kBoardStatusIncompleteFrame = 146; // short single-mode frame
inline constexpr uint16_t kBoardStatusFirstRequest148 = 148; // first-request check
inline constexpr uint16_t kBoardStatusModeNotAvailable = 150;
inline constexpr uint16_t kBoardStatusWrongWorkMode = 151;   // I2C etc. while scanning
inline constexpr uint16_t kBoardStatusErrorUnreadable = 152; // VR_GERR itself failed
inline constexpr uint16_t kBoardStatusInvalidData = 153;
inline constexpr uint16_t kBoardStatusBufferTooSmall = 154;
inline constexpr uint16_t kBoardStatusStopped = 155; // surprise-removed or stopped
inline constexpr uint16_t kBoardStatusFirmwareUnsupported = 156;
inline constexpr uint16_t kBoardStatusNoMemory = 157;
inline constexpr uint16_t kBoardStatusOverflow = 158;
inline constexpr uint16_t kBoardStatusNoSpectra = 159;
inline constexpr uint16_t kBoardStatusI2cNoAcknowledge = 165;
inline constexpr uint16_t kBoardStatusI2cCompare = 166;
inline constexpr uint16_t kBoardStatusCpldStreamTooSmall = 171;
inline constexpr uint16_t kBoardStatusCpldAborted = 172;

inline constexpr uint16_t kBoardWarningBufferFull = 194;
inline constexpr uint16_t kBoardWarningFrameDropped = 195;
inline constexpr uint16_t kBoardWarningScansLost = 196;
inline constexpr uint16_t kBoardWarningSaturationLow = 198;  // 0x8000 in the window
inline constexpr uint16_t kBoardWarningSaturationHigh = 199; // 0x7FFF in the window

} // namespace kavrin
