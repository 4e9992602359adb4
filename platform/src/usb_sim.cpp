// The bus of simulated USB devices: each port plays a device's USB controller
// (standard requests, packets, halts) and runs the device's callbacks on a
// device thread of its own.

#include "platform/usb_sim.h"
#include "platform/last_error.h"
#include "platform/thread.h"
#include "usb_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <set>

namespace platform::usb {

using namespace detail;

SimReply SimulatedDevice::handleOut(SimPort&, uint8_t, std::span<const uint8_t>) {
    return SimReply::stall();
}
void SimulatedDevice::configurationSelected(SimPort&, uint8_t) {}
void SimulatedDevice::pipeReset(SimPort&, uint8_t) {}
void SimulatedDevice::portReset(SimPort&) {}

namespace {

using TransferPtr = std::shared_ptr<UsbTransfer>;

thread_local bool tlsOnDeviceThread = false;

struct PendingRead {
    TransferPtr transfer;
    size_t filled = 0;
};

struct Endpoint {
    std::deque<std::vector<uint8_t>> packets;
    size_t queued = 0;
    bool halted = false;
    std::deque<PendingRead> reads;
};

enum class WorkKind { Control, Out, Configured, PipeReset, PortReset };

// Something for the device thread, in the order the host asked.
struct Work {
    WorkKind kind = WorkKind::Control;
    uint64_t connection = 0;
    TransferPtr transfer;
    std::vector<uint8_t> data; // OUT data, copied at submission
    uint8_t value = 0;         // configuration value or endpoint
};

class Port;

struct Retired {
    std::unique_ptr<Thread> thread;
    std::shared_ptr<SimulatedDevice> device;
};

struct Bus {
    std::mutex mutex; // every port's state
    std::vector<std::shared_ptr<Port>> ports;
    uint32_t nextNumber = 1;
    // Threads of devices that unplugged themselves, joined later elsewhere.
    std::vector<Retired> retired;
    size_t readBudget = 0; // bytes of waiting IN reads; 0: no limit
};

Bus& bus() {
    static Bus* instance = new Bus; // never destroyed, like the hub
    return *instance;
}

// Joins the threads of devices that unplugged themselves.
void reap() {
    if (tlsOnDeviceThread) {
        return;
    }
    std::vector<Retired> retired;
    {
        std::lock_guard lock(bus().mutex);
        retired.swap(bus().retired);
    }
    for (Retired& item : retired) {
        item.thread->join();
        item.device.reset();
    }
}

int validate(const SimDescriptors& descriptors) {
    std::set<uint8_t> values;
    for (const ConfigurationDescriptor& configuration : descriptors.configurations) {
        if (configuration.bConfigurationValue == 0 ||
            !values.insert(configuration.bConfigurationValue).second) {
            return EINVAL;
        }
        std::set<uint8_t> addresses;
        for (const EndpointDescriptor& endpoint : configuration.pipes()) {
            if ((endpoint.bEndpointAddress & 0x7F) == 0 || endpoint.maxPacketSize() == 0 ||
                endpoint.type() == EndpointType::Control ||
                !addresses.insert(endpoint.bEndpointAddress).second) {
                return EINVAL;
            }
        }
    }
    return values.empty() ? EINVAL : 0;
}

class Port final : public SimPort, public std::enable_shared_from_this<Port> {
public:
    Port(std::shared_ptr<SimulatedDevice> device, SimDescriptors descriptors, uint32_t number)
        : number_(number), device_(std::move(device)), descriptors_(std::move(descriptors)) {}

    // Starts the device thread and makes the device arrive.
    bool start();

    // --- SimPort
    bool writeIn(uint8_t endpoint, std::span<const uint8_t> data, bool endTransfer) override;
    size_t queuedIn(uint8_t endpoint) const override;
    void flushIn(uint8_t endpoint) override;
    bool haltEndpoint(uint8_t endpoint) override;
    uint8_t configurationValue() const override;
    bool reenumerate(SimDescriptors descriptors) override;
    void unplug() override;
    bool isPlugged() const override;
    uint32_t number() const override { return number_; }
    std::shared_ptr<UsbDevice> hostDevice() const override;

