#pragma once
// The wire protocol to the board: one small function per vendor request, the
// transfer rules, and the helpers that turn a failed transfer into the
// board's own error. Every transfer has a time-out on the platform clock.
//
// Results are the USB layer's status values (0 success, else an errno value,
// ETIMEDOUT after a time-out); nothing is sent to a removed board (ENODEV).

#include "device_extension.h"
#include "request_block.h"

#include "platform/usb.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kavrin {

// Vendor request codes.
inline constexpr uint8_t VR_INTERNAL_LOAD = 0xA0; // the chip's own loader
inline constexpr uint8_t VR_EXTERNAL_LOAD = 0xA3; // served by the loader image
inline constexpr uint8_t VR_DEINIT = 0xD0;
inline constexpr uint8_t VR_INIT = 0xD1;
inline constexpr uint8_t VR_GS = 0xD2;
inline constexpr uint8_t VR_SET_DO = 0xD3;
inline constexpr uint8_t VR_GET_DI = 0xD4;
inline constexpr uint8_t VR_I2C_OP = 0xD8;
inline constexpr uint8_t VR_SETDIM = 0xD9;
inline constexpr uint8_t VR_GERR = 0xDB;
inline constexpr uint8_t VR_GETFWID = 0xDC;
inline constexpr uint8_t VR_REINIT = 0xDE;
inline constexpr uint8_t VR_JTAG = 0xDF;
inline constexpr uint8_t VR_STOP = 0xE0;
inline constexpr uint8_t VR_I2C_CHECK = 0xE1;
inline constexpr uint8_t VR_GET_ALLTEMPS = 0xE2;
inline constexpr uint8_t VR_GET_ONETEMP = 0xE3;

// The microcontroller's CPU control register (bit 0 holds the CPU in reset).
inline constexpr uint16_t kCpuControlRegister = 0xE600;

// Time-outs in milliseconds.
inline constexpr uint32_t kLoadRecordTimeoutMs = 500;
inline constexpr uint32_t kCpuControlTimeoutMs = 1000;
inline constexpr uint32_t kCommandTimeoutMs = 1000;
inline constexpr uint32_t kI2cTimeoutMs = 2000;
inline constexpr uint32_t kI2cLongTimeoutMs = 12000;
// Standard requests and the logic-device sub-commands are bounded as well, so
// that a board that stops answering never holds plug and play or a client.
inline constexpr uint32_t kStandardRequestTimeoutMs = 5000;
inline constexpr uint32_t kJtagTimeoutMs = 10000;

// Bulk and interrupt reads go in pieces of at most this many bytes.
inline constexpr std::size_t kMaxPipePiece = 65536;
// The scan pipe is the interface's third pipe.
inline constexpr std::size_t kScanPipeIndex = 2;

inline constexpr std::size_t kInitParameterBlockSize = 36;

// The reply of VR_GERR: six 16-bit words, word 0 the board's error code (0
// none), word 2 its info.
struct DEVICE_ERROR_BLOCK {
    std::array<uint16_t, 6> words{};
    uint16_t code() const { return words[0]; }
    uint16_t info() const { return words[2]; }
};

// --- transfers (the one road of every request to the board)

platform::usb::TransferResult VendorOut(DEVICE_EXTENSION& device, uint8_t request, uint16_t value,
                                        uint16_t index, std::span<const uint8_t> data,
                                        uint32_t timeoutMs);
// An IN answer shorter than data is a failure (EREMOTEIO).
platform::usb::TransferResult VendorIn(DEVICE_EXTENSION& device, uint8_t request, uint16_t value,
                                       uint16_t index, std::span<uint8_t> data, uint32_t timeoutMs);

// Reads into data from a pipe of the selected interface (by index) in pieces
// of at most kMaxPipePiece bytes, each with the time-out, until data is full.
// shortAllowed: a short piece is followed by the next one; otherwise it ends
// the read with EREMOTEIO, and so does an empty piece. The result's length
// counts every byte read. givenUp, when set, is asked once each piece is in
// flight: true ends the read with ECANCELED, so that an abort of the pipe
// that came before the piece was posted still ends it.
platform::usb::TransferResult ReadPipe(DEVICE_EXTENSION& device, std::size_t pipeIndex,
                                       std::span<uint8_t> data, uint32_t timeoutMs,
                                       bool shortAllowed,
                                       const std::function<bool()>& givenUp = {});

// One read of at most data.size() bytes from a pipe, short allowed, ended by
// the first short or empty packet or the time-out; givenUp as for ReadPipe.
platform::usb::TransferResult ReadPipeOnce(DEVICE_EXTENSION& device, std::size_t pipeIndex,
                                           std::span<uint8_t> data, uint32_t timeoutMs,
                                           const std::function<bool()>& givenUp = {});

// Whether the board ends a transfer of this many bytes with a zero-length
// packet on the pipe: it does so when the transfer fills its last packet. A
// streamed frame is one transfer.
bool EndsWithZeroLengthPacket(const DEVICE_EXTENSION& device, std::size_t pipeIndex,
                              uint64_t transferBytes);

// A whole frame's read posted ahead, in the same pieces, none short: the
// continuous reader keeps several posted, so that the board's next frame
// finds one while the last is handed on. A frame that fills its last packet
// is read up to the zero-length packet that ends it: otherwise that packet
// would end the next frame's read before the frame came.
struct PostedFrameRead {
    PostedFrameRead() = default;
    PostedFrameRead(PostedFrameRead&&) noexcept = default;
    PostedFrameRead& operator=(PostedFrameRead&&) = delete;
    // The board fills a read until it is cancelled: the reads end before
    // the end packet's room goes.
    ~PostedFrameRead() { pieces.clear(); }

