#include "sim/fx2_board.h"
#include "sim/light_sources.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace usb = platform::usb;

namespace {

constexpr uint8_t kMagic[4] = {'V', 'L', 'D', 'N'};
constexpr uint32_t kInternalRamEnd = 0x4000;
constexpr uint32_t kScratchStart = 0xE000;
constexpr uint32_t kScratchEnd = 0xE200;
constexpr uint32_t kLoaderCodeEnd = 0x1B40;
constexpr std::size_t kMaxRequestLog = 8192;
constexpr uint16_t kBlankRelease = 0x0000;
constexpr uint16_t kHighSpeedReleaseBit = 0x10;
constexpr uint8_t kFx2CpuResetBit = 0x01;

uint16_t sum16(std::span<const uint8_t> bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<uint16_t>(sum);
}

void put16(std::vector<uint8_t>& bytes, std::size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint16_t get16(std::span<const uint8_t> bytes, std::size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// Bytes that differ from image to image and from place to place.
std::vector<uint8_t> pattern(uint16_t image, uint16_t start, uint16_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t address = start + i;
        bytes[i] = static_cast<uint8_t>(address * 37 + image * 101 + (address >> 8) * 13);
    }
    return bytes;
}

usb::ConfigurationDescriptor bulkConfiguration(std::initializer_list<uint8_t> endpoints,
                                               usb::UsbSpeed speed, uint8_t maxPower) {
    const uint16_t packet = speed == usb::UsbSpeed::High ? 512 : 64;
    usb::ConfigurationDescriptor configuration;
    configuration.bConfigurationValue = 1;
    configuration.bMaxPower = maxPower;
    usb::InterfaceDescriptor interface;
    for (uint8_t address : endpoints) {
        interface.endpoints.push_back(
            {address, static_cast<uint8_t>(usb::EndpointType::Bulk), packet, 0});
    }
    configuration.interfaces.push_back(interface);
    return configuration;
}

bool isScanRequest(uint8_t request) {
    switch (request) {
    case kFx2RequestDeinit:
    case kFx2RequestInit:
    case kFx2RequestGetScans:
    case kFx2RequestSetDigitalOutput:
    case kFx2RequestGetDigitalInput:
    case kFx2RequestSetInputLatch:
    case kFx2RequestReinit:
    case kFx2RequestStop:
        return true;
    default:
        return false;
    }
}

bool sameDescriptors(const usb::SimDescriptors& a, const usb::SimDescriptors& b) {
    return a.device == b.device && a.configurations == b.configurations && a.strings == b.strings &&
           a.speed == b.speed;
}

} // namespace

std::optional<Fx2ImageId> fx2ShippedImage(int image) {
    switch (image) {
    case 1:
        return Fx2ImageId{1, 1, 0, 0x0100, 0x0100, 0x2000, 0};
    case 2:
        return Fx2ImageId{2, 204, 100, 0x0100, 0x0400, 0x2000, 0x0200};
    case 3:
        return Fx2ImageId{3, 204, 101, 0x0100, 0x0300, 0x2000, 0x0100};
    case 5:
        return Fx2ImageId{5, 310, 200, 0x0100, 0x0500, 0x2000, 0x0400};
    default:
        return std::nullopt;
    }
}

std::vector<std::pair<uint16_t, std::vector<uint8_t>>> fx2ImageContents(const Fx2ImageId& id) {
    const std::vector<uint8_t> code = pattern(id.image, id.codeStart, id.codeLength);
    const std::vector<uint8_t> data = pattern(id.image, id.dataStart, id.dataLength);
    std::vector<uint8_t> block(kFx2ImageIdSize, 0);
    std::memcpy(block.data(), kMagic, sizeof kMagic);
    put16(block, 4, id.image);
    put16(block, 6, id.firmwareVersion);
    put16(block, 8, id.firmwareType);
    put16(block, 12, id.codeStart);
    put16(block, 14, id.codeLength);
    put16(block, 16, sum16(code));
    put16(block, 18, id.dataStart);
    put16(block, 20, id.dataLength);
    put16(block, 22, sum16(data));
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> contents;
    // LJMP to the code.
    contents.push_back(
        {0x0000,
         {0x02, static_cast<uint8_t>(id.codeStart >> 8), static_cast<uint8_t>(id.codeStart)}});
    contents.push_back({kFx2ImageIdAddress, block});
    if (!code.empty()) {
        contents.push_back({id.codeStart, code});
    }
    if (!data.empty()) {
        contents.push_back({id.dataStart, data});
    }
    return contents;
}

std::string intelHexLine(uint8_t type, uint16_t address, std::span<const uint8_t> data) {
    char field[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address,
                  type);
    std::string line = field;
    for (uint8_t b : data) {
        std::snprintf(field, sizeof field, "%02X", b);
        line += field;
        sum += b;
    }
    std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}

std::string fx2ImageHex(const Fx2ImageId& id) {
    std::string text;
    for (const auto& [address, bytes] : fx2ImageContents(id)) {
        for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
            const std::size_t n = std::min<std::size_t>(16, bytes.size() - offset);
            text += intelHexLine(0, static_cast<uint16_t>(address + offset),
                                 std::span(bytes).subspan(offset, n));
        }
    }
    return text + intelHexLine(1, 0, {});
}

