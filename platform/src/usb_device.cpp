// The driver-facing USB device: argument checks, time-outs on the platform
// clock, aborts and the gone state, the same for every bus.

#include "platform/driver.h"
#include "usb_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <set>
#include <utility>

namespace platform::usb {

using detail::UsbTransfer;

// --- transfers

bool UsbTransfer::complete(int status, size_t actual) {
    std::lock_guard lock(mutex_);
    if (done_) {
        return false;
    }
    done_ = true;
    status_ = status;
    actual_ = actual;
    doneChanged_.notify_all();
    return true;
}

bool UsbTransfer::isDone() const {
    std::lock_guard lock(mutex_);
    return done_;
}

void UsbTransfer::setCancelReason(int reason) {
    std::lock_guard lock(mutex_);
    if (cancelReason_ == 0) {
        cancelReason_ = reason;
    }
}

bool UsbTransfer::waitDone(Clock& clock, TimePoint deadline) {
    std::unique_lock lock(mutex_);
    while (!done_) {
        if (clock.waitUntil(doneChanged_, lock, deadline) == std::cv_status::timeout) {
            return done_;
        }
    }
    return true;
}

void UsbTransfer::waitDone() {
    std::unique_lock lock(mutex_);
    doneChanged_.wait(lock, [this] { return done_; });
}

std::pair<int, size_t> UsbTransfer::result() const {
    std::lock_guard lock(mutex_);
    const int status = status_ == ECANCELED && cancelReason_ != 0 ? cancelReason_ : status_;
    return {status, actual_};
}

// --- devices

namespace {

// Every UsbDevice alive, so that a bus context can be checked before its cast.
std::mutex& registryMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::set<const void*>& registry() {
    static auto* set = new std::set<const void*>;
    return *set;
}

bool noTimeout(uint32_t timeoutMs) {
    return timeoutMs == 0 || timeoutMs == kInfinite;
}

} // namespace

struct UsbDevice::State {
    mutable std::mutex mutex;
    bool gone = false;
    std::optional<ConfigurationDescriptor> selected;
    std::vector<TransferPtr> inFlight;
    std::mutex configMutex; // one configuration change or port reset at a time
};

UsbDevice::UsbDevice(Identity identity, std::shared_ptr<UsbDeviceOps> ops)
    : identity_(std::move(identity)), ops_(std::move(ops)), state_(std::make_unique<State>()) {
    std::lock_guard lock(registryMutex());
    registry().insert(this);
}

UsbDevice::~UsbDevice() {
    std::lock_guard lock(registryMutex());
    registry().erase(this);
}

bool UsbDevice::isGone() const {
    std::lock_guard lock(state_->mutex);
    return state_->gone;
}

uint8_t UsbDevice::configurationValue() const {
    std::lock_guard lock(state_->mutex);
    return state_->selected ? state_->selected->bConfigurationValue : 0;
}

std::optional<ConfigurationDescriptor> UsbDevice::selectedConfiguration() const {
    std::lock_guard lock(state_->mutex);
    return state_->selected;
}

std::optional<EndpointDescriptor> UsbDevice::pipe(uint8_t endpointAddress) const {
    std::lock_guard lock(state_->mutex);
    if (!state_->selected) {
        return std::nullopt;
    }
    for (const EndpointDescriptor& endpoint : state_->selected->pipes()) {
        if (endpoint.bEndpointAddress == endpointAddress) {
            return endpoint;
        }
    }
    return std::nullopt;
}

int UsbDevice::selectConfiguration(uint8_t configurationValue) {
    std::lock_guard config(state_->configMutex);
    const ConfigurationDescriptor* wanted = nullptr;
    if (configurationValue != 0) {
        auto it = std::find_if(identity_.configurations.begin(), identity_.configurations.end(),
                               [&](const ConfigurationDescriptor& c) {
                                   return c.bConfigurationValue == configurationValue;
                               });
        if (it == identity_.configurations.end()) {
            return ENOENT;
        }
        wanted = &*it;
    }
    if (isGone()) {
        return ENODEV;
    }
    cancelMatching([](const UsbTransfer& t) { return !t.control; }, ECANCELED);
    const int status = ops_->setConfiguration(wanted);
    if (status == 0) {
        std::lock_guard lock(state_->mutex);
        state_->selected = wanted != nullptr ? std::optional(*wanted) : std::nullopt;
    }
    return status;
}

int UsbDevice::begin(const TransferPtr& transfer) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->gone) {
            return ENODEV;
        }
        state_->inFlight.push_back(transfer);
    }
    const int status = ops_->submit(transfer);
    if (status != 0) {
        std::lock_guard lock(state_->mutex);
        std::erase(state_->inFlight, transfer);
    }
    return status;
}

