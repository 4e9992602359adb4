#pragma once
// USB as a driver sees it: devices arriving and going, their descriptors,
// control (vendor) requests, bulk and interrupt transfers with time-outs and
// short-transfer rules, pipe abort and reset, port reset.
//
// Backends. Two buses feed the same devices: a bus of simulated devices, always
// there in-process (simulated devices plug into it, usb_sim.h), and the real
// USB stack of the system (libusb), started by startRealUsb(). A UsbDevice
// looks the same whichever serves it; nothing above this layer asks which.
//
// Drivers. A USB driver of the device layer (driver.h) registers the ids of its
// devices with registerUsbDriver() from its entry (and calls startRealUsb() so
// that real devices are looked for too; a failure there leaves it with the
// simulated ones), and unregisters in its unload. Every present matching device
// and every later arrival then reaches the device layer as
//     reportDeviceArrived(driverName, device->instanceId(), device)
// (the UsbDevice is the physical device's bus context: usbDeviceOf(physical)
// gives it back), and its departure as reportDeviceGone(instanceId). The device
// layer runs the driver's add/start/removal routines on its plug-and-play
// thread; this layer reports from its own hot-plug thread, never from inside a
// callback of the system's USB library, so a driver can do I/O from every
// routine. A device that re-enumerates (firmware download) leaves, and the
// device it became arrives as a new one.
//
// Instance ids: "USB\VID_vvvv&PID_pppp\<location>" (hex upper case); the location
// names the port ("SIM<n>" on the simulated bus, "<bus>-<port>.<port>..." on a
// real one), so a device that comes back on the same port with the same ids
// has the same instance id again.
//
// Status values are errno values (0 success), the same values a driver
// completes its requests with (driver.h):
//   ETIMEDOUT  the time-out passed (the transfer was cancelled first)
//   EPIPE      the device stalled the request or the endpoint is halted
//   ENODEV     the device is gone (unplugged, re-enumerated, layer shut down)
//   ECANCELED  abortPipe(), a configuration change or a port reset ended it
//   EREMOTEIO  a read ended on a short packet and short transfers were an error
//   EOVERFLOW  the device sent more than the buffer holds
//   ENOENT     no such endpoint in the selected configuration
//   EINVAL     a bad argument (wrong direction, an endpoint of the wrong type,
//              a standard request that has its own call here)
//   EACCES     no permission to the device (real devices)
//   EIO        any other failure of the bus
// Transfers report the bytes moved also when they fail.
//
// Time-outs are milliseconds on the current platform clock (clock.h), so a
// test on a virtual clock sees a 5 s time-out when it advances the clock; 0 and
// kInfinite mean no time-out. A transfer ends only by completion, its time-out,
// an abort, a port reset or configuration change, or the device going: a
// thread's stop request does not end it (a driver's reader sends its closing
// requests after its stop was asked).

#include "platform/clock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class PhysicalDevice;

namespace usb {

// Descriptor types.
inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;
inline constexpr uint8_t kDescriptorInterface = 4;
inline constexpr uint8_t kDescriptorEndpoint = 5;

// bmRequestType bits.
inline constexpr uint8_t kDirectionOut = 0x00;
inline constexpr uint8_t kDirectionIn = 0x80;
inline constexpr uint8_t kTypeStandard = 0x00;
inline constexpr uint8_t kTypeClass = 0x20;
inline constexpr uint8_t kTypeVendor = 0x40;
inline constexpr uint8_t kRecipientDevice = 0x00;
inline constexpr uint8_t kRecipientInterface = 0x01;
inline constexpr uint8_t kRecipientEndpoint = 0x02;

// Standard requests.
inline constexpr uint8_t kRequestGetStatus = 0;
inline constexpr uint8_t kRequestClearFeature = 1;
inline constexpr uint8_t kRequestSetFeature = 3;
inline constexpr uint8_t kRequestSetAddress = 5;
inline constexpr uint8_t kRequestGetDescriptor = 6;
inline constexpr uint8_t kRequestGetConfiguration = 8;
inline constexpr uint8_t kRequestSetConfiguration = 9;
inline constexpr uint8_t kRequestSetInterface = 11;

inline constexpr uint16_t kLanguageEnglishUs = 0x0409;

// Parsers return nothing for malformed input and leave EBADMSG as the last
// platform error.
struct DeviceDescriptor {
    static constexpr size_t kSize = 18;