Fx2Board::Fx2Board(Fx2BoardConfig config)
    : config_(std::move(config)), ram_(0x10000, 0), jtag_(config_.cpld), sensor_(config_.sensor),
      frameRate_(config_.frameRate), digitalInput_(config_.sensor.digitalInputs) {
    lines_.inputs = config_.sensor.digitalInputs;
    std::lock_guard lock(mutex_);
    const BoardImages images = boardImages(config_.sensor);
    attachConfigurationEeproms(bus_, images);
    attachBoardModules(bus_, config_.sensor);
    for (const uint8_t address : config_.sensor.i2cRecorders) {
        bus_.attach(address, std::make_unique<I2cRecorder>());
    }
    if (config_.bootEeprom) {
        controllerBus_.attachEeprom(fx2BootEepromAddress(config_.generation), bootContents(images));
    }
    if (config_.running) {
        for (const auto& [address, bytes] : fx2ImageContents(*config_.running)) {
            std::copy(bytes.begin(), bytes.end(), ram_.begin() + address);
        }
        image_ = imageInRamLocked();
        if (image_) {
            runs_ = image_->image == 1 ? Runs::Loader : Runs::Firmware;
        }
    }
    shown_ = runs_ == Runs::Firmware ? firmwareDescriptorsLocked() : chipDescriptorsLocked();
}

std::shared_ptr<usb::SimPort> Fx2Board::plug(const std::shared_ptr<Fx2Board>& board) {
    std::shared_ptr<usb::SimPort> port = usb::plugSimulatedDevice(board, board->descriptors());
    std::lock_guard lock(board->mutex_);
    board->port_ = port;
    return port;
}

usb::SimDescriptors Fx2Board::descriptors() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

usb::SimDescriptors Fx2Board::chipDescriptorsLocked() const {
    usb::SimDescriptors d;
    d.speed = config_.speed;
    if (config_.bootEeprom) {
        d.device.idVendor = config_.vendorId;
        d.device.idProduct =
            static_cast<uint16_t>(kBoardProductIdGeneration1 + (config_.generation == 2 ? 1 : 0));
        d.device.bcdDevice = config_.eepromRelease;
    } else {
        d.device.idVendor = kFx2ChipVendorId;
        d.device.idProduct = kFx2ChipProductId;
        d.device.bcdDevice = kBlankRelease;
    }
    d.device.bDeviceClass = 0xFF;
    d.configurations.push_back(
        bulkConfiguration({0x01, 0x81, 0x02, 0x04, 0x86, 0x88}, config_.speed, 50));
    return d;
}

usb::SimDescriptors Fx2Board::firmwareDescriptorsLocked() const {
    usb::SimDescriptors d;
    d.speed = config_.speed;
    d.device.idVendor = config_.vendorId;
    d.device.idProduct =
        static_cast<uint16_t>(kBoardProductIdGeneration1 + (config_.generation == 2 ? 1 : 0));
    d.device.bcdDevice =
        static_cast<uint16_t>((config_.switchId & 0x0F) |
                              (config_.speed == usb::UsbSpeed::High ? kHighSpeedReleaseBit : 0));
    d.device.iManufacturer = 1;
    d.device.iProduct = 2;
    d.strings = {{1, config_.restricted ? u"XXXXX Ondrel Kestro" : u"Ondrel Kestro"},
                 {2, u"KX-VEL02Qx"}};
    d.configurations.push_back(bulkConfiguration({0x01, 0x81, 0x86}, config_.speed, 100));
    return d;
}

