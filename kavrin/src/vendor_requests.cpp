#include "vendor_requests.h"

#include "board_status.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavrin {

namespace usb = platform::usb;

namespace {

bool gone(const DEVICE_EXTENSION& device) {
    const DeviceState state = device.state.load();
    return !device.usb || state == DeviceState::Removed || state == DeviceState::SurpriseRemoved;
}

usb::TransferResult refused() {
    return {ENODEV, 0};
}

// A fixed-size answer read into a record of 16-bit little-endian words.
template <std::size_t N>
int readWords(DEVICE_EXTENSION& device, uint8_t request, uint16_t value, uint16_t index,
              std::array<uint16_t, N>& words) {
    std::array<uint8_t, N * 2> bytes{};
    const usb::TransferResult result =
        VendorIn(device, request, value, index, bytes, kCommandTimeoutMs);
    if (result.ok()) {
        for (std::size_t i = 0; i < N; ++i) {
            words[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        }
    }
    return result.status;
}

uint16_t lowWord(uint32_t word) {
    return static_cast<uint16_t>(word & 0xFFFF);
}
uint16_t highWord(uint32_t word) {
    return static_cast<uint16_t>(word >> 16);
}

bool started(const DEVICE_EXTENSION& device) {
    return device.state.load() == DeviceState::Started;
}

} // namespace

usb::TransferResult VendorOut(DEVICE_EXTENSION& device, uint8_t request, uint16_t value,
                              uint16_t index, std::span<const uint8_t> data, uint32_t timeoutMs) {
    if (gone(device)) {
        return refused();
    }
    return device.usb->controlOut(usb::ControlSetup::vendorOut(request, value, index), data,
                                  timeoutMs);
}

usb::TransferResult VendorIn(DEVICE_EXTENSION& device, uint8_t request, uint16_t value,
                             uint16_t index, std::span<uint8_t> data, uint32_t timeoutMs) {
    if (gone(device)) {
        return refused();
    }
    return device.usb->controlIn(usb::ControlSetup::vendorIn(request, value, index), data,
                                 timeoutMs, usb::ShortTransfer::Error);
}

usb::TransferResult ReadPipe(DEVICE_EXTENSION& device, std::size_t pipeIndex,
                             std::span<uint8_t> data, uint32_t timeoutMs, bool shortAllowed,
                             const std::function<bool()>& givenUp) {
    if (gone(device)) {
        return refused();
    }
    if (pipeIndex >= device.pipes.size()) {
        return {ENOENT, 0};
    }
    const uint8_t endpoint = device.pipes[pipeIndex].bEndpointAddress;
    usb::TransferResult total;
    while (total.length < data.size()) {
        const std::size_t piece = std::min(kMaxPipePiece, data.size() - total.length);
        usb::PostedRead read =
            device.usb->postRead(endpoint, data.subspan(total.length, piece),
                                 shortAllowed ? usb::ShortTransfer::Ok : usb::ShortTransfer::Error);
        usb::TransferResult result;
        if (givenUp && givenUp()) {
            result = read.cancel();
            result.status = ECANCELED; // also when the piece came whole meanwhile
        } else {
            result = read.wait(timeoutMs);
        }
        total.length += result.length;
        if (!result.ok()) {
            total.status = result.status;
            break;
        }
        if (result.length == 0) {
            total.status = EREMOTEIO; // a board sending only empty packets never fills it
            break;
        }
    }
    return total;
}

usb::TransferResult ReadPipeOnce(DEVICE_EXTENSION& device, std::size_t pipeIndex,
                                 std::span<uint8_t> data, uint32_t timeoutMs,
                                 const std::function<bool()>& givenUp) {
    if (gone(device)) {
        return refused();
    }
    if (pipeIndex >= device.pipes.size()) {
        return {ENOENT, 0};
    }
    usb::PostedRead read = device.usb->postRead(device.pipes[pipeIndex].bEndpointAddress, data,
                                                usb::ShortTransfer::Ok);
    if (givenUp && givenUp()) {
        usb::TransferResult result = read.cancel();
        result.status = ECANCELED;
        return result;
    }
    return read.wait(timeoutMs);
}

bool EndsWithZeroLengthPacket(const DEVICE_EXTENSION& device, std::size_t pipeIndex,
                              uint64_t transferBytes) {
    if (pipeIndex >= device.pipes.size()) {
        return false;
    }
    const uint16_t packet = device.pipes[pipeIndex].maxPacketSize();
    return packet != 0 && transferBytes != 0 && transferBytes % packet == 0;
}

PostedFrameRead PostFrameRead(DEVICE_EXTENSION& device, std::size_t pipeIndex,
                              std::span<uint8_t> data) {
    PostedFrameRead read;
    if (gone(device) || pipeIndex >= device.pipes.size()) {
        return read;
    }
    const uint8_t endpoint = device.pipes[pipeIndex].bEndpointAddress;
    if (EndsWithZeroLengthPacket(device, pipeIndex, data.size())) {
        read.end.assign(device.pipes[pipeIndex].maxPacketSize(), 0);
    }
    const std::size_t pieces = (data.size() + kMaxPipePiece - 1) / kMaxPipePiece;
    for (std::size_t k = 0; k < pieces + (read.end.empty() ? 0 : 1); ++k) {
        const std::size_t offset = k * kMaxPipePiece;
        usb::PostedRead piece =
            k < pieces
                ? device.usb->postRead(
                      endpoint, data.subspan(offset, std::min(kMaxPipePiece, data.size() - offset)),
                      usb::ShortTransfer::Error)
                : device.usb->postRead(endpoint, read.end, usb::ShortTransfer::Ok);
        if (piece.pending()) {
            read.pieces.push_back(std::move(piece));
            continue;
        }
        const usb::TransferResult refusal = piece.wait(0);
        if (refusal.status != ENOMEM) {
            read.failure = refusal;
            return read;
        }
        // The pieces before it would take the start of a frame that no read
        // finishes: taken back, with whatever they read already.
        usb::TransferResult takenBack{ECANCELED, 0};
        for (usb::PostedRead& earlier : read.pieces) {
            takenBack.length += earlier.cancel().length;
        }
        read.pieces.clear();
        if (takenBack.length != 0) {
            read.failure = takenBack;
        } else {
            read.noMemory = true;
        }
        return read;
    }
    return read;
}

usb::TransferResult WaitFrameRead(PostedFrameRead& read, uint32_t timeoutMs) {
    if (read.pieces.empty() && !read.failure) {
        return refused();
    }
    usb::TransferResult total;
    for (std::size_t k = 0; k < read.pieces.size(); ++k) {
        const usb::TransferResult result = read.pieces[k].wait(timeoutMs);
        total.length += result.length;
        if (!result.ok()) {
            total.status = result.status;
            return total;
        }
        if (!read.end.empty() && k + 1 == read.pieces.size() && result.length != 0) {
            total.status = EPROTO;
            return total;
        }
    }
    if (read.failure) {
        total.status = read.failure->status;
        total.length += read.failure->length;
    }
    return total;
}

int SetCpuReset(DEVICE_EXTENSION& device, bool hold) {
    const uint8_t value = hold ? 1 : 0;
    return VendorOut(device, VR_INTERNAL_LOAD, kCpuControlRegister, 0, {&value, 1},
                     kCpuControlTimeoutMs)
        .status;
}

int InternalLoad(DEVICE_EXTENSION& device, uint16_t address, std::span<const uint8_t> data) {
    return VendorOut(device, VR_INTERNAL_LOAD, address, 0, data, kLoadRecordTimeoutMs).status;
}

int ExternalLoad(DEVICE_EXTENSION& device, uint16_t address, std::span<const uint8_t> data) {
    return VendorOut(device, VR_EXTERNAL_LOAD, address, 0, data, kLoadRecordTimeoutMs).status;
}

int SendDeinit(DEVICE_EXTENSION& device) {
    return VendorOut(device, VR_DEINIT, 0, 0, {}, kCommandTimeoutMs).status;
}

int SendInit(DEVICE_EXTENSION& device, std::span<const uint8_t, kInitParameterBlockSize> block,
             bool intervalCountsChanged, uint32_t pixelCount) {
    const uint32_t timeout =
        intervalCountsChanged ? kCommandTimeoutMs + pixelCount / 100 : kCommandTimeoutMs;
    return VendorOut(device, VR_INIT, intervalCountsChanged ? 1 : 0,
                     static_cast<uint16_t>(pixelCount / 100 + 100), block, timeout)
        .status;
}

int StartScan(DEVICE_EXTENSION& device) {
    return VendorOut(device, VR_GS, 0, 0, {}, kCommandTimeoutMs).status;
}

int SetDigitalOutput(DEVICE_EXTENSION& device, uint32_t digitalOutputWord) {
    return VendorOut(device, VR_SET_DO, lowWord(digitalOutputWord), highWord(digitalOutputWord), {},
                     kCommandTimeoutMs)
        .status;
}

int GetDigitalInput(DEVICE_EXTENSION& device, uint32_t digitalInputWord, uint32_t& answer) {
    std::array<uint8_t, 4> bytes{};
    const usb::TransferResult result =
        VendorIn(device, VR_GET_DI, lowWord(digitalInputWord), highWord(digitalInputWord), bytes,
                 kCommandTimeoutMs);
    if (result.ok()) {
        answer = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                 static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    }
    return result.status;
}

int SetInputLatchMode(DEVICE_EXTENSION& device, uint32_t digitalInputWord) {
    return VendorOut(device, VR_SETDIM, lowWord(digitalInputWord), highWord(digitalInputWord), {},
                     kCommandTimeoutMs)
        .status;
}

int I2cOperation(DEVICE_EXTENSION& device, uint8_t operation, uint8_t address, uint16_t index,
                 std::span<uint8_t> data, bool in, bool longTimeout) {
    const uint16_t value = static_cast<uint16_t>(operation << 8 | address);
    const uint32_t timeout = longTimeout ? kI2cLongTimeoutMs : kI2cTimeoutMs;
    return (in ? VendorIn(device, VR_I2C_OP, value, index, data, timeout)
               : VendorOut(device, VR_I2C_OP, value, index, data, timeout))
        .status;
}

int I2cCheck(DEVICE_EXTENSION& device, uint8_t address, std::array<uint8_t, 12>& answer) {
    return VendorIn(device, VR_I2C_CHECK, address, 0, answer, kCommandTimeoutMs).status;
}

int GetAllTemperatures(DEVICE_EXTENSION& device, std::array<uint8_t, 34>& answer) {
    return VendorIn(device, VR_GET_ALLTEMPS, 0, 0, answer, kCommandTimeoutMs).status;
}

int GetOneTemperature(DEVICE_EXTENSION& device, uint16_t sensor, uint16_t& temperature) {
    std::array<uint16_t, 1> word{};
    const int status = readWords(device, VR_GET_ONETEMP, 0, sensor, word);
    if (status == 0) {
        temperature = word[0];
    }
    return status;
}

int Jtag(DEVICE_EXTENSION& device, uint16_t subCommand, uint16_t pinOrLevel,
         std::span<uint8_t> data, bool in) {
    return (in ? VendorIn(device, VR_JTAG, subCommand, pinOrLevel, data, kJtagTimeoutMs)
               : VendorOut(device, VR_JTAG, subCommand, pinOrLevel, data, kJtagTimeoutMs))
        .status;
}

int ReadDeviceErrorBlock(DEVICE_EXTENSION& device, DEVICE_ERROR_BLOCK& block) {
    return readWords(device, VR_GERR, 0, 0, block.words);
}

int ReadFirmwareIdBlock(DEVICE_EXTENSION& device, FIRMWARE_ID_BLOCK& block) {
    std::array<uint16_t, 4> words{};
    const int status = readWords(device, VR_GETFWID, 0, 0, words);
    if (status == 0) {
        block = {words[0], words[1], words[2], words[3]};
    }
    return status;
}

int ReadFirmwareId(DEVICE_EXTENSION& device) {
    if (device.state.load() == DeviceState::SurpriseRemoved) {
        return ENODEV;
    }
    FIRMWARE_ID_BLOCK block;
    const int status = ReadFirmwareIdBlock(device, block);
    if (status != 0) {
        AbortPipe(device, 0);
        return status;
    }
    device.updateIdentity([&](BoardIdentity& identity) { identity.firmwareId = block; });
    return 0;
}

int ReadDeviceError(DEVICE_EXTENSION& device, uint16_t& code) {
    DEVICE_ERROR_BLOCK block;
    const int status = ReadDeviceErrorBlock(device, block);
    if (status != 0) {
        AbortPipe(device, 0);
        return status;
    }
    code = block.code();
    return 0;
}

void ReportDeviceError(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (device.state.load() == DeviceState::SurpriseRemoved) {
        block.set<rb::Status>(kBoardStatusStopped);
        return;
    }
    DEVICE_ERROR_BLOCK error;
    if (ReadDeviceErrorBlock(device, error) != 0) {
        AbortPipe(device, 0);
        block.set<rb::Status>(kBoardStatusErrorUnreadable);
        return;
    }
    if (error.code() != 0) {
        block.set<rb::Status>(error.code());
        block.set<rb::StatusInfo>(error.info());
    } else {
        block.set<rb::Status>(kBoardStatusCommunication);
    }
    ResetPipe(device);
}

void ReportTransferFailure(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (!started(device)) {
        // Removed between the command's check of the state and its transfer.
        block.set<rb::Status>(kBoardStatusStopped);
        return;
    }
    AbortPipe(device, 0);
    ReportDeviceError(device, block);
}

int RestartStreaming(DEVICE_EXTENSION& device, uint32_t keptPixelCount) {
    if (device.readIdentity().generation == 2) {
        return 0;
    }
    const int status = VendorOut(device, VR_REINIT, 1, static_cast<uint16_t>(keptPixelCount / 100),
                                 {}, kCommandTimeoutMs)
                           .status;
    if (status != 0 && started(device)) {
        AbortPipe(device, 0);
    }
    return status;
}

int StopStreaming(DEVICE_EXTENSION& device, uint32_t pixelCount) {
    const int status = VendorOut(device, VR_STOP, 1, static_cast<uint16_t>(pixelCount / 100), {},
                                 kCommandTimeoutMs)
                           .status;
    if (status != 0 && started(device)) {
        AbortPipe(device, 0);
    }
    return status;
}

int AbortPipe(DEVICE_EXTENSION& device, std::size_t pipeIndex) {
    if (gone(device)) {
        return ENODEV;
    }
    if (pipeIndex >= device.pipes.size()) {
        return ENOENT;
    }
    return device.usb->abortPipe(device.pipes[pipeIndex].bEndpointAddress);
}

int AbortAllPipes(DEVICE_EXTENSION& device) {
    int first = 0;
    for (std::size_t i = 0; i < device.pipes.size(); ++i) {
        const int status = AbortPipe(device, i);
        if (first == 0) {
            first = status;
        }
    }
    return first;
}

int ResetPipe(DEVICE_EXTENSION& device) {
    if (device.pipes.empty()) {
        return EIO;
    }
    if (device.pipes.size() <= kScanPipeIndex) {
        return EINVAL;
    }
    if (gone(device)) {
        return ENODEV;
    }
    return device.usb->resetPipe(device.pipes[kScanPipeIndex].bEndpointAddress);
}

bool QueryUsbBusInterface(DEVICE_EXTENSION& device) {
    return device.usb && device.usb->speed() == usb::UsbSpeed::High;
}

} // namespace kavrin
