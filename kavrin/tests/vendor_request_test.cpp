// The wire protocol: each vendor request's setup, data and time-out, the
// rules around failed transfers, and pipe reads in pieces.

#include "board_status.h"
#include "vendor_requests.h"

#include "kavrin_test_support.h"

#include "platform/clock.h"
#include "platform/usb_sim.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace {

using namespace kavrin;
namespace usb = platform::usb;

constexpr uint8_t kScanPipe = 0x86;

// Answers every vendor request (IN with the bytes set for it) and keeps what
// it saw; requests can be made silent or stalled.
struct RecordingDevice : usb::SimulatedDevice {
    struct Seen {
        usb::ControlSetup setup;
        std::vector<uint8_t> data;
        uint16_t length = 0;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Seen> seen;
    std::vector<uint8_t> resetPipes;
    std::set<uint8_t> silent;
    std::set<uint8_t> stalled;
    std::map<uint8_t, std::vector<uint8_t>> answers;

    usb::SimReply handleControl(usb::SimPort&, const usb::ControlSetup& setup,
                                std::span<const uint8_t> data, uint16_t length) override {
        std::lock_guard lock(mutex);
        seen.push_back({setup, {data.begin(), data.end()}, length});
        changed.notify_all();
        if (silent.contains(setup.request)) {
            return usb::SimReply::noAnswer();
        }
        if (stalled.contains(setup.request)) {
            return usb::SimReply::stall();
        }
        if ((setup.requestType & usb::kDirectionIn) != 0) {
            auto it = answers.find(setup.request);
            return usb::SimReply::ok(it != answers.end() ? it->second
                                                         : std::vector<uint8_t>(length, 0));
        }
        return usb::SimReply::ok();
    }
    void pipeReset(usb::SimPort&, uint8_t endpoint) override {
        std::lock_guard lock(mutex);
        resetPipes.push_back(endpoint);
        changed.notify_all();
    }
    bool waitSeen(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() >= n; });
    }
    bool waitPipeReset() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30),
                                [&] { return !resetPipes.empty(); });
    }
    std::vector<Seen> requests() {
        std::lock_guard lock(mutex);
        return seen;
    }
    uint8_t firstPipeReset() {
        std::lock_guard lock(mutex);
        return resetPipes.empty() ? 0 : resetPipes.front();
    }
    void answer(uint8_t request, std::vector<uint8_t> bytes) {
        std::lock_guard lock(mutex);
        answers[request] = std::move(bytes);
    }
    void stall(uint8_t request, bool on) {
        std::lock_guard lock(mutex);
        if (on) {
            stalled.insert(request);
        } else {
            stalled.erase(request);
        }
    }
    void silence(uint8_t request) {
        std::lock_guard lock(mutex);
        silent.insert(request);
    }
};

usb::SimDescriptors recordingDescriptors() {
    usb::SimDescriptors d;
    d.device.idVendor = 0x1111;
    d.device.idProduct = 0x2222;
    usb::ConfigurationDescriptor configuration;
    usb::InterfaceDescriptor interface;
    for (uint8_t address : {uint8_t{0x01}, uint8_t{0x81}, kScanPipe}) {
        interface.endpoints.push_back(
            {address, static_cast<uint8_t>(usb::EndpointType::Bulk), 512, 0});
    }
    configuration.interfaces.push_back(interface);
    d.configurations.push_back(configuration);
    return d;
}

class VendorRequestTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    std::shared_ptr<RecordingDevice> board = std::make_shared<RecordingDevice>();
    std::shared_ptr<usb::SimPort> port = usb::plugSimulatedDevice(board, recordingDescriptors());
    DriverContext context;
    DEVICE_EXTENSION device;

    void SetUp() override {
        ASSERT_TRUE(port);
        device.driver = &context;
        device.usb = port->hostDevice();
        ASSERT_EQ(device.usb->selectConfiguration(1), 0);
        device.pipes = device.usb->configurations().front().interfaces.front().endpoints;
    }
    void TearDown() override { port->unplug(); }
};

struct WireCase {
    const char* name;
    std::function<int(DEVICE_EXTENSION&)> call;
    uint8_t request;
    bool in;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    uint32_t timeoutMs;
};