std::optional<Fx2ImageId> Fx2Board::imageInRamLocked() const {
    const std::span<const uint8_t> block(ram_.data() + kFx2ImageIdAddress, kFx2ImageIdSize);
    if (std::memcmp(block.data(), kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    Fx2ImageId id;
    id.image = get16(block, 4);
    id.firmwareVersion = get16(block, 6);
    id.firmwareType = get16(block, 8);
    id.codeStart = get16(block, 12);
    id.codeLength = get16(block, 14);
    id.dataStart = get16(block, 18);
    id.dataLength = get16(block, 20);
    const bool codeInside = id.codeStart + id.codeLength <= kLoaderCodeEnd;
    const bool dataInside = id.dataLength == 0 || (id.dataStart >= kLoaderCodeEnd &&
                                                   id.dataStart + id.dataLength <= kScratchStart);
    if (id.image == 0 || !codeInside || !dataInside || (id.image == 1 && id.dataLength != 0)) {
        return std::nullopt;
    }
    const std::span<const uint8_t> ram(ram_);
    if (sum16(ram.subspan(id.codeStart, id.codeLength)) != get16(block, 16) ||
        sum16(ram.subspan(id.dataStart, id.dataLength)) != get16(block, 22)) {
        return std::nullopt;
    }
    return id;
}

bool Fx2Board::cpuHeld() const {
    std::lock_guard lock(mutex_);
    return cpuHeld_;
}

Fx2Board::Runs Fx2Board::runs() const {
    std::lock_guard lock(mutex_);
    return runs_;
}

uint16_t Fx2Board::runningImage() const {
    std::lock_guard lock(mutex_);
    return runs_ != Runs::Nothing && image_ ? image_->image : 0;
}

std::vector<uint8_t> Fx2Board::memory(uint16_t address, std::size_t length) const {
    std::lock_guard lock(mutex_);
    const std::size_t n = std::min<std::size_t>(length, ram_.size() - address);
    return {ram_.begin() + address, ram_.begin() + address + static_cast<std::ptrdiff_t>(n)};
}

std::size_t Fx2Board::reenumerations() const {
    std::lock_guard lock(mutex_);
    return reenumerations_;
}

std::size_t Fx2Board::portResets() const {
    std::lock_guard lock(mutex_);
    return portResets_;
}

bool Fx2Board::waitForPortResets(std::size_t n, std::chrono::milliseconds realLimit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, realLimit, [&] { return portResets_ >= n; });
}

std::vector<Fx2Board::Request> Fx2Board::requests() const {
    std::lock_guard lock(mutex_);
    return {requests_.begin(), requests_.end()};
}

void Fx2Board::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool Fx2Board::waitForRequest(const std::function<bool(const Request&)>& match,
                              std::chrono::milliseconds realLimit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(
        lock, realLimit, [&] { return std::any_of(requests_.begin(), requests_.end(), match); });
}

void Fx2Board::failLoadAt(uint16_t address) {
    std::lock_guard lock(mutex_);
    failingLoads_.insert(address);
}

void Fx2Board::stallRequest(uint8_t request) {
    std::lock_guard lock(mutex_);
    stalled_.insert(request);
}

void Fx2Board::silenceRequest(uint8_t request) {
    std::lock_guard lock(mutex_);
    silent_.insert(request);
}

void Fx2Board::unplugOnRequest(uint8_t request) {
    std::lock_guard lock(mutex_);
    unplugging_.insert(request);
}

void Fx2Board::delayRequest(uint8_t request, platform::Duration delay) {
    std::lock_guard lock(mutex_);
    slowRequests_[request] = delay;
}

void Fx2Board::clearFaults() {
    std::lock_guard lock(mutex_);
    failingLoads_.clear();
    stalled_.clear();
    silent_.clear();
    slowRequests_.clear();
    unplugging_.clear();
    jtagFault_ = Fx2JtagFault::None;
}

void Fx2Board::setDeviceError(uint16_t code, uint16_t info) {
    std::lock_guard lock(mutex_);
    errorCode_ = code;
    errorInfo_ = info;
}

void Fx2Board::injectJtagFault(Fx2JtagFault fault, std::size_t after) {
    std::lock_guard lock(mutex_);
    jtagFault_ = fault;
    jtagFaultAfter_ = after;
}

std::optional<bool> Fx2Board::programmingEnd() const {
    std::lock_guard lock(mutex_);
    return programmingEnd_;
}

usb::SimReply Fx2Board::serveJtagLocked(const usb::ControlSetup& setup, bool& unplug) {
    if (runs_ != Runs::Loader) {
        return usb::SimReply::stall();
    }
    Fx2JtagFault fault = Fx2JtagFault::None;
    if (jtagFaultAfter_ > 0) {
        --jtagFaultAfter_;
    } else {
        fault = jtagFault_;
    }
    if (fault == Fx2JtagFault::Stall) {
        return usb::SimReply::stall();
    }
    if (fault == Fx2JtagFault::Unplug) {
        unplug = true;
        return {ENODEV, {}, true};
    }
    const bool in = (setup.requestType & usb::kDirectionIn) != 0;
    const JtagAnswer answer = serveJtagRequest(jtag_, setup.value, setup.index, in);
    if (!answer.ok) {
        return usb::SimReply::stall();
    }
    if (answer.finished) {
        programmingEnd_ = answer.finished;
    }
    if (!answer.tdo) {
        return usb::SimReply::ok();
    }
    uint8_t tdo = *answer.tdo;
    if (fault == Fx2JtagFault::TdoStuckLow || fault == Fx2JtagFault::TdoStuckHigh) {
        tdo = fault == Fx2JtagFault::TdoStuckHigh ? 1 : 0;
    } else if (fault == Fx2JtagFault::TdoFlipped) {
        tdo ^= 1;
    }
    return usb::SimReply::ok({tdo});
}

void Fx2Board::recordLocked(Request request) {
    if (requests_.size() >= kMaxRequestLog) {
        requests_.pop_front();
    }
    requests_.push_back(std::move(request));
    changed_.notify_all();
}

bool Fx2Board::writeRamLocked(uint16_t address, std::span<const uint8_t> data, uint32_t end) {
    const uint32_t last = address + static_cast<uint32_t>(data.size());
    const bool internal = last <= end;
    const bool scratch = address >= kScratchStart && last <= kScratchEnd;
    if (!internal && !scratch) {
        return false;
    }
    std::copy(data.begin(), data.end(), ram_.begin() + address);
    return true;
}

usb::SimReply Fx2Board::serveLocked(const usb::ControlSetup& setup, std::span<const uint8_t> data,
                                    uint16_t length, bool& reenumerate) {
    const bool in = (setup.requestType & usb::kDirectionIn) != 0;
    switch (setup.request) {
    case kFx2RequestInternalLoad:
        if (in) {
            const std::size_t n = std::min<std::size_t>(length, ram_.size() - setup.value);
            return usb::SimReply::ok({ram_.begin() + setup.value,
                                      ram_.begin() + setup.value + static_cast<std::ptrdiff_t>(n)});
        }
        if (setup.value == kFx2CpuControl && data.size() == 1) {
            const bool hold = (data[0] & kFx2CpuResetBit) != 0;
            if (hold) {
                // A held CPU streams nothing, and the next firmware knows no
                // parameter block.
                runs_ = Runs::Nothing;
                streaming_ = false;
                init_.reset();
            } else if (cpuHeld_) {
                image_ = imageInRamLocked();
                runs_ =
                    !image_ ? Runs::Nothing : (image_->image == 1 ? Runs::Loader : Runs::Firmware);
                if (runs_ == Runs::Firmware &&
                    !sameDescriptors(firmwareDescriptorsLocked(), shown_)) {
                    reenumerate = true;
                }
            }
            cpuHeld_ = hold;
            return usb::SimReply::ok();
        }
        // The chip loads its RAM only while its CPU is held.
        if (!cpuHeld_ || !writeRamLocked(setup.value, data, kInternalRamEnd)) {
            return usb::SimReply::stall();
        }
        return usb::SimReply::ok();
    case kFx2RequestExternalLoad:
        if (in || runs_ != Runs::Loader || cpuHeld_ ||
            !writeRamLocked(setup.value, data, kScratchEnd)) {
            return usb::SimReply::stall();
        }
        return usb::SimReply::ok();
    case kFx2RequestGetFirmwareId: {
        if (!in || runs_ == Runs::Nothing || !image_) {
            return usb::SimReply::stall();
        }
        std::vector<uint8_t> answer(8);
        put16(answer, 0, image_->image);
        put16(answer, 2, config_.hardwareWord & 0x0FFF);
        put16(answer, 4, image_->firmwareVersion);
        put16(answer, 6, image_->firmwareType);
        return usb::SimReply::ok(std::move(answer));
    }
    case kFx2RequestGetError: {
        if (!in || runs_ != Runs::Firmware) {
            return usb::SimReply::stall();
        }
        std::vector<uint8_t> answer(12, 0);
        uint16_t code = errorCode_ != 0 ? errorCode_ : i2cError_;
        if (code == 0 && overrun_) {
            code = kFx2ErrorBufferFull;
        }
        if (code == kFx2ErrorBufferFull) {
            overrun_ = false;
        }
        put16(answer, 0, code);
        put16(answer, 4, errorInfo_);
        i2cError_ = 0;
        return usb::SimReply::ok(std::move(answer));
    }
    default:
        return runs_ == Runs::Firmware ? serveI2cLocked(setup, data, length)
                                       : usb::SimReply::stall();
    }
}

usb::SimReply Fx2Board::handleControl(usb::SimPort& port, const usb::ControlSetup& setup,
                                      std::span<const uint8_t> data, uint16_t length) {
    Request request;
    request.request = setup.request;
    request.value = setup.value;
    request.index = setup.index;
    request.in = (setup.requestType & usb::kDirectionIn) != 0;
    request.length = length;
    request.data.assign(data.begin(), data.end());
    bool reenumerate = false;
    bool unplug = false;
    bool flush = false;
    std::optional<Outgoing> frame;
    usb::SimReply reply;
    std::optional<usb::SimDescriptors> next;
    platform::Duration delay = platform::Duration::zero();
    {
        std::lock_guard lock(mutex_);
        if (auto slow = slowRequests_.find(setup.request); slow != slowRequests_.end()) {
            delay = slow->second;
        }
    }
    // Outside the lock: the board's streamer goes on meanwhile.
    if (delay > platform::Duration::zero() && !platform::clock().sleepFor(delay)) {
        return {ENODEV, {}, true}; // unplugged while it waited
    }
    {
        std::lock_guard lock(mutex_);
        request.cpuHeld = cpuHeld_;
        const bool load =
            setup.request == kFx2RequestInternalLoad || setup.request == kFx2RequestExternalLoad;
        if (unplugging_.contains(setup.request)) {
            // The host sees the board gone in the middle of the request.
            request.outcome = Request::Outcome::Unplugged;
            unplug = true;
            reply = {ENODEV, {}, true};
        } else if (silent_.contains(setup.request)) {
            request.outcome = Request::Outcome::Silent;
            reply = usb::SimReply::noAnswer();
        } else if (stalled_.contains(setup.request) ||
                   (load && !request.in && failingLoads_.contains(setup.value))) {
            request.outcome = Request::Outcome::Stalled;
            reply = usb::SimReply::stall();
        } else if (setup.request == kFx2RequestJtag) {
            reply = serveJtagLocked(setup, unplug);
            if (unplug) {
                request.outcome = Request::Outcome::Unplugged;
            } else if (reply.status == EPIPE) {
                request.outcome = Request::Outcome::Stalled;
            }
        } else {
            reply = isScanRequest(setup.request) ? serveScanRequestLocked(setup, data, frame, flush)
                                                 : serveLocked(setup, data, length, reenumerate);
            if (reply.status == EPIPE) {
                request.outcome = Request::Outcome::Stalled;
            }
        }
        if (reenumerate) {
            shown_ = firmwareDescriptorsLocked();
            next = shown_;
            ++reenumerations_;
        }
        recordLocked(std::move(request));
    }
    if (flush) {
        port.flushIn(kFx2ScanPipe);
    }
    if (frame) {
        sendOutgoing(port, std::move(*frame));
    }
    if (unplug) {
        port.unplug();
    } else if (next) {
        port.reenumerate(std::move(*next));
    }
    return reply;
}

void Fx2Board::portReset(usb::SimPort&) {
    std::lock_guard lock(mutex_);
    ++portResets_;
    changed_.notify_all();
}

} // namespace sim
