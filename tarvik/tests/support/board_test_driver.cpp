#include "board_test_driver.h"

#include <algorithm>
#include <cstring>

namespace tarvik::testing {

using namespace platform;

namespace {

constexpr const char* kDriverName = "tarvik-test-board";

struct DeviceExtension {
    size_t index = 0;
    std::string path;
};

uint16_t readU16(const uint8_t* bytes) {
    uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

uint32_t readU32(const uint8_t* bytes) {
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

struct BoardTestDriver::Shared {
    mutable std::mutex mutex;
    std::deque<BoardAnswer> answers;
    std::vector<BoardRequest> requests;
    std::vector<std::string> paths;
    uint16_t driverVersion = 3114;
    size_t arrived = 0;
};

BoardTestDriver::BoardTestDriver(size_t devices) : shared_(std::make_shared<Shared>()) {
    const bool registered = registerDriver(kDriverName, [this](DriverObject& driver) {
        driver.dispatchDeviceControl = [this](DeviceObject& device, const IoRequestPtr& request) {
            return dispatch(device, request);
        };
        driver.addDevice = [shared = shared_](DriverObject& owner, PhysicalDevice& physical) {
            DeviceOptions options;
            options.deviceType = KORAL_DEVICE_TYPE_BOARD;
            DeviceObject* device = nullptr;
            DriverStatus status = createDevice<DeviceExtension>(owner, &physical, options, device);
            if (status != kStatusSuccess) {
                return status;
            }
            auto& extension = device->extension<DeviceExtension>();
            {
                std::lock_guard lock(shared->mutex);
                extension.index = shared->arrived++;
            }
            return registerDeviceInterface(*device, kUsbBoardClass, {}, extension.path);
        };
        driver.startDevice = [shared = shared_](DeviceObject& device) {
            auto& extension = device.extension<DeviceExtension>();
            {
                std::lock_guard lock(shared->mutex);
                shared->paths.resize(std::max(shared->paths.size(), extension.index + 1));
                shared->paths[extension.index] = extension.path;
            }
            return setDeviceInterfaceState(device, extension.path, true);
        };
        driver.removeDevice = [](DeviceObject& device) {
            setDeviceInterfaceState(device, device.extension<DeviceExtension>().path, false);
            deleteDevice(device);
            return kStatusSuccess;
        };
        return kStatusSuccess;
    });
    if (!registered) {
        return;
    }
    for (size_t i = 0; i < devices; ++i) {
        if (!reportDeviceArrived(kDriverName, "TARVIKTEST\\BOARD" + std::to_string(i))) {
            return;
        }
    }
    ready_ = waitForPnpIdle() && paths().size() == devices;
}

BoardTestDriver::~BoardTestDriver() {
    shutdownDevices();
}

std::vector<std::string> BoardTestDriver::paths() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->paths;
}

DeviceHandle BoardTestDriver::open(size_t device) const {
    const std::vector<std::string> all = paths();
    return device < all.size() ? openDevice(all[device]) : kInvalidDeviceHandle;
}

void BoardTestDriver::script(std::vector<BoardAnswer> answers) {
    std::lock_guard lock(shared_->mutex);
    shared_->answers.assign(answers.begin(), answers.end());
}

std::vector<BoardRequest> BoardTestDriver::requests() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->requests;
}

std::vector<uint32_t> BoardTestDriver::codes() const {
    std::vector<uint32_t> codes;
    for (const BoardRequest& request : requests()) {
        codes.push_back(request.code);
    }
    return codes;
}

void BoardTestDriver::clear() {
    std::lock_guard lock(shared_->mutex);
    shared_->requests.clear();
}

void BoardTestDriver::setDriverVersion(uint16_t version) {
    std::lock_guard lock(shared_->mutex);
    shared_->driverVersion = version;
}

DriverStatus BoardTestDriver::dispatch(DeviceObject& device, const IoRequestPtr& request) {
    std::span<uint8_t> buffer = request->systemBuffer();
    BoardRequest seen;
    seen.device = device.extension<DeviceExtension>().index;
    seen.code = request->ioControlCode();
    seen.inLength = request->inputBufferLength();
    seen.outLength = request->outputBufferLength();
    if (buffer.size() >= KORAL_REQUEST_BLOCK_SIZE) {
        const uint8_t* block = buffer.data();
        seen.workMode = readU16(block + offsetof(DeviceRequestBlock, WorkMode));
        seen.requestFlags = readU32(block + offsetof(DeviceRequestBlock, RequestFlags));
        seen.digitalInputWord = readU32(block + offsetof(DeviceRequestBlock, DigitalInputWord));
        if (seen.inLength > KORAL_REQUEST_BLOCK_SIZE) {
            seen.data.assign(block + KORAL_REQUEST_BLOCK_DATA_OFFSET, block + seen.inLength);
        }
    }
    BoardAnswer answer;
    uint16_t version = 0;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->requests.push_back(std::move(seen));
        if (!shared_->answers.empty()) {
            answer = shared_->answers.front();
            shared_->answers.pop_front();
        }
        version = shared_->driverVersion;
    }
    if (answer.hold) {
        answer.hold->wait(kInfinite);
    }
    if (answer.requestStatus != kStatusSuccess) {
        return request->complete(answer.requestStatus);
    }
    if (buffer.size() >= KORAL_REQUEST_BLOCK_SIZE) {
        uint8_t* block = buffer.data();
        std::memcpy(block + offsetof(DeviceRequestBlock, DriverVersion), &version, 2);
        std::memcpy(block + offsetof(DeviceRequestBlock, Status), &answer.status, 2);
        std::memcpy(block + offsetof(DeviceRequestBlock, StatusInfo), &answer.statusInfo, 2);
        std::memcpy(block + offsetof(DeviceRequestBlock, WarningCode), &answer.warning, 2);
        const size_t values = std::min<size_t>(answer.scan.size(), KORAL_SCAN_DATA_PIXELS);
        if (values > 0) {
            std::memcpy(block + offsetof(DeviceRequestBlock, ScanData), answer.scan.data(),
                        4 * values);
        }
    }
    request->setInformation(request->outputBufferLength());
    return request->complete(kStatusSuccess);
}

} // namespace tarvik::testing