TransferResult UsbDevice::finish(const TransferPtr& transfer, uint32_t timeoutMs,
                                 ShortTransfer rule) {
    Clock& clock = platform::clock();
    bool finished = true;
    if (noTimeout(timeoutMs)) {
        transfer->waitDone();
    } else {
        finished = transfer->waitDone(clock, deadlineAfterMs(clock, timeoutMs));
    }
    if (!finished) {
        transfer->setCancelReason(ETIMEDOUT);
        ops_->cancel(transfer);
        transfer->waitDone();
    }
    {
        std::lock_guard lock(state_->mutex);
        std::erase(state_->inFlight, transfer);
    }
    auto [status, actual] = transfer->result();
    if (status == 0 && transfer->in && rule == ShortTransfer::Error && actual < transfer->length) {
        status = EREMOTEIO;
    }
    return {status, actual};
}

TransferResult UsbDevice::run(const TransferPtr& transfer, uint32_t timeoutMs, ShortTransfer rule) {
    if (const int status = begin(transfer); status != 0) {
        return {status, 0};
    }
    return finish(transfer, timeoutMs, rule);
}

TransferResult UsbDevice::control(const ControlSetup& setup, uint8_t* data, size_t length,
                                  uint32_t timeoutMs, ShortTransfer rule) {
    if ((data == nullptr && length != 0) || length > 0xFFFF) {
        return {EINVAL, 0};
    }
    // These change state that this layer keeps; they have their own calls.
    if ((setup.requestType & 0x60) == kTypeStandard &&
        (setup.request == kRequestSetConfiguration || setup.request == kRequestSetInterface ||
         setup.request == kRequestClearFeature || setup.request == kRequestSetAddress)) {
        return {EINVAL, 0};
    }
    auto transfer = std::make_shared<UsbTransfer>();
    transfer->control = true;
    transfer->setup = setup;
    transfer->endpoint = setup.requestType & kDirectionIn;
    transfer->in = (setup.requestType & kDirectionIn) != 0;
    transfer->data = data;
    transfer->length = length;
    transfer->maxPacketSize = identity_.device.bMaxPacketSize0;
    return run(transfer, timeoutMs, rule);
}

TransferResult UsbDevice::controlIn(const ControlSetup& setup, std::span<uint8_t> data,
                                    uint32_t timeoutMs, ShortTransfer rule) {
    if ((setup.requestType & kDirectionIn) == 0) {
        return {EINVAL, 0};
    }
    return control(setup, data.data(), data.size(), timeoutMs, rule);
}

TransferResult UsbDevice::controlOut(const ControlSetup& setup, std::span<const uint8_t> data,
                                     uint32_t timeoutMs) {
    if ((setup.requestType & kDirectionIn) != 0) {
        return {EINVAL, 0};
    }
    // Never written: the bus only reads an OUT transfer's buffer.
    return control(setup, const_cast<uint8_t*>(data.data()), data.size(), timeoutMs,
                   ShortTransfer::Ok);
}

TransferResult UsbDevice::getDescriptor(uint8_t type, uint8_t index, uint16_t languageId,
                                        std::span<uint8_t> data, uint32_t timeoutMs) {
    const ControlSetup setup{kDirectionIn | kTypeStandard | kRecipientDevice, kRequestGetDescriptor,
                             static_cast<uint16_t>(type << 8 | index), languageId};
    return controlIn(setup, data, timeoutMs);
}

int UsbDevice::makePipeTransfer(uint8_t endpointAddress, uint8_t* data, size_t length, bool in,
                                TransferPtr& transfer) {
    if (((endpointAddress & kDirectionIn) != 0) != in || (data == nullptr && length != 0) ||
        length > INT_MAX || (in && length == 0)) {
        return EINVAL;
    }
    if (isGone()) {
        return ENODEV;
    }
    const std::optional<EndpointDescriptor> endpoint = pipe(endpointAddress);
    if (!endpoint) {
        return ENOENT;
    }
    if (endpoint->type() != EndpointType::Bulk && endpoint->type() != EndpointType::Interrupt) {
        return EINVAL;
    }
    transfer = std::make_shared<UsbTransfer>();
    transfer->endpoint = endpointAddress;
    transfer->type = endpoint->type();
    transfer->in = in;
    transfer->data = data;
    transfer->length = length;
    transfer->maxPacketSize = endpoint->maxPacketSize();
    return 0;
}

TransferResult UsbDevice::pipeTransfer(uint8_t endpointAddress, uint8_t* data, size_t length,
                                       bool in, uint32_t timeoutMs, ShortTransfer rule) {
    TransferPtr transfer;
    if (const int status = makePipeTransfer(endpointAddress, data, length, in, transfer);
        status != 0) {
        return {status, 0};
    }
    return run(transfer, timeoutMs, rule);
}

TransferResult UsbDevice::readPipe(uint8_t endpointAddress, std::span<uint8_t> data,
                                   uint32_t timeoutMs, ShortTransfer rule) {
    return pipeTransfer(endpointAddress, data.data(), data.size(), true, timeoutMs, rule);
}