    uint16_t bcdUSB = 0x0200;
    uint8_t bDeviceClass = 0;
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bMaxPacketSize0 = 64;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t bNumConfigurations = 1;

    std::array<uint8_t, kSize> toBytes() const;
    static std::optional<DeviceDescriptor> parse(std::span<const uint8_t> bytes);
    bool operator==(const DeviceDescriptor&) const = default;
};

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointDescriptor {
    static constexpr size_t kSize = 7;

    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = static_cast<uint8_t>(EndpointType::Bulk);
    uint16_t wMaxPacketSize = 512;
    uint8_t bInterval = 0;

    EndpointType type() const { return static_cast<EndpointType>(bmAttributes & 0x3); }
    bool isIn() const { return (bEndpointAddress & kDirectionIn) != 0; }
    // Bytes per packet (bits 0..10; the high-bandwidth bits are not a size).
    uint16_t maxPacketSize() const { return wMaxPacketSize & 0x7FF; }
    bool operator==(const EndpointDescriptor&) const = default;
};

struct InterfaceDescriptor {
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bInterfaceClass = 0xFF;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;
    uint8_t iInterface = 0;
    std::vector<EndpointDescriptor> endpoints;
    bool operator==(const InterfaceDescriptor&) const = default;
};

struct ConfigurationDescriptor {
    static constexpr size_t kHeaderSize = 9;

    uint8_t bConfigurationValue = 1;
    uint8_t iConfiguration = 0;
    uint8_t bmAttributes = 0x80;
    uint8_t bMaxPower = 50; // 2 mA units
    // Every interface descriptor (all alternate settings) in descriptor order.
    std::vector<InterfaceDescriptor> interfaces;

    // The whole descriptor set; wTotalLength and bNumInterfaces are computed.
    std::vector<uint8_t> toBytes() const;
    // The whole set (wTotalLength bytes, more is ignored); descriptors of other
    // types (class-specific ones) are skipped.
    static std::optional<ConfigurationDescriptor> parse(std::span<const uint8_t> bytes);
    // Endpoints of alternate setting 0 of every interface: the pipes a driver
    // gets when it selects this configuration, in descriptor order.
    std::vector<EndpointDescriptor> pipes() const;
    bool operator==(const ConfigurationDescriptor&) const = default;
};

// A string descriptor's text (UTF-16 code units); nothing when malformed.
std::optional<std::u16string> parseStringDescriptor(std::span<const uint8_t> bytes);
// A string descriptor for a text (cut at 126 code units, the most one holds).
std::vector<uint8_t> makeStringDescriptor(std::u16string_view text);

enum class UsbSpeed { Unknown, Low, Full, High, Super };

struct ControlSetup {
    uint8_t requestType = 0; // bmRequestType; bit 7 is the direction
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;

    // Device-directed vendor requests, the kind a board's firmware serves.
    static ControlSetup vendorIn(uint8_t request, uint16_t value, uint16_t index) {
        return {kDirectionIn | kTypeVendor | kRecipientDevice, request, value, index};
    }
    static ControlSetup vendorOut(uint8_t request, uint16_t value, uint16_t index) {
        return {kDirectionOut | kTypeVendor | kRecipientDevice, request, value, index};
    }
};

// Whether an IN transfer that ends on a short packet (fewer bytes than asked
// for) succeeds or fails with EREMOTEIO; its bytes are delivered either way.
enum class ShortTransfer { Ok, Error };

struct TransferResult {
    int status = 0;    // 0 or an errno value (above)
    size_t length = 0; // bytes moved, also on failure
    bool ok() const { return status == 0; }
};

class UsbDeviceOps;
class UsbDevice;
namespace detail {
struct UsbTransfer;
struct UsbAccess;
} // namespace detail

// A read posted on a pipe and waited for later (UsbDevice::postRead). Reads
// posted on one pipe take the device's data in the order they were posted, so
// a driver that keeps several posted has one ready for the device's next
// packet while it handles the last. One owner; it must not outlive its device.
class PostedRead {
public:
    PostedRead() = default;
    PostedRead(PostedRead&& other) noexcept;
    PostedRead& operator=(PostedRead&& other) noexcept;
    PostedRead(const PostedRead&) = delete;
    PostedRead& operator=(const PostedRead&) = delete;
    // A read not waited for is cancelled; its buffer is free once this returns.
    ~PostedRead();