class VendorRequestWire : public VendorRequestTest,
                          public ::testing::WithParamInterface<WireCase> {};

// Each request goes out as the board expects it and ends at its own time-out
// when the board stays silent, not a millisecond earlier.
TEST_P(VendorRequestWire, SetupAndTimeOut) {
    const WireCase& wire = GetParam();
    board->silence(wire.request);
    auto result = std::async(std::launch::async, [&] { return wire.call(device); });
    ASSERT_TRUE(board->waitSeen(1));
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::milliseconds(wire.timeoutMs - 1));
    EXPECT_EQ(clock.pendingWaits(), 1u);
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(result.get(), ETIMEDOUT);

    const auto seen = board->requests();
    ASSERT_EQ(seen.size(), 1u);
    const RecordingDevice::Seen& request = seen[0];
    EXPECT_EQ(request.setup.request, wire.request);
    EXPECT_EQ(request.setup.requestType, (wire.in ? usb::kDirectionIn : usb::kDirectionOut) |
                                             usb::kTypeVendor | usb::kRecipientDevice);
    EXPECT_EQ(request.setup.value, wire.value);
    EXPECT_EQ(request.setup.index, wire.index);
    EXPECT_EQ(request.length, wire.length);
}

const std::array<uint8_t, kInitParameterBlockSize> kInitBlock{};