    // Bytes of the IN reads waiting on this port's pipes (under bus().mutex).
    size_t waitingReadBytesLocked() const;

    // --- the host side, for SimOps
    int submit(uint64_t connection, const TransferPtr& transfer);
    void cancel(const TransferPtr& transfer);
    int setConfiguration(uint64_t connection, uint8_t value);
    int clearHalt(uint64_t connection, uint8_t endpoint);
    int resetPort(uint64_t connection);

private:
    uint32_t run(Thread& self);
    bool onOwnThread() const { return tlsOnDeviceThread && currentThreadId() == threadId_; }
    // Runs one callback; true when the device left the bus in it.
    bool process(Work& item, std::unique_lock<std::mutex>& lock);

    // All below under bus().mutex.
    const std::optional<EndpointDescriptor> pipeLocked(uint8_t address) const;
    void deliverLocked(Endpoint& endpoint);
    void answerStandardLocked(const TransferPtr& transfer);
    void failReadsLocked(int status);
    void failAllLocked(int status);
    void postLocked(Work item);
    std::shared_ptr<UsbDevice> newHostLocked();
    // The host's device goes (and a new one comes with other descriptors).
    void disconnectLocked();
    void reconnectLocked(SimDescriptors descriptors);
    // A device thread that leaves the bus: it hands itself over for joining.
    void retireLocked();

    const uint32_t number_;
    std::shared_ptr<SimulatedDevice> device_;
    std::unique_ptr<Thread> thread_;
    uint32_t threadId_ = 0;
    bool plugged_ = true;
    bool stopping_ = false;
    uint64_t connection_ = 0;
    SimDescriptors descriptors_;
    std::shared_ptr<UsbDevice> host_;
    uint8_t configuration_ = 0;
    std::map<uint8_t, Endpoint> endpoints_;
    std::deque<Work> work_;
    TransferPtr running_; // the transfer whose callback runs
    std::condition_variable workChanged_;
    std::optional<SimDescriptors> deferredDescriptors_;
    bool deferredUnplug_ = false;
};

// The operations of one connection of a port: once the device re-enumerated or
// left, they fail with ENODEV.
class SimOps final : public UsbDeviceOps {
public:
    SimOps(std::weak_ptr<Port> port, uint64_t connection)
        : port_(std::move(port)), connection_(connection) {}