    // Posted and not yet waited for.
    bool pending() const { return transfer_ != nullptr; }
    // Waits for the read at most timeoutMs from now (0 or kInfinite: without
    // limit); a read that times out is cancelled with ETIMEDOUT. A read the
    // device refused at posting gives that failure. Once only: afterwards the
    // read is no longer pending, and waiting again gives EINVAL.
    TransferResult wait(uint32_t timeoutMs);
    // Ends the read now and gives what it read: ECANCELED with the bytes it
    // took, or its own result when it ended first. Once only, as wait.
    TransferResult cancel();

private:
    friend class UsbDevice;
    void release();

    UsbDevice* device_ = nullptr;
    std::shared_ptr<detail::UsbTransfer> transfer_;
    ShortTransfer rule_ = ShortTransfer::Ok;
    TransferResult refused_{EINVAL, 0};
};

// One device on a bus, from its arrival to its departure. A device that leaves
// and comes back (also after re-enumeration) is a new object; the old one
// stays gone. Thread-safe; every call may block only as long as its time-out.
class UsbDevice {
public:
    struct Identity {
        std::string instanceId;
        DeviceDescriptor device;
        std::vector<ConfigurationDescriptor> configurations;
        UsbSpeed speed = UsbSpeed::Unknown;
    };
    // For backends; drivers get their devices from the layer.
    UsbDevice(Identity identity, std::shared_ptr<UsbDeviceOps> ops);
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    const std::string& instanceId() const { return identity_.instanceId; }
    // As read at arrival.
    const DeviceDescriptor& deviceDescriptor() const { return identity_.device; }
    const std::vector<ConfigurationDescriptor>& configurations() const {
        return identity_.configurations;
    }
    UsbSpeed speed() const { return identity_.speed; }
    bool isGone() const;

    // Selects a configuration by its value and claims every interface of it
    // (alternate setting 0); 0 deselects (unconfigured). Transfers in flight on
    // the pipes of the previous configuration end with ECANCELED. ENOENT for a
    // value the device does not describe.
    int selectConfiguration(uint8_t configurationValue);
    // 0 while unconfigured.
    uint8_t configurationValue() const;
    std::optional<ConfigurationDescriptor> selectedConfiguration() const;
    // An endpoint of the selected configuration's pipes.
    std::optional<EndpointDescriptor> pipe(uint8_t endpointAddress) const;

    // Control transfers; the direction bit of requestType must match the call.
    // Standard set-configuration, set-interface and clear-feature requests are
    // refused (EINVAL): selectConfiguration and resetPipe do that.
    TransferResult controlIn(const ControlSetup& setup, std::span<uint8_t> data, uint32_t timeoutMs,
                             ShortTransfer rule = ShortTransfer::Ok);
    TransferResult controlOut(const ControlSetup& setup, std::span<const uint8_t> data,
                              uint32_t timeoutMs);
    // A standard get-descriptor request (language 0 for all but strings).
    TransferResult getDescriptor(uint8_t type, uint8_t index, uint16_t languageId,
                                 std::span<uint8_t> data, uint32_t timeoutMs);

    // Bulk or interrupt transfers on a pipe of the selected configuration. A
    // read ends when the buffer is full or on a short packet (an empty buffer
    // is refused); an empty write sends a zero-length packet.
    TransferResult readPipe(uint8_t endpointAddress, std::span<uint8_t> data, uint32_t timeoutMs,
                            ShortTransfer rule = ShortTransfer::Ok);
    TransferResult writePipe(uint8_t endpointAddress, std::span<const uint8_t> data,
                             uint32_t timeoutMs);
    // A read that runs while the caller does other work (PostedRead); the
    // buffer must stay until the read is waited for or destroyed.
    PostedRead postRead(uint8_t endpointAddress, std::span<uint8_t> data,
                        ShortTransfer rule = ShortTransfer::Ok);

    // Ends every transfer in flight on the pipe (endpoint 0: every control
    // transfer), whatever thread runs it, with ECANCELED; returns once each has
    // ended, so none of them touches its buffer afterwards. Later transfers on
    // the pipe run as usual. A transfer that starts while this runs may escape
    // it.
    int abortPipe(uint8_t endpointAddress);
    // Clears a halt (stall) of the pipe. Transfers in flight are not touched.
    int resetPipe(uint8_t endpointAddress);
    // Resets the device's port: transfers in flight end with ECANCELED, the
    // configuration stays selected. The device may re-enumerate, and then this
    // object goes (ENODEV) and a new device arrives.
    int resetPort();

private:
    friend struct detail::UsbAccess;
    friend class PostedRead;
    struct State;
    using TransferPtr = std::shared_ptr<detail::UsbTransfer>;