int i2c(DEVICE_EXTENSION& device, uint8_t operation, uint8_t address, uint16_t index, bool in,
        bool longTimeout) {
    std::array<uint8_t, 8> bytes{};
    return I2cOperation(device, operation, address, index, bytes, in, longTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, VendorRequestWire,
    ::testing::Values(
        WireCase{"CpuHold", [](auto& d) { return SetCpuReset(d, true); }, 0xA0, false, 0xE600, 0,
                 1, 1000},
        WireCase{"InternalLoad",
                 [](auto& d) { return InternalLoad(d, 0x0100, std::vector<uint8_t>{1, 2, 3}); },
                 0xA0, false, 0x0100, 0, 3, 500},
        WireCase{"ExternalLoad",
                 [](auto& d) { return ExternalLoad(d, 0x2000, std::vector<uint8_t>{1, 2}); }, 0xA3,
                 false, 0x2000, 0, 2, 500},
        WireCase{"Deinit", [](auto& d) { return SendDeinit(d); }, 0xD0, false, 0, 0, 0, 1000},
        WireCase{"InitChangedCounts", [](auto& d) { return SendInit(d, kInitBlock, true, 2048); },
                 0xD1, false, 1, 120, 36, 1020},
        WireCase{"InitSameCounts", [](auto& d) { return SendInit(d, kInitBlock, false, 2048); },
                 0xD1, false, 0, 120, 36, 1000},
        WireCase{"GetScans", [](auto& d) { return StartScan(d); }, 0xD2, false, 0, 0, 0, 1000},
        WireCase{"SetDigitalOutput", [](auto& d) { return SetDigitalOutput(d, 0x00050001); },
                 0xD3, false, 1, 5, 0, 1000},
        WireCase{"GetDigitalInput",
                 [](auto& d) {
                     uint32_t answer = 0;
                     return GetDigitalInput(d, 0x00070002, answer);
                 },
                 0xD4, true, 2, 7, 4, 1000},
        WireCase{"I2cRead",
                 [](auto& d) { return i2c(d, 0x84, 0xA0, 0x10, true, false); },
                 0xD8, true, 0x84A0, 0x10, 8, 2000},
        WireCase{"I2cLongWrite",
                 [](auto& d) { return i2c(d, 0x40, 0xA2, 3, false, true); },
                 0xD8, false, 0x40A2, 3, 8, 12000},
        WireCase{"SetInputLatchMode", [](auto& d) { return SetInputLatchMode(d, 0x00030004); },
                 0xD9, false, 4, 3, 0, 1000},
        WireCase{"GetError",
                 [](auto& d) {
                     DEVICE_ERROR_BLOCK block;
                     return ReadDeviceErrorBlock(d, block);
                 },
                 0xDB, true, 0, 0, 12, 1000},
        WireCase{"GetFirmwareId",
                 [](auto& d) {
                     FIRMWARE_ID_BLOCK block;
                     return ReadFirmwareIdBlock(d, block);
                 },
                 0xDC, true, 0, 0, 8, 1000},
        WireCase{"Reinit", [](auto& d) { return RestartStreaming(d, 3000); }, 0xDE, false, 1, 30,
                 0, 1000},
        WireCase{"Jtag",
                 [](auto& d) {
                     std::array<uint8_t, 4> bytes{};
                     return Jtag(d, 5, 1, bytes, false);
                 },
                 0xDF, false, 5, 1, 4, 10000},
        WireCase{"Stop", [](auto& d) { return StopStreaming(d, 2048); }, 0xE0, false, 1, 20, 0,
                 1000},
        WireCase{"I2cCheck",
                 [](auto& d) {
                     std::array<uint8_t, 12> answer{};
                     return I2cCheck(d, 0xA2, answer);
                 },
                 0xE1, true, 0xA2, 0, 12, 1000},
        WireCase{"AllTemperatures",
                 [](auto& d) {
                     std::array<uint8_t, 34> answer{};
                     return GetAllTemperatures(d, answer);
                 },
                 0xE2, true, 0, 0, 34, 1000},
        WireCase{"OneTemperature",
                 [](auto& d) {
                     uint16_t temperature = 0;
                     return GetOneTemperature(d, 3, temperature);
                 },
                 0xE3, true, 0, 3, 2, 1000}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

TEST_F(VendorRequestTest, AnswersAreReadLittleEndianAndMustBeWhole) {
    board->answer(VR_GET_DI, {0x11, 0x22, 0x33, 0x44});
    uint32_t answer = 0;
    EXPECT_EQ(GetDigitalInput(device, 0, answer), 0);
    EXPECT_EQ(answer, 0x44332211u);

    board->answer(VR_GETFWID, {5, 0, 0x64, 0x10, 0x36, 1, 200, 0});
    FIRMWARE_ID_BLOCK id;
    EXPECT_EQ(ReadFirmwareIdBlock(device, id), 0);
    EXPECT_EQ(id.runningImage, 5);
    EXPECT_EQ(id.hardwareWord, 0x1064);
    EXPECT_EQ(id.firmwareVersion, 310);
    EXPECT_EQ(id.firmwareType, 200);

    board->answer(VR_GERR, {1, 0});
    DEVICE_ERROR_BLOCK error;
    EXPECT_EQ(ReadDeviceErrorBlock(device, error), EREMOTEIO);
}

TEST_F(VendorRequestTest, NothingGoesToARemovedBoard) {
    for (DeviceState state : {DeviceState::Removed, DeviceState::SurpriseRemoved}) {
        device.state = state;
        EXPECT_EQ(SendDeinit(device), ENODEV);
        EXPECT_EQ(ReadFirmwareId(device), ENODEV);
        EXPECT_EQ(AbortPipe(device, 0), ENODEV);
    }
    EXPECT_TRUE(board->requests().empty());
}

TEST_F(VendorRequestTest, ReportDeviceErrorCarriesTheBoardsOwnCode) {
    std::vector<uint8_t> bytes(KORAL_REQUEST_BLOCK_SIZE);
    RequestBlock block(bytes);

    device.state = DeviceState::SurpriseRemoved;
    ReportDeviceError(device, block);
    EXPECT_EQ(block.get<rb::Status>(), kBoardStatusStopped);
    EXPECT_TRUE(board->requests().empty());

    device.state = DeviceState::Started;
    board->stall(VR_GERR, true);
    ReportDeviceError(device, block);
    EXPECT_EQ(block.get<rb::Status>(), kBoardStatusErrorUnreadable);
    board->stall(VR_GERR, false);

    board->answer(VR_GERR, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ReportDeviceError(device, block);
    EXPECT_EQ(block.get<rb::Status>(), kBoardStatusCommunication);

    board->answer(VR_GERR, {138, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0});
    ReportDeviceError(device, block);
    EXPECT_EQ(block.get<rb::Status>(), 138);
    EXPECT_EQ(block.get<rb::StatusInfo>(), 7);
    ASSERT_TRUE(board->waitPipeReset());
    EXPECT_EQ(board->firstPipeReset(), kScanPipe);
}

TEST_F(VendorRequestTest, StreamingRestartIsNotSentToGenerationTwo) {
    device.updateIdentity([](BoardIdentity& identity) { identity.generation = 2; });
    EXPECT_EQ(RestartStreaming(device, 1000), 0);
    EXPECT_TRUE(board->requests().empty());
}

TEST_F(VendorRequestTest, TheScanPipeIsTheThirdPipe) {
    EXPECT_EQ(ResetPipe(device), 0);
    ASSERT_TRUE(board->waitPipeReset());
    EXPECT_EQ(board->firstPipeReset(), kScanPipe);
    device.pipes.resize(2);
    EXPECT_EQ(ResetPipe(device), EINVAL);
    device.pipes.clear();
    EXPECT_EQ(ResetPipe(device), EIO);
}

TEST_F(VendorRequestTest, PipeReadsGoInPiecesUntilTheBufferIsFull) {
    std::vector<uint8_t> sent(70000);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 7);
    }
    ASSERT_TRUE(port->writeIn(kScanPipe, sent));
    std::vector<uint8_t> frame(sent.size());
    const usb::TransferResult whole = ReadPipe(device, kScanPipeIndex, frame, 1000, false);
    EXPECT_TRUE(whole.ok()) << whole.status;
    EXPECT_EQ(whole.length, sent.size());
    EXPECT_EQ(frame, sent);
}

TEST_F(VendorRequestTest, ShortPiecesEndAReadOnlyWhereTheyAreNotAllowed) {
    const std::vector<uint8_t> part(1000, 0x5A);
    std::vector<uint8_t> frame(2000);
    ASSERT_TRUE(port->writeIn(kScanPipe, part));
    const usb::TransferResult strict = ReadPipe(device, kScanPipeIndex, frame, 1000, false);
    EXPECT_EQ(strict.status, EREMOTEIO);
    EXPECT_EQ(strict.length, 1000u);

    ASSERT_TRUE(port->writeIn(kScanPipe, part));
    ASSERT_TRUE(port->writeIn(kScanPipe, part));
    const usb::TransferResult lenient = ReadPipe(device, kScanPipeIndex, frame, 1000, true);
    EXPECT_TRUE(lenient.ok());
    EXPECT_EQ(lenient.length, 2000u);

    // Empty packets would never fill the buffer.
    ASSERT_TRUE(port->writeIn(kScanPipe, {}, true));
    const usb::TransferResult empty = ReadPipe(device, kScanPipeIndex, frame, 1000, true);
    EXPECT_EQ(empty.status, EREMOTEIO);
    EXPECT_EQ(empty.length, 0u);
}

// A frame goes in pieces, each a read of its own that the bus may refuse for
// want of memory: then the frame is not posted at all, since its first piece
// would take the start of a frame that nothing finishes. What that piece had
// taken already is lost, and the read fails with it.
TEST_F(VendorRequestTest, AFrameWithAPieceTheBusHasNoMemoryForIsTakenBackWhole) {
    std::vector<uint8_t> frame(70000);
    std::optional<kavrintest::ScopedSimReadBudget> budget(std::in_place, 66000);
    PostedFrameRead refused = PostFrameRead(device, kScanPipeIndex, frame);
    EXPECT_TRUE(refused.noMemory);
    EXPECT_TRUE(refused.pieces.empty());
    const std::vector<uint8_t> sent(frame.size(), 0x3C);
    ASSERT_TRUE(port->writeIn(kScanPipe, sent));
    budget.reset();
    EXPECT_EQ(ReadPipe(device, kScanPipeIndex, frame, 1000, false).length, sent.size())
        << "the stream's bytes went to the next read";

    budget.emplace(66000);
    ASSERT_TRUE(port->writeIn(kScanPipe, std::vector<uint8_t>(512, 0x11)));
    PostedFrameRead partial = PostFrameRead(device, kScanPipeIndex, frame);
    EXPECT_FALSE(partial.noMemory);
    const usb::TransferResult lost = WaitFrameRead(partial, 1000);
    EXPECT_EQ(lost.status, ECANCELED);
    EXPECT_EQ(lost.length, 512u);
}

} // namespace
