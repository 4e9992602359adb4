// The real USB bus, over libusb. Every transfer is asynchronous so that a time-out
// on the platform clock or an abort can cancel it; one event thread of ours
// runs libusb's completions and hot-plug callbacks. The callbacks only queue
// work for the layer's hot-plug thread, which makes the devices and tells the
// drivers.

#include "platform/last_error.h"
#include "usb_internal.h"

#include <libusb.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

namespace platform::usb {

using namespace detail;

namespace {

using TransferPtr = std::shared_ptr<UsbTransfer>;

int errnoOf(int libusbError) {
    switch (libusbError) {
    case LIBUSB_SUCCESS:
        return 0;
    case LIBUSB_ERROR_INVALID_PARAM:
        return EINVAL;
    case LIBUSB_ERROR_ACCESS:
        return EACCES;
    case LIBUSB_ERROR_NO_DEVICE:
        return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND:
        return ENOENT;
    case LIBUSB_ERROR_BUSY:
        return EBUSY;
    case LIBUSB_ERROR_TIMEOUT:
        return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW:
        return EOVERFLOW;
    case LIBUSB_ERROR_PIPE:
        return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED:
        return EINTR;
    case LIBUSB_ERROR_NO_MEM:
        return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return ENOTSUP;
    default:
        return EIO;
    }
}

int errnoOf(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return ETIMEDOUT;
    case LIBUSB_TRANSFER_CANCELLED:
        return ECANCELED;
    case LIBUSB_TRANSFER_STALL:
        return EPIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return ENODEV;
    case LIBUSB_TRANSFER_OVERFLOW:
        return EOVERFLOW;
    default:
        return EIO;
    }
}

UsbSpeed speedOf(int speed) {
    switch (speed) {
    case LIBUSB_SPEED_LOW:
        return UsbSpeed::Low;
    case LIBUSB_SPEED_FULL:
        return UsbSpeed::Full;
    case LIBUSB_SPEED_HIGH:
        return UsbSpeed::High;
    case LIBUSB_SPEED_UNKNOWN:
        return UsbSpeed::Unknown;
    default:
        return UsbSpeed::Super;
    }
}

ConfigurationDescriptor configurationOf(const libusb_config_descriptor& config) {
    ConfigurationDescriptor out;
    out.bConfigurationValue = config.bConfigurationValue;
    out.iConfiguration = config.iConfiguration;
    out.bmAttributes = config.bmAttributes;
    out.bMaxPower = config.MaxPower;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = interface.altsetting[a];
            InterfaceDescriptor d;
            d.bInterfaceNumber = alt.bInterfaceNumber;
            d.bAlternateSetting = alt.bAlternateSetting;
            d.bInterfaceClass = alt.bInterfaceClass;
            d.bInterfaceSubClass = alt.bInterfaceSubClass;
            d.bInterfaceProtocol = alt.bInterfaceProtocol;
            d.iInterface = alt.iInterface;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = alt.endpoint[e];
                d.endpoints.push_back({endpoint.bEndpointAddress, endpoint.bmAttributes,
                                       endpoint.wMaxPacketSize, endpoint.bInterval});
            }
            out.interfaces.push_back(std::move(d));
        }
    }
    return out;
}

// "<bus>-<port>.<port>...", the place of the device in the tree of hubs.
std::string locationOf(libusb_device* device) {
    std::string location = std::to_string(libusb_get_bus_number(device)) + "-";
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth <= 0) {
        return location + "addr" + std::to_string(libusb_get_device_address(device));
    }
    for (int i = 0; i < depth; ++i) {
        location += (i > 0 ? "." : "") + std::to_string(ports[i]);
    }
    return location;
}

class LibusbOps;

// What a libusb transfer carries to its completion.
struct Submitted {
    std::shared_ptr<LibusbOps> ops; // alive until the completion is done with it
    TransferPtr transfer;
    std::vector<uint8_t> controlBuffer; // setup packet and data of a control transfer
};

class LibusbOps final : public UsbDeviceOps, public std::enable_shared_from_this<LibusbOps> {
public:
    explicit LibusbOps(libusb_device* device) : device_(libusb_ref_device(device)) {}

    int submit(const TransferPtr& transfer) override;
    void cancel(const TransferPtr& transfer) override;
    int setConfiguration(const ConfigurationDescriptor* configuration) override;
    int clearHalt(uint8_t endpoint) override;
    int resetPort() override;