    // The device left its bus: transfers in flight end with ENODEV, and so
    // does every later call.
    void markGone();
    // Only the state (for a bus that ended the transfers itself); gives the
    // transfers in flight when it changed.
    std::vector<TransferPtr> setGone();
    TransferResult run(const TransferPtr& transfer, uint32_t timeoutMs, ShortTransfer rule);
    // run's halves: the transfer in flight (0), and its wait and result.
    int begin(const TransferPtr& transfer);
    TransferResult finish(const TransferPtr& transfer, uint32_t timeoutMs, ShortTransfer rule);
    // A checked pipe transfer, or the reason there is none.
    int makePipeTransfer(uint8_t endpointAddress, uint8_t* data, size_t length, bool in,
                         TransferPtr& transfer);
    TransferResult pipeTransfer(uint8_t endpointAddress, uint8_t* data, size_t length, bool in,
                                uint32_t timeoutMs, ShortTransfer rule);
    TransferResult control(const ControlSetup& setup, uint8_t* data, size_t length,
                           uint32_t timeoutMs, ShortTransfer rule);
    // Cancels (with reason) the transfers in flight that match, and waits for them.
    void cancelMatching(const std::function<bool(const detail::UsbTransfer&)>& match, int reason);

    const Identity identity_;
    const std::shared_ptr<UsbDeviceOps> ops_;
    std::unique_ptr<State> state_;
};

// The USB device a bus reported for a physical device of the device layer
// (its bus context); null for one that is not a USB device.
std::shared_ptr<UsbDevice> usbDeviceOf(const PhysicalDevice& physical);

// Every present device of every running bus, in arrival order.
std::vector<std::shared_ptr<UsbDevice>> enumerateUsbDevices();

// --- drivers

struct UsbDeviceId {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// Registers the device-layer driver of the devices with these ids (a later
// registration of the same name replaces the ids). Present matching devices are
// reported at once (from a driver entry, the device layer queues them until
// the entry succeeded); later arrivals and departures follow from the hot-plug
// thread. A device goes to the first registration that matches it.
// EINVAL for an empty name or no ids.
bool registerUsbDriver(std::string_view driverName, std::span<const UsbDeviceId> ids);
// The driver's devices are no longer reported (call it from the driver's unload).
bool unregisterUsbDriver(std::string_view driverName);

// --- hot-plug

enum class UsbHotplugEvent { Arrived, Left };
using UsbHotplugCallback =
    std::function<void(UsbHotplugEvent event, const std::shared_ptr<UsbDevice>& device)>;
using UsbHotplugHandle = uint32_t; // 0 = none

// Callbacks run on the layer's hot-plug thread, one at a time, in the order the
// devices came and went, under no lock of the layer. With enumeratePresent the
// present devices are told first, as arrivals.
UsbHotplugHandle addUsbHotplugListener(UsbHotplugCallback callback, bool enumeratePresent);
// After this returns the callback is not running and never runs again (from
// inside the callback it cannot wait for its own return).
bool removeUsbHotplugListener(UsbHotplugHandle handle);
// Until every arrival and departure so far was told (EDEADLK on the hot-plug
// thread).
bool waitForUsbHotplugIdle();

// --- the real bus

// Starts the system's USB stack (once; later calls report how the first went).
// False, with the reason as last error and in realUsbError(), when it cannot
// run: switched off by the environment variable VELDON_USB_REAL=0 (ENODEV), or
// the system's USB library failed to start (its error as an errno value).
// Without devices it runs and finds none; without permission to a device it
// lists it, and transfers to it fail with EACCES.
bool startRealUsb();
// 0 while the real bus runs or was never asked for, else why it does not.
int realUsbError();
// A text for realUsbError() ("" for 0).
std::string realUsbErrorText();

// Ends the real bus, unplugs every simulated device, tells every departure and
// joins the layer's threads; registrations and listeners are dropped.
// Afterwards the layer starts afresh. Runs by itself at process exit. EDEADLK
// on a thread of the layer.
bool shutdownUsb();

} // namespace usb
} // namespace platform
