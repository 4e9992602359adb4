#pragma once
// A linked-in board driver for the library's tests: devices of the USB board
// class that record every request (code, WorkMode, RequestFlags, lengths) and
// answer with scripted Status and StatusInfo words or a failed request.

#include "tarvik_request_block.h"

#include "platform/device.h"
#include "platform/driver.h"
#include "platform/event.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarvik::testing {

inline constexpr platform::Guid kUsbBoardClass =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE6).value();

struct BoardRequest {
    size_t device = 0; // index of the device in arrival order
    uint32_t code = 0;
    uint32_t inLength = 0;
    uint32_t outLength = 0;
    uint16_t workMode = 0;
    uint32_t requestFlags = 0;
    uint32_t digitalInputWord = 0;
    std::vector<uint8_t> data; // the data area as sent (empty for short requests)
};

struct BoardAnswer {
    BoardAnswer() = default;
    BoardAnswer(platform::DriverStatus requestStatus, uint16_t status, uint16_t statusInfo)
        : requestStatus(requestStatus), status(status), statusInfo(statusInfo) {}

    platform::DriverStatus requestStatus = platform::kStatusSuccess; // non-zero: the request fails
    uint16_t status = 0;
    uint16_t statusInfo = 0;
    uint16_t warning = 0;       // the driver warning word of a scan
    std::vector<uint32_t> scan; // scan values from pixel 0 on (a full block only)
    // The answer waits until this event is set (the request stays with the driver).
    std::shared_ptr<platform::Event> hold;
};

class BoardTestDriver {
public:
    // Registers the driver and lets `devices` boards arrive.
    explicit BoardTestDriver(size_t devices = 1);
    // Shuts the device layer down (closes every handle, removes the devices).
    ~BoardTestDriver();
    BoardTestDriver(const BoardTestDriver&) = delete;
    BoardTestDriver& operator=(const BoardTestDriver&) = delete;

    bool ready() const { return ready_; }
    // Device paths in arrival order.
    std::vector<std::string> paths() const;
    platform::DeviceHandle open(size_t device) const;

    // Answers of the next requests in order; afterwards requests succeed.
    void script(std::vector<BoardAnswer> answers);
    std::vector<BoardRequest> requests() const;
    std::vector<uint32_t> codes() const;
    void clear();

    // Stamped into every answer.
    void setDriverVersion(uint16_t version);

private:
    struct Shared;
    platform::DriverStatus dispatch(platform::DeviceObject& device,
                                    const platform::IoRequestPtr& request);

    std::shared_ptr<Shared> shared_;
    bool ready_ = false;
};

} // namespace tarvik::testing