TransferResult UsbDevice::writePipe(uint8_t endpointAddress, std::span<const uint8_t> data,
                                    uint32_t timeoutMs) {
    // Never written: the bus only reads an OUT transfer's buffer.
    return pipeTransfer(endpointAddress, const_cast<uint8_t*>(data.data()), data.size(), false,
                        timeoutMs, ShortTransfer::Ok);
}

PostedRead UsbDevice::postRead(uint8_t endpointAddress, std::span<uint8_t> data,
                               ShortTransfer rule) {
    PostedRead read;
    TransferPtr transfer;
    int status = makePipeTransfer(endpointAddress, data.data(), data.size(), true, transfer);
    if (status == 0) {
        status = begin(transfer);
    }
    if (status != 0) {
        read.refused_ = {status, 0};
        return read;
    }
    read.device_ = this;
    read.transfer_ = std::move(transfer);
    read.rule_ = rule;
    return read;
}

PostedRead::PostedRead(PostedRead&& other) noexcept
    : device_(std::exchange(other.device_, nullptr)), transfer_(std::move(other.transfer_)),
      rule_(other.rule_), refused_(std::exchange(other.refused_, {EINVAL, 0})) {}

PostedRead& PostedRead::operator=(PostedRead&& other) noexcept {
    if (this != &other) {
        release();
        device_ = std::exchange(other.device_, nullptr);
        transfer_ = std::move(other.transfer_);
        rule_ = other.rule_;
        refused_ = std::exchange(other.refused_, {EINVAL, 0});
    }
    return *this;
}

PostedRead::~PostedRead() {
    release();
}

void PostedRead::release() {
    if (transfer_) {
        cancel();
    }
}

TransferResult PostedRead::cancel() {
    if (!transfer_) {
        return std::exchange(refused_, {EINVAL, 0});
    }
    const std::shared_ptr<UsbTransfer> transfer = std::move(transfer_);
    transfer_.reset();
    device_->ops_->cancel(transfer);
    return device_->finish(transfer, kInfinite, rule_);
}

TransferResult PostedRead::wait(uint32_t timeoutMs) {
    if (!transfer_) {
        return std::exchange(refused_, {EINVAL, 0});
    }
    const std::shared_ptr<UsbTransfer> transfer = std::move(transfer_);
    transfer_.reset();
    return device_->finish(transfer, timeoutMs, rule_);
}

void UsbDevice::cancelMatching(const std::function<bool(const UsbTransfer&)>& match, int reason) {
    std::vector<TransferPtr> matching;
    {
        std::lock_guard lock(state_->mutex);
        for (const TransferPtr& transfer : state_->inFlight) {
            if (match(*transfer)) {
                matching.push_back(transfer);
            }
        }
    }
    for (const TransferPtr& transfer : matching) {
        transfer->setCancelReason(reason);
        ops_->cancel(transfer);
    }
    for (const TransferPtr& transfer : matching) {
        transfer->waitDone();
    }
}

int UsbDevice::abortPipe(uint8_t endpointAddress) {
    const bool controlPipe = (endpointAddress & 0x7F) == 0;
    if (!controlPipe && !pipe(endpointAddress)) {
        return isGone() ? ENODEV : ENOENT;
    }
    cancelMatching(
        [&](const UsbTransfer& t) {
            return controlPipe ? t.control : !t.control && t.endpoint == endpointAddress;
        },
        ECANCELED);
    return isGone() ? ENODEV : 0;
}

int UsbDevice::resetPipe(uint8_t endpointAddress) {
    if (isGone()) {
        return ENODEV;
    }
    if ((endpointAddress & 0x7F) == 0) {
        return EINVAL; // a control pipe has no lasting halt
    }
    if (!pipe(endpointAddress)) {
        return ENOENT;
    }
    return ops_->clearHalt(endpointAddress);
}

int UsbDevice::resetPort() {
    std::lock_guard config(state_->configMutex);
    if (isGone()) {
        return ENODEV;
    }
    cancelMatching([](const UsbTransfer&) { return true; }, ECANCELED);
    const int status = ops_->resetPort();
    if (status == ENODEV) {
        markGone();
    }
    return status;
}

std::vector<UsbDevice::TransferPtr> UsbDevice::setGone() {
    std::lock_guard lock(state_->mutex);
    if (state_->gone) {
        return {};
    }
    state_->gone = true;
    return state_->inFlight;
}

void UsbDevice::markGone() {
    // Not waited for here: a bus may complete them on the calling thread's
    // own event loop; their callers wait.
    for (const TransferPtr& transfer : setGone()) {
        transfer->setCancelReason(ENODEV);
        ops_->cancel(transfer);
    }
}

std::shared_ptr<UsbDevice> usbDeviceOf(const PhysicalDevice& physical) {
    const std::shared_ptr<void>& context = physical.busContext();
    std::lock_guard lock(registryMutex());
    if (!context || registry().count(context.get()) == 0) {
        return nullptr;
    }
    return std::static_pointer_cast<UsbDevice>(context);
}

} // namespace platform::usb