    // The device left or the bus stops: nothing new starts; what is in flight
    // is cancelled and waited for (its completions run on the event thread, so
    // never call this there), then the device is closed and released.
    void retire();

private:
    static void LIBUSB_CALL completed(libusb_transfer* transfer);
    int openLocked();
    void releaseInterfacesLocked();

    std::mutex mutex_;
    std::condition_variable drained_;
    libusb_device* device_;
    libusb_device_handle* handle_ = nullptr;
    bool retired_ = false;
    std::set<libusb_transfer*> flying_;
    std::vector<int> claimed_;
};

int LibusbOps::openLocked() {
    if (retired_) {
        return ENODEV;
    }
    if (handle_ == nullptr) {
        if (const int rc = libusb_open(device_, &handle_); rc != 0) {
            handle_ = nullptr;
            return errnoOf(rc);
        }
        // A kernel driver bound to an interface gives way while we hold it.
        libusb_set_auto_detach_kernel_driver(handle_, 1);
    }
    return 0;
}

int LibusbOps::submit(const TransferPtr& transfer) {
    std::lock_guard lock(mutex_);
    if (transfer->isDone()) {
        return 0; // cancelled before it started
    }
    if (const int status = openLocked(); status != 0) {
        return status;
    }
    libusb_transfer* usb = libusb_alloc_transfer(0);
    if (usb == nullptr) {
        return ENOMEM;
    }
    auto* submitted = new Submitted{shared_from_this(), transfer, {}};
    const int length = static_cast<int>(transfer->length);
    // No libusb time-out: the front times out on the platform clock and cancels.
    if (transfer->control) {
        std::vector<uint8_t>& buffer = submitted->controlBuffer;
        buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + transfer->length);
        const ControlSetup& setup = transfer->setup;
        libusb_fill_control_setup(buffer.data(), setup.requestType, setup.request, setup.value,
                                  setup.index, static_cast<uint16_t>(length));
        if (!transfer->in && length > 0) {
            std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, transfer->data, length);
        }
        libusb_fill_control_transfer(usb, handle_, buffer.data(), completed, submitted, 0);
    } else if (transfer->type == EndpointType::Interrupt) {
        libusb_fill_interrupt_transfer(usb, handle_, transfer->endpoint, transfer->data, length,
                                       completed, submitted, 0);
    } else {
        libusb_fill_bulk_transfer(usb, handle_, transfer->endpoint, transfer->data, length,
                                  completed, submitted, 0);
    }
    if (const int rc = libusb_submit_transfer(usb); rc != 0) {
        delete submitted;
        libusb_free_transfer(usb);
        return errnoOf(rc);
    }
    transfer->busData = usb;
    flying_.insert(usb);
    return 0;
}

void LIBUSB_CALL LibusbOps::completed(libusb_transfer* usb) {
    auto* submitted = static_cast<Submitted*>(usb->user_data);
    UsbTransfer& transfer = *submitted->transfer;
    const int status = errnoOf(usb->status);
    const size_t actual = usb->actual_length > 0 ? static_cast<size_t>(usb->actual_length) : 0;
    if (transfer.control && transfer.in && actual > 0) {
        std::memcpy(transfer.data, submitted->controlBuffer.data() + LIBUSB_CONTROL_SETUP_SIZE,
                    std::min(actual, transfer.length));
    }
    LibusbOps& ops = *submitted->ops;
    {
        // Completed under the lock, so that a cancel either still finds the
        // libusb transfer or finds the transfer done.
        std::lock_guard lock(ops.mutex_);
        transfer.busData = nullptr;
        ops.flying_.erase(usb);
        transfer.complete(status, std::min(actual, transfer.length));
        ops.drained_.notify_all();
    }
    libusb_free_transfer(usb);
    delete submitted;
}

void LibusbOps::cancel(const TransferPtr& transfer) {
    std::lock_guard lock(mutex_);
    if (transfer->busData != nullptr) {
        // Its completion follows on the event thread.
        libusb_cancel_transfer(static_cast<libusb_transfer*>(transfer->busData));
    } else {
        transfer->complete(ECANCELED, 0);
    }
}

void LibusbOps::releaseInterfacesLocked() {
    for (int number : claimed_) {
        libusb_release_interface(handle_, number);
    }
    claimed_.clear();
}