    std::vector<platform::usb::PostedRead> pieces;
    // Room for the end packet; its read is the last of pieces.
    std::vector<uint8_t> end;
    // The bus had no memory for a piece (ENOMEM): nothing of the frame is
    // posted, and the reads posted before it go on.
    bool noMemory = false;
    // Given by the wait after the pieces posted: a piece refused for another
    // reason, or the bytes of the stream that the frame's pieces had taken
    // when they were taken back for want of memory (ECANCELED).
    std::optional<platform::usb::TransferResult> failure;
};
// Posts the pieces of data in order, up to the first the layer refuses.
// Nothing is posted to a removed board.
PostedFrameRead PostFrameRead(DEVICE_EXTENSION& device, std::size_t pipeIndex,
                              std::span<uint8_t> data);
// Waits for the pieces in order, each at most timeoutMs from the end of the
// previous one; the first failure ends the wait (the pieces after it stay
// posted until the read is dropped). The length counts every byte read. An
// end read that brought bytes instead of the empty packet fails (EPROTO):
// the pipe is out of step with the frames.
platform::usb::TransferResult WaitFrameRead(PostedFrameRead& read, uint32_t timeoutMs);

// --- the vendor requests

int SetCpuReset(DEVICE_EXTENSION& device, bool hold);
int InternalLoad(DEVICE_EXTENSION& device, uint16_t address, std::span<const uint8_t> data);
int ExternalLoad(DEVICE_EXTENSION& device, uint16_t address, std::span<const uint8_t> data);
int SendDeinit(DEVICE_EXTENSION& device);
// wValue 1 when the interval counts changed (time-out 1 s + pixelCount / 100
// ms), else 0 (1 s); wIndex pixelCount / 100 + 100.
int SendInit(DEVICE_EXTENSION& device, std::span<const uint8_t, kInitParameterBlockSize> block,
             bool intervalCountsChanged, uint32_t pixelCount);
int StartScan(DEVICE_EXTENSION& device);
int SetDigitalOutput(DEVICE_EXTENSION& device, uint32_t digitalOutputWord);
// The board's 4-byte answer as it came (the command moves it into place).
int GetDigitalInput(DEVICE_EXTENSION& device, uint32_t digitalInputWord, uint32_t& answer);
int SetInputLatchMode(DEVICE_EXTENSION& device, uint32_t digitalInputWord);
// wValue operation << 8 | address, wIndex the register; data goes out or
// comes in as the operation says.
int I2cOperation(DEVICE_EXTENSION& device, uint8_t operation, uint8_t address, uint16_t index,
                 std::span<uint8_t> data, bool in, bool longTimeout);
int I2cCheck(DEVICE_EXTENSION& device, uint8_t address, std::array<uint8_t, 12>& answer);
int GetAllTemperatures(DEVICE_EXTENSION& device, std::array<uint8_t, 34>& answer);
int GetOneTemperature(DEVICE_EXTENSION& device, uint16_t sensor, uint16_t& temperature);
int Jtag(DEVICE_EXTENSION& device, uint16_t subCommand, uint16_t pinOrLevel,
         std::span<uint8_t> data, bool in);
int ReadDeviceErrorBlock(DEVICE_EXTENSION& device, DEVICE_ERROR_BLOCK& block);
int ReadFirmwareIdBlock(DEVICE_EXTENSION& device, FIRMWARE_ID_BLOCK& block);

// --- requests with the driver's rules around them

// VR_GETFWID into the device's identity (refused when surprise-removed); a
// failed read aborts the first pipe.
int ReadFirmwareId(DEVICE_EXTENSION& device);
// The board's error code (word 0 of VR_GERR); a failed read aborts the first
// pipe.
int ReadDeviceError(DEVICE_EXTENSION& device, uint16_t& code);
// After a failed transfer: Status 155 for a surprise-removed board; else
// VR_GERR: unreadable gives 152 (first pipe aborted), a board code goes to
// Status with its info in StatusInfo, no code gives 141; then the scan pipe
// is reset.
void ReportDeviceError(DEVICE_EXTENSION& device, RequestBlock& block);
// What a command does when one of its transfers failed: on a started board
// the first pipe is aborted and the board's error reported; a board that
// left or stopped meanwhile gives 155, so that the command never answers as
// if the transfer had gone.
void ReportTransferFailure(DEVICE_EXTENSION& device, RequestBlock& block);
// VR_REINIT (nothing on generation 2) and VR_STOP; a failure on a started
// board aborts the first pipe (the scan reader must then stop: the caller's).
int RestartStreaming(DEVICE_EXTENSION& device, uint32_t keptPixelCount);
int StopStreaming(DEVICE_EXTENSION& device, uint32_t pixelCount);
// Ends the transfers on one pipe (refused when surprise-removed), or on every
// pipe in turn.
int AbortPipe(DEVICE_EXTENSION& device, std::size_t pipeIndex);
int AbortAllPipes(DEVICE_EXTENSION& device);
// Clears a halt of the scan pipe: EIO without interface information, EINVAL
// when the interface has no third pipe.
int ResetPipe(DEVICE_EXTENSION& device);
// Whether the board runs at high speed.
bool QueryUsbBusInterface(DEVICE_EXTENSION& device);

} // namespace kavrin
