#pragma once
// What the USB front (UsbDevice), the hot-plug hub and the two buses share.
//
// Each bus implements UsbDeviceOps, the table of operations of one device; the
// front does everything else (argument checks, time-outs on the platform
// clock, aborts, the gone state). Locks, outermost first: a device's
// configuration lock, a bus's lock, the hub's lock (then the device layer's),
// and the leaves: a device's state lock, a transfer's lock. The front holds no
// lock but the configuration lock when it calls a bus, and no lock is held
// while device, listener or driver code runs.

#include "platform/clock.h"
#include "platform/usb.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace platform::usb {

namespace detail {

// One transfer from submission to completion.
struct UsbTransfer {
    // Fixed at creation.
    bool control = false;
    ControlSetup setup;
    uint8_t endpoint = 0; // control: the direction bit of the setup
    EndpointType type = EndpointType::Control;
    bool in = false;
    uint8_t* data = nullptr; // the caller's buffer, written only while not done
    size_t length = 0;
    uint16_t maxPacketSize = 0;

    // The first completion counts; false for a later one.
    bool complete(int status, size_t actual);
    bool isDone() const;
    // The status the caller sees when the bus ends the transfer with ECANCELED;
    // the first reason counts.
    void setCancelReason(int reason);
    // False when the deadline passed first.
    bool waitDone(Clock& clock, TimePoint deadline);
    void waitDone();
    // Status (with the cancel reason applied) and bytes.
    std::pair<int, size_t> result() const;

    // The bus's own per-transfer data, guarded by the bus.
    void* busData = nullptr;

private:
    mutable std::mutex mutex_;
    std::condition_variable doneChanged_;
    bool done_ = false;
    int status_ = 0;
    size_t actual_ = 0;
    int cancelReason_ = 0;
};

struct UsbAccess {
    static void markGone(UsbDevice& device) { device.markGone(); }
    // Takes only the device's own lock: for a bus under its lock that ended the
    // device's transfers itself.
    static void setGone(UsbDevice& device) { device.setGone(); }
};

// --- the hub (usb_hub.cpp), for the buses

// A device came: listed at once, told on the hot-plug thread.
void deviceArrived(const std::shared_ptr<UsbDevice>& device);
// A device went: unlisted at once, marked gone (if its bus did not) and told on
// the hot-plug thread. Only takes the hub's lock, so a bus may call these under
// its own.
void deviceLeft(const std::shared_ptr<UsbDevice>& device);
// Runs work on the hot-plug thread, after everything posted before.
void postHotplugWork(std::function<void()> work);
bool onHotplugThread();
void waitHotplugIdle();

// "USB\VID_vvvv&PID_pppp\<location>".
std::string makeInstanceId(uint16_t vendorId, uint16_t productId, const std::string& location);

// --- the buses' parts of the shutdown

void shutdownSimBus();
bool onSimDeviceThread();
void stopRealUsb();

} // namespace detail

class UsbDeviceOps {
public:
    virtual ~UsbDeviceOps() = default;

    // Starts a transfer that the front checked; it completes later through
    // UsbTransfer::complete, from any thread. A transfer that is done already
    // (cancelled before it started) is not started: 0. An error means it never
    // started and is not completed.
    virtual int submit(const std::shared_ptr<detail::UsbTransfer>& transfer) = 0;
    // Ends a transfer soon with ECANCELED (also one not yet submitted); nothing
    // for one that is done.
    virtual void cancel(const std::shared_ptr<detail::UsbTransfer>& transfer) = 0;
    // Selects the configuration (null: none) and claims its interfaces.
    virtual int setConfiguration(const ConfigurationDescriptor* configuration) = 0;
    virtual int clearHalt(uint8_t endpoint) = 0;
    virtual int resetPort() = 0;
};

} // namespace platform::usb
