#pragma once
// The bus of simulated USB devices, seen from the device side. A simulated
// device implements SimulatedDevice and plugs into the bus; the host side (a
// driver) then finds it as a UsbDevice (usb.h) like any real one.
//
// The bus plays the device's USB controller: it answers the standard requests
// from the descriptors (device, configuration and string descriptors, get
// configuration, get status), keeps the selected configuration, cuts the
// device's IN data into packets of the endpoint's size, queues them until the
// host reads, and keeps halts. Everything else reaches the device.
//
// Threads. Each plugged device has its own device thread (a platform thread):
// every callback of the device runs there, one at a time, in the order the
// host sent its requests, never under a lock of the bus. A callback may block
// (platform waits and sleeps end when the device is unplugged) and may call
// every SimPort function. The host's time-outs and aborts do not wait for a
// callback: an answer that comes after the host gave up is dropped.
//
// IN data is pushed by the device (writeIn), from any thread, whenever it has
// some: in a callback (the answer to a vendor request that starts a frame), or
// from a thread of its own at a set rate. A device that never answers a
// request returns SimReply::noAnswer(): the request stays open until the
// host's time-out or abort.

#include "platform/usb.h"

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform::usb {

struct SimDescriptors {
    DeviceDescriptor device; // bNumConfigurations is taken from configurations
    std::vector<ConfigurationDescriptor> configurations;
    std::map<uint8_t, std::u16string> strings; // by index 1..255, in every language
    UsbSpeed speed = UsbSpeed::High;
};

// A device's answer to a request.
struct SimReply {
    int status = 0;            // 0, EPIPE (stall), or another errno the host sees
    std::vector<uint8_t> data; // control IN: the answer, cut to the length asked for
    bool answered = true;      // false: the request stays open

    static SimReply ok(std::vector<uint8_t> data = {}) { return {0, std::move(data), true}; }
    static SimReply stall() { return {EPIPE, {}, true}; }
    static SimReply noAnswer() { return {0, {}, false}; }
};

class SimPort;

class SimulatedDevice {
public:
    virtual ~SimulatedDevice() = default;

    // Class and vendor requests. data: an OUT request's data; length: the
    // host's wLength. A stall (EPIPE) ends only this request.
    virtual SimReply handleControl(SimPort& port, const ControlSetup& setup,
                                   std::span<const uint8_t> data, uint16_t length) = 0;
    // Data the host wrote to an OUT pipe. A stall (EPIPE) halts the endpoint
    // until the host resets the pipe. The default stalls.
    virtual SimReply handleOut(SimPort& port, uint8_t endpoint, std::span<const uint8_t> data);
    // The host selected a configuration (0: none); IN queues were emptied.
    virtual void configurationSelected(SimPort& port, uint8_t configurationValue);
    // The host cleared a halt of the pipe.
    virtual void pipeReset(SimPort& port, uint8_t endpoint);
    // The host reset the port; IN queues were emptied and halts cleared, the
    // configuration stays. The device may re-enumerate here.
    virtual void portReset(SimPort& port);
};

// The plug a simulated device is in. Thread-safe.
class SimPort {
public:
    virtual ~SimPort() = default;

    // Queues IN data on a pipe of the selected configuration, cut into packets
    // of the endpoint's size; the last one is short unless the size is a whole
    // number of packets, and then endTransfer adds a zero-length packet so that
    // a host read ends there. False: ENODEV unplugged, ENXIO not configured,
    // ENOENT not an IN pipe of the configuration.
    virtual bool writeIn(uint8_t endpoint, std::span<const uint8_t> data,
                         bool endTransfer = false) = 0;
    // IN bytes queued and not yet read by the host.
    virtual size_t queuedIn(uint8_t endpoint) const = 0;
    virtual void flushIn(uint8_t endpoint) = 0;
    // Halts (stalls) an endpoint: host transfers on it fail with EPIPE until
    // the host resets the pipe.
    virtual bool haltEndpoint(uint8_t endpoint) = 0;
    // 0 while unconfigured.
    virtual uint8_t configurationValue() const = 0;

    // Leaves the bus and comes back with other descriptors: the host's device
    // goes (transfers end with ENODEV) and a new one arrives. From a callback
    // it happens when the callback returns, and the request the callback
    // served still gets its answer (a device that re-enumerates after the
    // request that started its new firmware); the host sees the device gone
    // once it has that answer. False with ENODEV when unplugged, EINVAL for
    // bad descriptors.
    virtual bool reenumerate(SimDescriptors descriptors) = 0;
    // Leaves the bus for good: the host's transfers end with ENODEV, queued
    // requests are dropped, the device thread ends (joined here; called from
    // a callback, it happens as for reenumerate, and the thread is joined by
    // the next plug, unplug or shutdown). The bus then drops its reference to
    // the device.
    virtual void unplug() = 0;
    virtual bool isPlugged() const = 0;

    // The port's number n (instance ids end in "SIM<n>").
    virtual uint32_t number() const = 0;
    // The host's current device; null when unplugged.
    virtual std::shared_ptr<UsbDevice> hostDevice() const = 0;
};

// The memory the bus lends to the IN reads waiting on pipes, every port's
// together, as a host's USB stack has one budget for its transfer buffers: a
// read that would take the reads waiting past it is refused with ENOMEM (as a
// real stack refuses it). 0, the default: no limit.
void setSimReadBudget(size_t bytes);

// Plugs a device into the simulated bus; it arrives on the host side at once.
// Null with EINVAL for bad descriptors (no configuration, a configuration value
// of 0 or used twice, an endpoint of packet size 0, endpoint 0 in a
// configuration).
std::shared_ptr<SimPort> plugSimulatedDevice(std::shared_ptr<SimulatedDevice> device,
                                             SimDescriptors descriptors);

} // namespace platform::usb