int LibusbOps::setConfiguration(const ConfigurationDescriptor* configuration) {
    std::lock_guard lock(mutex_);
    if (const int status = openLocked(); status != 0) {
        return status;
    }
    releaseInterfacesLocked();
    int current = 0;
    if (const int rc = libusb_get_configuration(handle_, &current); rc != 0) {
        return errnoOf(rc);
    }
    const int wanted = configuration != nullptr ? configuration->bConfigurationValue : 0;
    // Setting the current configuration again would reset the device.
    if (current != wanted) {
        if (const int rc = libusb_set_configuration(handle_, wanted != 0 ? wanted : -1); rc != 0) {
            return errnoOf(rc);
        }
    }
    if (configuration == nullptr) {
        return 0;
    }
    std::set<int> numbers;
    for (const InterfaceDescriptor& interface : configuration->interfaces) {
        numbers.insert(interface.bInterfaceNumber);
    }
    for (int number : numbers) {
        if (const int rc = libusb_claim_interface(handle_, number); rc != 0) {
            releaseInterfacesLocked();
            return errnoOf(rc);
        }
        claimed_.push_back(number);
    }
    return 0;
}

int LibusbOps::clearHalt(uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    if (const int status = openLocked(); status != 0) {
        return status;
    }
    return errnoOf(libusb_clear_halt(handle_, endpoint));
}

int LibusbOps::resetPort() {
    std::lock_guard lock(mutex_);
    if (const int status = openLocked(); status != 0) {
        return status;
    }
    const int rc = libusb_reset_device(handle_);
    // Not found: the device came back as another one (re-enumerated).
    return rc == LIBUSB_ERROR_NOT_FOUND ? ENODEV : errnoOf(rc);
}

void LibusbOps::retire() {
    std::unique_lock lock(mutex_);
    retired_ = true;
    for (libusb_transfer* usb : flying_) {
        libusb_cancel_transfer(usb);
    }
    drained_.wait(lock, [&] { return flying_.empty(); });
    if (handle_ != nullptr) {
        releaseInterfacesLocked();
        libusb_close(handle_);
        handle_ = nullptr;
    }
    if (device_ != nullptr) {
        libusb_unref_device(device_);
        device_ = nullptr;
    }
}

struct Known {
    std::shared_ptr<UsbDevice> device;
    std::shared_ptr<LibusbOps> ops;
};

class RealBus : public std::enable_shared_from_this<RealBus> {
public:
    ~RealBus() {
        if (context_ != nullptr) {
            libusb_exit(context_);
        }
    }
    // 0, or why it cannot run (detail says more).
    int start(std::string& detail);
    void stop();

private:
    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device,
                                     libusb_hotplug_event event, void* self);
    void post(libusb_device* device, bool arrived);
    void arrived(libusb_device* device);
    void left(libusb_device* device);
    void runEvents();

    libusb_context* context_ = nullptr;
    libusb_hotplug_callback_handle hotplug_ = 0;
    bool hotplugRegistered_ = false;
    std::thread events_;
    std::atomic<bool> stopEvents_{false};

    std::mutex mutex_;
    bool stopping_ = false;
    std::map<libusb_device*, Known> devices_;
};

int RealBus::start(std::string& detail) {
    if (const int rc = libusb_init(&context_); rc != 0) {
        context_ = nullptr;
        detail = libusb_error_name(rc);
        return errnoOf(rc);
    }
    events_ = std::thread([this] { runEvents(); });
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        const int rc = libusb_hotplug_register_callback(
            context_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, this, &hotplug_);
        hotplugRegistered_ = rc == 0;
    }
    if (!hotplugRegistered_) {
        // No hot-plug: the devices present now are all we will know.
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        for (ssize_t i = 0; i < count; ++i) {
            post(list[i], true);
        }
        if (count >= 0) {
            libusb_free_device_list(list, 1);
        }
    }
    return 0;
}

void RealBus::runEvents() {
    while (!stopEvents_.load()) {
        timeval poll{1, 0}; // stop() also interrupts the wait
        libusb_handle_events_timeout_completed(context_, &poll, nullptr);
    }
}

