#pragma once
// The lowest layer of the link to the serial electronics QRE: the one COM
// port of the link (shared by every QRE slot), writes and exact reads of raw
// frames, the RS485 direction by RTS, the link's millisecond clock and waits,
// and the error list that collects every failure as a negative code.
//
// Nothing here shows a message or touches the LastErrorRecord. Caller's
// thread only, no lock inside: the callers hold the DeviceLock for a whole
// exchange.

#include "platform/clock.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvik {

// Codes of the link's error list.
namespace qre {
inline constexpr int32_t kErrFirmwareNotCorrect = -21; // "ERR FIRMWARENOTCORRECT"
inline constexpr int32_t kErrBlockToSend = -31;        // unknown or above 5,120 bytes
inline constexpr int32_t kErrTimeoutDataReady = -71;   // "ERR TIMEOUTDATAREADY"
inline constexpr int32_t kErrTimeoutQreReady = -72;    // "ERR TIMEOUTQREREADY"
inline constexpr int32_t kErrDestinationNibbles = -100;
inline constexpr int32_t kErrSourceNibbles = -101;
inline constexpr int32_t kErrXor = -102;
inline constexpr int32_t kErrSum = -103;
inline constexpr int32_t kErrFrameIncomplete = -104; // started, then 200 polls without bytes
inline constexpr int32_t kErrDataLength = -150;      // payload length other than 40
inline constexpr int32_t kErrDataType = -151;        // another block type than asked for
inline constexpr int32_t kErrFirstFlag = -152;
inline constexpr int32_t kErrFrameOrder = -153;   // index neither expected nor the one before
inline constexpr int32_t kErrNoStorage = -154;    // block type without storage
inline constexpr int32_t kErrPayloadUsed = -155;  // more than 40 bytes used
inline constexpr int32_t kErrBusy = -201;         // a state asked for while a reply is awaited
inline constexpr int32_t kErrUnknownState = -202; // requested state unknown
inline constexpr int32_t kErrReplyTimeout = -203;
inline constexpr int32_t kErrComRepeatLimit = -204; // "ERR COMREPEATLIMIT"
inline constexpr int32_t kErrSettingsMismatch = -250;
inline constexpr int32_t kErrPortClose = -301;
inline constexpr int32_t kErrPortOpen = -303;
inline constexpr int32_t kErrBaudRate = -308;
inline constexpr int32_t kErrPortWrite = -310;
// The port failed under an exchange (closed, gone, refusing reads or
// writes): the exchange ended at once. "ERR COMPORT NOT AVAILABLE"
inline constexpr int32_t kErrComPortNotAvailable = -320;
inline constexpr int32_t kErrPlatform = -501;
inline constexpr int32_t kErrPlatformAccess = -506; // access refused or a bad handle
} // namespace qre

// The port's set-up (one record for the link; ResetQrePortSettings writes
// these defaults when the library is loaded).
struct QrePortSettings {
    uint16_t portNumber = 2;    // COM port 1..8; any other opens "COM1"
    uint32_t baudRate = 115200; // line speed
    uint8_t byteSize = 8;
    uint8_t parity = 2;              // the platform's code: 2 even
    uint8_t stopBits = 0;            // the platform's code: 0 one
    uint32_t binaryFlag = 1;         // bit 0 used
    uint32_t parityCheck = 1;        // bit 0 used
    uint8_t transmission = 0;        // Trans: 1 RS485 with RTS switching; 0, 2 a plain line
    uint32_t maxTransmitQueue = 0;   // the port's transmit queue; 0 unknown (no check)
    uint32_t maxReceiveQueue = 0;    // kept, not used
    uint16_t rs485StopPeriod = 2500; // kept, not used by the transport
};

inline constexpr uint8_t kQreTransRs485 = 1;

// The error list: word 0 the count (0..1024), words 1..1024 the codes in the
// order they were pushed, word 1025 the overflow flag, word 1026 the
// has-error flag.
struct QreErrorList {
    static constexpr std::size_t kCapacity = 1024;
    static constexpr std::size_t kOverflow = 1025;
    static constexpr std::size_t kHasError = 1026;
    std::array<int16_t, 1027> words{};

    int16_t count() const { return words[0]; }
    bool overflow() const { return words[kOverflow] != 0; }
    bool hasError() const { return words[kHasError] != 0; }
    // Entry 1..count.
    int16_t entry(std::size_t index) const { return words[index]; }
    bool holds(int32_t code) const;
};

// --- port (1 done, 0 failed with the cause in the error list)
int32_t OpenQrePort();
int32_t ConfigureQrePort();
// A port that is not open counts as closed; the handle is gone afterwards in
// every case.
int32_t CloseQrePortHandle();
bool IsQrePortOpen();
// Writes the first n bytes (8 or 48) of the transmit frame; with Trans 1 the
// RTS line is raised for it and dropped once the frame is on the line (also
// after a failed write).
int32_t WriteQrePort(std::size_t n);
// Reads as many bytes as the receive record asks for into `buffer`, waiting
// until they are there, the port's read time-out or `deadline`: the count
// read (fewer when the wait ended first), 0 for nothing or a failure.
int32_t ReadQrePort(uint8_t* buffer, platform::TimePoint deadline = platform::TimePoint::max());
void PurgeQreReceive();
void SetQreRts();
void ClearQreRts();
// mode 0: the thread's last platform error (and the port's error state is
// cleared); mode 1: the given one. A nonzero error pushes -501, and -506
// after it when access was refused or the handle bad.
void ReportQrePortError(int32_t mode, uint32_t platformError);

// --- time
// Milliseconds within the current hour of the platform's monotonic clock.
int32_t GetQreClock();
// GetQreClock() - start, across the hour's wrap.
int32_t GetQreElapsedMs(int32_t start);
// Waits ms milliseconds on the platform clock; 1.
int32_t QreSleep(uint32_t milliseconds);
void QreWaitMs(uint32_t milliseconds);

// --- error list
void ClearQreErrorList();
// 1, or 0 when the list was full (the newest entry was replaced).
int32_t PushQreError(int32_t code);
// The newest code; 0 when the list is empty.
int32_t GetLastQreError();

int32_t ResetQrePortSettings(); // 0

} // namespace tarvik