    int submit(const TransferPtr& transfer) override {
        auto port = port_.lock();
        return port ? port->submit(connection_, transfer) : ENODEV;
    }
    void cancel(const TransferPtr& transfer) override {
        if (auto port = port_.lock()) {
            port->cancel(transfer);
        } else {
            transfer->complete(ECANCELED, 0);
        }
    }
    int setConfiguration(const ConfigurationDescriptor* configuration) override {
        auto port = port_.lock();
        return port ? port->setConfiguration(connection_,
                                             configuration ? configuration->bConfigurationValue : 0)
                    : ENODEV;
    }
    int clearHalt(uint8_t endpoint) override {
        auto port = port_.lock();
        return port ? port->clearHalt(connection_, endpoint) : ENODEV;
    }
    int resetPort() override {
        auto port = port_.lock();
        return port ? port->resetPort(connection_) : ENODEV;
    }

private:
    const std::weak_ptr<Port> port_;
    const uint64_t connection_;
};

// memcpy that takes the empty buffers (null data) of zero-length packets.
void copyBytes(void* to, const void* from, size_t length) {
    if (length != 0) {
        std::memcpy(to, from, length);
    }
}

bool fail(int code) {
    setLastError(static_cast<uint32_t>(code));
    return false;
}

// --- ports

bool Port::start() {
    auto self = shared_from_this();
    thread_ = std::make_unique<Thread>();
    if (!thread_->start([self](Thread& thread) { return self->run(thread); }, kInfinite)) {
        return false;
    }
    std::lock_guard lock(bus().mutex);
    threadId_ = thread_->id();
    connection_ = 1;
    host_ = newHostLocked();
    bus().ports.push_back(self);
    deviceArrived(host_);
    return true;
}

std::shared_ptr<UsbDevice> Port::newHostLocked() {
    UsbDevice::Identity identity;
    identity.device = descriptors_.device;
    identity.device.bNumConfigurations = static_cast<uint8_t>(descriptors_.configurations.size());
    identity.instanceId = makeInstanceId(identity.device.idVendor, identity.device.idProduct,
                                         "SIM" + std::to_string(number_));
    identity.configurations = descriptors_.configurations;
    identity.speed = descriptors_.speed;
    return std::make_shared<UsbDevice>(std::move(identity),
                                       std::make_shared<SimOps>(weak_from_this(), connection_));
}

const std::optional<EndpointDescriptor> Port::pipeLocked(uint8_t address) const {
    for (const ConfigurationDescriptor& configuration : descriptors_.configurations) {
        if (configuration_ != 0 && configuration.bConfigurationValue == configuration_) {
            for (const EndpointDescriptor& endpoint : configuration.pipes()) {
                if (endpoint.bEndpointAddress == address) {
                    return endpoint;
                }
            }
        }
    }
    return std::nullopt;
}

void Port::postLocked(Work item) {
    item.connection = connection_;
    work_.push_back(std::move(item));
    workChanged_.notify_all();
}

// Hands queued packets to the reads waiting, oldest read first. A packet that
// does not fit is the device's babble: the read gets what fits and fails.
void Port::deliverLocked(Endpoint& endpoint) {
    while (!endpoint.reads.empty() && !endpoint.packets.empty()) {
        PendingRead& read = endpoint.reads.front();
        UsbTransfer& transfer = *read.transfer;
        if (transfer.isDone()) {
            endpoint.reads.pop_front();
            continue;
        }
        std::vector<uint8_t>& packet = endpoint.packets.front();
        const size_t room = transfer.length - read.filled;
        const size_t taken = std::min(room, packet.size());
        copyBytes(transfer.data + read.filled, packet.data(), taken);
        read.filled += taken;
        const bool overflow = packet.size() > room;
        const bool shortPacket = packet.size() < transfer.maxPacketSize;
        endpoint.queued -= packet.size();
        endpoint.packets.pop_front();
        if (overflow || shortPacket || read.filled == transfer.length) {
            transfer.complete(overflow ? EOVERFLOW : 0, read.filled);
            endpoint.reads.pop_front();
        }
    }
}

void Port::failReadsLocked(int status) {
    for (auto& [address, endpoint] : endpoints_) {
        for (PendingRead& read : endpoint.reads) {
            read.transfer->complete(status, read.filled);
        }
        endpoint.reads.clear();
    }
}

void Port::failAllLocked(int status) {
    failReadsLocked(status);
    if (running_) {
        running_->complete(status, 0); // its answer is dropped
    }
    for (Work& item : work_) {
        if (item.transfer) {
            item.transfer->complete(status, 0);
        }
    }
    work_.clear();
    endpoints_.clear();
}

void Port::answerStandardLocked(const TransferPtr& transfer) {
    const ControlSetup& setup = transfer->setup;
    const uint8_t recipient = setup.requestType & 0x1F;
    std::vector<uint8_t> answer;
    bool served = transfer->in;
    if (served && setup.request == kRequestGetDescriptor && recipient == kRecipientDevice) {
        const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
        const uint8_t index = static_cast<uint8_t>(setup.value);
        if (type == kDescriptorDevice) {
            DeviceDescriptor device = descriptors_.device;
            device.bNumConfigurations = static_cast<uint8_t>(descriptors_.configurations.size());
            const auto bytes = device.toBytes();
            answer.assign(bytes.begin(), bytes.end());
        } else if (type == kDescriptorConfiguration && index < descriptors_.configurations.size()) {
            answer = descriptors_.configurations[index].toBytes();
        } else if (type == kDescriptorString && index == 0) {
            answer = {4, kDescriptorString, kLanguageEnglishUs & 0xFF, kLanguageEnglishUs >> 8};
        } else if (type == kDescriptorString && descriptors_.strings.count(index) != 0) {
            answer = makeStringDescriptor(descriptors_.strings.at(index));
        } else {
            served = false;
        }
    } else if (served && setup.request == kRequestGetConfiguration) {
        answer = {configuration_};
    } else if (served && setup.request == kRequestGetStatus) {
        if (recipient == kRecipientEndpoint) {
            const uint8_t address = static_cast<uint8_t>(setup.index);
            served = (address & 0x7F) == 0 || pipeLocked(address).has_value();
            const bool halted = endpoints_.count(address) != 0 && endpoints_[address].halted;
            answer = {static_cast<uint8_t>(halted ? 1 : 0), 0};
        } else {
            answer = {0, 0};
        }
    } else {
        served = false;
    }
    if (!served) {
        transfer->complete(EPIPE, 0);
        return;
    }
    const size_t length = std::min(answer.size(), transfer->length);
    copyBytes(transfer->data, answer.data(), length);
    transfer->complete(0, length);
}

size_t Port::waitingReadBytesLocked() const {
    size_t bytes = 0;
    for (const auto& [address, endpoint] : endpoints_) {
        for (const PendingRead& read : endpoint.reads) {
            bytes += read.transfer->isDone() ? 0 : read.transfer->length;
        }
    }
    return bytes;
}

// Whether the bus has room for one more waiting read of n bytes.
bool readFitsLocked(size_t n) {
    const size_t budget = bus().readBudget;
    if (budget == 0) {
        return true;
    }
    size_t waiting = 0;
    for (const std::shared_ptr<Port>& port : bus().ports) {
        waiting += port->waitingReadBytesLocked();
    }
    return waiting <= budget && n <= budget - waiting;
}

int Port::submit(uint64_t connection, const TransferPtr& transfer) {
    std::lock_guard lock(bus().mutex);
    if (!plugged_ || connection != connection_) {
        return ENODEV;
    }
    if (transfer->isDone()) {
        return 0; // cancelled before it started
    }
    if (transfer->control) {
        if ((transfer->setup.requestType & 0x60) == kTypeStandard) {
            answerStandardLocked(transfer);
            return 0;
        }
        Work item{WorkKind::Control, 0, transfer, {}, 0};
        if (!transfer->in) {
            item.data.assign(transfer->data, transfer->data + transfer->length);
        }
        postLocked(std::move(item));
        return 0;
    }
    if (!pipeLocked(transfer->endpoint)) {
        return ENOENT;
    }
    Endpoint& endpoint = endpoints_[transfer->endpoint];
    if (endpoint.halted) {
        transfer->complete(EPIPE, 0);
    } else if (transfer->in) {
        if (!readFitsLocked(transfer->length)) {
            return ENOMEM;
        }
        endpoint.reads.push_back({transfer, 0});
        deliverLocked(endpoint);
    } else {
        postLocked({WorkKind::Out, 0, transfer,
                    std::vector<uint8_t>(transfer->data, transfer->data + transfer->length),
                    transfer->endpoint});
    }
    return 0;
}

void Port::cancel(const TransferPtr& transfer) {
    std::lock_guard lock(bus().mutex);
    for (auto& [address, endpoint] : endpoints_) {
        auto it = std::find_if(endpoint.reads.begin(), endpoint.reads.end(),
                               [&](const PendingRead& read) { return read.transfer == transfer; });
        if (it != endpoint.reads.end()) {
            transfer->complete(ECANCELED, it->filled);
            endpoint.reads.erase(it);
            return;
        }
    }
    // Queued for the device thread (which skips it now), running there (its
    // answer is dropped), or not submitted yet.
    transfer->complete(ECANCELED, 0);
}

int Port::setConfiguration(uint64_t connection, uint8_t value) {
    std::lock_guard lock(bus().mutex);
    if (!plugged_ || connection != connection_) {
        return ENODEV;
    }
    failReadsLocked(ECANCELED);
    endpoints_.clear();
    configuration_ = value;
    postLocked({WorkKind::Configured, 0, nullptr, {}, value});
    return 0;
}

int Port::clearHalt(uint64_t connection, uint8_t endpoint) {
    std::lock_guard lock(bus().mutex);
    if (!plugged_ || connection != connection_) {
        return ENODEV;
    }
    endpoints_[endpoint].halted = false;
    postLocked({WorkKind::PipeReset, 0, nullptr, {}, endpoint});
    return 0;
}

int Port::resetPort(uint64_t connection) {
    std::lock_guard lock(bus().mutex);
    if (!plugged_ || connection != connection_) {
        return ENODEV;
    }
    failReadsLocked(ECANCELED);
    endpoints_.clear();
    postLocked({WorkKind::PortReset, 0, nullptr, {}, 0});
    return 0;
}

bool Port::writeIn(uint8_t address, std::span<const uint8_t> data, bool endTransfer) {
    std::lock_guard lock(bus().mutex);
    if (!plugged_) {
        return fail(ENODEV);
    }
    if (configuration_ == 0) {
        return fail(ENXIO);
    }
    const std::optional<EndpointDescriptor> pipe = pipeLocked(address);
    if (!pipe || !pipe->isIn()) {
        return fail(ENOENT);
    }
    Endpoint& endpoint = endpoints_[address];
    const size_t size = pipe->maxPacketSize();
    for (size_t offset = 0; offset < data.size(); offset += size) {
        const size_t length = std::min(size, data.size() - offset);
        endpoint.packets.emplace_back(data.begin() + offset, data.begin() + offset + length);
    }
    if (endTransfer && data.size() % size == 0) {
        endpoint.packets.emplace_back();
    }
    endpoint.queued += data.size();
    deliverLocked(endpoint);
    return true;
}

size_t Port::queuedIn(uint8_t address) const {
    std::lock_guard lock(bus().mutex);
    auto it = endpoints_.find(address);
    return it == endpoints_.end() ? 0 : it->second.queued;
}

void Port::flushIn(uint8_t address) {
    std::lock_guard lock(bus().mutex);
    auto it = endpoints_.find(address);
    if (it != endpoints_.end()) {
        it->second.packets.clear();
        it->second.queued = 0;
    }
}

bool Port::haltEndpoint(uint8_t address) {
    std::lock_guard lock(bus().mutex);
    if (!plugged_) {
        return fail(ENODEV);
    }
    if (configuration_ == 0) {
        return fail(ENXIO);
    }
    if (!pipeLocked(address)) {
        return fail(ENOENT);
    }
    Endpoint& endpoint = endpoints_[address];
    endpoint.halted = true;
    for (PendingRead& read : endpoint.reads) {
        read.transfer->complete(EPIPE, read.filled);
    }
    endpoint.reads.clear();
    for (Work& item : work_) {
        if (item.kind == WorkKind::Out && item.value == address) {
            item.transfer->complete(EPIPE, 0);
        }
    }
    return true;
}

uint8_t Port::configurationValue() const {
    std::lock_guard lock(bus().mutex);
    return configuration_;
}

bool Port::isPlugged() const {
    std::lock_guard lock(bus().mutex);
    return plugged_;
}

std::shared_ptr<UsbDevice> Port::hostDevice() const {
    std::lock_guard lock(bus().mutex);
    return host_;
}

void Port::disconnectLocked() {
    failAllLocked(ENODEV);
    configuration_ = 0;
    if (host_) {
        UsbAccess::setGone(*host_);
        deviceLeft(host_);
        host_.reset();
    }
}

void Port::reconnectLocked(SimDescriptors descriptors) {
    disconnectLocked();
    descriptors_ = std::move(descriptors);
    ++connection_;
    host_ = newHostLocked();
    deviceArrived(host_);
}

bool Port::reenumerate(SimDescriptors descriptors) {
    if (validate(descriptors) != 0) {
        return fail(EINVAL);
    }
    std::lock_guard lock(bus().mutex);
    if (!plugged_) {
        return fail(ENODEV);
    }
    if (onOwnThread()) {
        deferredDescriptors_ = std::move(descriptors);
    } else {
        reconnectLocked(std::move(descriptors));
    }
    return true;
}

void Port::unplug() {
    std::unique_ptr<Thread> thread;
    std::shared_ptr<SimulatedDevice> device;
    {
        std::lock_guard lock(bus().mutex);
        if (onOwnThread()) {
            deferredUnplug_ = plugged_;
            return;
        }
        if (plugged_) {
            plugged_ = false;
            disconnectLocked();
            stopping_ = true;
            workChanged_.notify_all();
            thread = std::move(thread_);
            device = std::move(device_);
            std::erase(bus().ports, shared_from_this());
        }
    }
    if (thread) {
        thread->requestStop(); // ends the platform waits of a blocked callback
        thread->join();
    }
    device.reset(); // after its last callback
    reap();
}

void Port::retireLocked() {
    plugged_ = false;
    disconnectLocked();
    stopping_ = true;
    bus().retired.push_back({std::move(thread_), std::move(device_)});
    std::erase(bus().ports, shared_from_this());
}

bool Port::process(Work& item, std::unique_lock<std::mutex>& lock) {
    const TransferPtr transfer = item.transfer;
    if (item.connection != connection_ || (transfer && transfer->isDone())) {
        return false; // for a connection that went, or given up by the host
    }
    const std::shared_ptr<SimulatedDevice> device = device_;
    running_ = transfer;
    lock.unlock();
    SimReply reply;
    try {
        switch (item.kind) {
        case WorkKind::Control:
            reply = device->handleControl(*this, transfer->setup, item.data,
                                          static_cast<uint16_t>(transfer->length));
            break;
        case WorkKind::Out:
            reply = device->handleOut(*this, item.value, item.data);
            break;
        case WorkKind::Configured:
            device->configurationSelected(*this, item.value);
            break;
        case WorkKind::PipeReset:
            device->pipeReset(*this, item.value);
            break;
        case WorkKind::PortReset:
            device->portReset(*this);
            break;
        }
    } catch (...) {
        reply = {EIO, {}, true}; // a broken model fails its request, not the bus
    }
    lock.lock();
    running_.reset();
    const bool answer =
        transfer && reply.answered && item.connection == connection_ && !transfer->isDone();
    size_t length = 0;
    if (answer) {
        if (item.kind == WorkKind::Out && reply.status == EPIPE) {
            endpoints_[item.value].halted = true;
        }
        if (reply.status == 0) {
            length = transfer->length;
            if (transfer->in) {
                length = std::min(reply.data.size(), transfer->length);
                copyBytes(transfer->data, reply.data.data(), length);
            }
        }
    }
    // What the callback asked for happens before its answer is given, so
    // that a host that got the answer finds the device gone already.
    bool retired = false;
    if (deferredUnplug_ && plugged_) {
        retireLocked();
        retired = true;
    } else if (deferredDescriptors_ && plugged_) {
        reconnectLocked(std::move(*deferredDescriptors_));
    }
    deferredUnplug_ = false;
    deferredDescriptors_.reset();
    if (answer) {
        transfer->complete(reply.status, length);
    } else if (retired && transfer && !transfer->isDone()) {
        // A device that unplugged itself without answering: the host sees it gone.
        transfer->complete(ENODEV, 0);
    }
    return retired;
}

uint32_t Port::run(Thread& self) {
    tlsOnDeviceThread = true;
    self.signalRunning();
    std::unique_lock lock(bus().mutex);
    while (true) {
        workChanged_.wait(lock, [&] { return !work_.empty() || stopping_; });
        if (stopping_) {
            return 0;
        }
        Work item = std::move(work_.front());
        work_.pop_front();
        if (process(item, lock)) {
            return 0; // retired: joined by another thread
        }
    }
}

} // namespace

void setSimReadBudget(size_t bytes) {
    std::lock_guard lock(bus().mutex);
    bus().readBudget = bytes;
}

std::shared_ptr<SimPort> plugSimulatedDevice(std::shared_ptr<SimulatedDevice> device,
                                             SimDescriptors descriptors) {
    if (!device || validate(descriptors) != 0) {
        setLastError(EINVAL);
        return nullptr;
    }
    reap();
    uint32_t number = 0;
    {
        std::lock_guard lock(bus().mutex);
        number = bus().nextNumber++;
    }
    auto port = std::make_shared<Port>(std::move(device), std::move(descriptors), number);
    if (!port->start()) {
        return nullptr; // the thread's error is the last error
    }
    return port;
}

namespace detail {

void shutdownSimBus() {
    std::vector<std::shared_ptr<Port>> ports;
    {
        std::lock_guard lock(bus().mutex);
        ports = bus().ports;
    }
    for (const auto& port : ports) {
        port->unplug();
    }
    reap();
}

bool onSimDeviceThread() {
    return tlsOnDeviceThread;
}

} // namespace detail
} // namespace platform::usb