int LIBUSB_CALL RealBus::onHotplug(libusb_context*, libusb_device* device,
                                   libusb_hotplug_event event, void* self) {
    static_cast<RealBus*>(self)->post(device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return 0; // stay registered
}

// Inside a libusb callback: only queue the work.
void RealBus::post(libusb_device* device, bool arrivedNow) {
    libusb_ref_device(device);
    postHotplugWork([self = shared_from_this(), device, arrivedNow] {
        if (arrivedNow) {
            self->arrived(device);
        } else {
            self->left(device);
        }
        libusb_unref_device(device);
    });
}

void RealBus::arrived(libusb_device* device) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || devices_.count(device) != 0) {
            return;
        }
    }
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(device, &d) != 0) {
        return;
    }
    UsbDevice::Identity identity;
    identity.device = {d.bcdUSB,          d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol,
                       d.bMaxPacketSize0, d.idVendor,     d.idProduct,       d.bcdDevice,
                       d.iManufacturer,   d.iProduct,     d.iSerialNumber,   d.bNumConfigurations};
    for (uint8_t i = 0; i < d.bNumConfigurations; ++i) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(device, i, &config) == 0) {
            identity.configurations.push_back(configurationOf(*config));
            libusb_free_config_descriptor(config);
        }
    }
    identity.speed = speedOf(libusb_get_device_speed(device));
    identity.instanceId = makeInstanceId(d.idVendor, d.idProduct, locationOf(device));
    auto ops = std::make_shared<LibusbOps>(device);
    auto usbDevice = std::make_shared<UsbDevice>(std::move(identity), ops);
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            devices_[device] = {usbDevice, ops};
            deviceArrived(usbDevice);
            return;
        }
    }
    ops->retire();
}

void RealBus::left(libusb_device* device) {
    Known known;
    {
        std::lock_guard lock(mutex_);
        auto it = devices_.find(device);
        if (it == devices_.end()) {
            return;
        }
        known = std::move(it->second);
        devices_.erase(it);
    }
    UsbAccess::markGone(*known.device);
    deviceLeft(known.device);
    known.ops->retire();
}

void RealBus::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (hotplugRegistered_) {
        libusb_hotplug_deregister_callback(context_, hotplug_);
    }
    waitHotplugIdle(); // what the callbacks queued finds the bus stopping
    std::map<libusb_device*, Known> devices;
    {
        std::lock_guard lock(mutex_);
        devices.swap(devices_);
    }
    for (auto& [device, known] : devices) {
        UsbAccess::markGone(*known.device);
        deviceLeft(known.device);
        known.ops->retire(); // while the event thread still completes
    }
    stopEvents_ = true;
    libusb_interrupt_event_handler(context_);
    events_.join();
}

struct RealState {
    std::mutex mutex;
    std::shared_ptr<RealBus> bus;
    bool asked = false;
    int error = 0;
    std::string detail;
};

RealState& real() {
    static auto* state = new RealState;
    return *state;
}

} // namespace

bool startRealUsb() {
    RealState& r = real();
    std::lock_guard lock(r.mutex);
    if (!r.asked) {
        r.asked = true;
        const char* switchedOn = std::getenv("VELDON_USB_REAL");
        if (switchedOn != nullptr && std::strcmp(switchedOn, "0") == 0) {
            r.error = ENODEV;
            r.detail = "switched off by VELDON_USB_REAL=0";
        } else {
            auto bus = std::make_shared<RealBus>();
            r.error = bus->start(r.detail);
            if (r.error == 0) {
                r.bus = std::move(bus);
            }
        }
    }
    if (r.error != 0) {
        setLastError(static_cast<uint32_t>(r.error));
        return false;
    }
    return true;
}

int realUsbError() {
    RealState& r = real();
    std::lock_guard lock(r.mutex);
    return r.error;
}

std::string realUsbErrorText() {
    RealState& r = real();
    std::lock_guard lock(r.mutex);
    if (r.error == 0) {
        return {};
    }
    std::string text = lastErrorText(static_cast<uint32_t>(r.error)).value_or("error");
    return r.detail.empty() ? text : text + " (" + r.detail + ")";
}

namespace detail {

void stopRealUsb() {
    RealState& r = real();
    std::shared_ptr<RealBus> bus;
    {
        std::lock_guard lock(r.mutex);
        bus = std::move(r.bus);
        r.asked = false;
        r.error = 0;
        r.detail.clear();
    }
    if (bus) {
        bus->stop();
    }
}

} // namespace detail
} // namespace platform::usb
