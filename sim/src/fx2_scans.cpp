// The simulated board's scans: the acquisition requests of its operating
// firmware, scan frames from the sensor model or a test's pattern, streaming
// at a set rate on the platform clock, and frame faults.

#include "sim/fx2_board.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <thread>

namespace sim {

namespace usb = platform::usb;

namespace {

constexpr std::size_t kInitOpMode = 2;
constexpr std::size_t kInitPreCnts = 4;
constexpr std::size_t kInitAcqIntCnts = 6;
constexpr std::size_t kInitNumScans = 10;
constexpr std::size_t kInitPixels = 22;
constexpr double kBoardClockHz = 8000000.0;

uint16_t word(const std::array<uint8_t, kFx2InitBlockSize>& block, std::size_t offset) {
    return static_cast<uint16_t>(block[offset] | block[offset + 1] << 8);
}

bool continuousOpMode(uint16_t opMode) {
    return opMode == 6 || opMode == 7 || (opMode >= 48 && opMode <= 51);
}

void put16(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

} // namespace

Fx2Board::~Fx2Board() {
    {
        std::lock_guard lock(mutex_);
        streamerStop_ = true;
    }
    streamChanged_.notify_all();
    streamer_.join();
}

namespace {

double integrationUsOf(const std::array<uint8_t, kFx2InitBlockSize>& init) {
    const uint16_t wire = word(init, kInitAcqIntCnts);
    const double counts = wire == 0 ? 0.0 : 0x10000 - wire;
    const uint16_t pre = word(init, kInitPreCnts);
    const double rate = pre == 0 ? 0.0 : std::trunc(kBoardClockHz / pre);
    return rate == 0.0 ? 0.0 : counts / rate * 1e6;
}

uint32_t scansOf(const std::array<uint8_t, kFx2InitBlockSize>& init) {
    return std::max<uint16_t>(word(init, kInitNumScans), 1);
}

} // namespace

platform::Duration Fx2Board::acquisitionTimeLocked() const {
    if (!init_) {
        return platform::Duration::zero();
    }
    return std::chrono::duration_cast<platform::Duration>(
        std::chrono::duration<double, std::micro>(integrationUsOf(*init_) * scansOf(*init_)));
}

void Fx2Board::appendScanLocked(std::vector<uint8_t>& frame) {
    const uint32_t pixels = word(*init_, kInitPixels);
    const double integrationUs = integrationUsOf(*init_);
    {
        const uint64_t scan = scanCounter_++;
        put16(frame, static_cast<uint16_t>(scan));
        if (pattern_) {
            for (uint32_t j = 0; j < pixels; ++j) {
                put16(frame, pattern_(scan, j));
            }
        } else {
            for (const int16_t w : sensor_.scanWords(pixels, integrationUs)) {
                put16(frame, static_cast<uint16_t>(w));
            }
        }
        frame.push_back(0xFF);
        frame.push_back(0x00);
    }
}

std::vector<uint8_t> Fx2Board::frameLocked() {
    if (!init_) {
        return {};
    }
    const uint32_t scans = scansOf(*init_);
    std::vector<uint8_t> frame;
    frame.reserve((static_cast<std::size_t>(word(*init_, kInitPixels)) + 2) * 2 * scans);
    for (uint32_t s = 0; s < scans; ++s) {
        appendScanLocked(frame);
    }
    return frame;
}

std::vector<uint8_t> Fx2Board::nextFrame() {
    std::lock_guard lock(mutex_);
    return frameLocked();
}

Fx2Board::Outgoing Fx2Board::takeFrameLocked() {
    Outgoing out;
    out.bytes = frameLocked();
    if (faults_.empty()) {
        return out;
    }
    const Fx2FrameFault fault = faults_.front();
    faults_.erase(faults_.begin());
    const std::size_t scanBytes =
        init_ ? (static_cast<std::size_t>(word(*init_, kInitPixels)) + 2) * 2 : 0;
    switch (fault) {
    case Fx2FrameFault::BadTerminator:
        if (scanBytes != 0 && out.bytes.size() >= scanBytes) {
            out.bytes[scanBytes - 1] = 0x01;
        }
        break;
    case Fx2FrameFault::Short:
        out.bytes.resize(out.bytes.size() - std::min<std::size_t>(4, out.bytes.size()));
        break;
    case Fx2FrameFault::Long:
        out.bytes.push_back(0x12);
        out.bytes.push_back(0x34);
        break;
    case Fx2FrameFault::Slow:
        delayed_.push_back(
            {platform::addSaturating(platform::now(), slowDelay_), std::move(out.bytes)});
        out.send = false;
        startStreamerLocked();
        streamChanged_.notify_all();
        break;
    case Fx2FrameFault::Missing:
        out.send = false;
        break;
    case Fx2FrameFault::BulkError:
        out.send = false;
        out.halt = true;
        break;
    case Fx2FrameFault::Disconnect:
        out.bytes.resize(out.bytes.size() / 2);
        out.unplugAfter = true;
        break;
    }
    return out;
}

std::chrono::steady_clock::duration Fx2Board::carryTime(std::size_t n) const {
    if (!(config_.busBytesPerSecond > 0)) {
        return std::chrono::steady_clock::duration::zero();
    }
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(n) / config_.busBytesPerSecond));
}

void Fx2Board::waitForBus(std::size_t n) {
    if (!(config_.busBytesPerSecond > 0)) {
        return;
    }
    // Sleeps shorter than this overshoot on a loaded machine; waiting only
    // when that far ahead keeps the bus's pace on average.
    constexpr auto kSlack = std::chrono::milliseconds(1);
    std::lock_guard lock(busMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (busFree_ - now > kSlack) {
        std::this_thread::sleep_until(busFree_ - kSlack);
    }
    busFree_ = std::max(busFree_, now) + carryTime(n);
}

void Fx2Board::sendOutgoing(usb::SimPort& port, Outgoing out) {
    if (out.halt) {
        port.haltEndpoint(kFx2ScanPipe);
    }
    if (out.send) {
        waitForBus(out.bytes.size());
        // A frame is lost when the host left more untaken than the board
        // holds: its buffer and the frame it is sending. Checked as the
        // frame goes (the bus's own pace holds the board back instead).
        if (out.streamed && config_.busBytesPerSecond > 0 &&
            port.queuedIn(kFx2ScanPipe) > config_.bufferBytes + out.bytes.size()) {
            std::lock_guard lock(mutex_);
            ++scansDropped_;
            overrun_ = true;
            return;
        }
        // A piece that more of the frame follows does not end the host's read.
        port.writeIn(kFx2ScanPipe, out.bytes, out.lastPiece);
        // Counted once on the pipe, so that a waiter seeing the count also
        // sees the bytes queued.
        if (out.lastPiece) {
            std::lock_guard lock(mutex_);
            ++framesSent_;
        }
    }
    if (out.unplugAfter) {
        port.unplug();
    }
}

usb::SimReply Fx2Board::serveScanRequestLocked(const usb::ControlSetup& setup,
                                               std::span<const uint8_t> data,
                                               std::optional<Outgoing>& frame, bool& flush) {
    const bool in = (setup.requestType & usb::kDirectionIn) != 0;
    if (runs_ != Runs::Firmware || (in != (setup.request == kFx2RequestGetDigitalInput))) {
        return usb::SimReply::stall();
    }
    switch (setup.request) {
    case kFx2RequestInit: {
        if (data.size() != kFx2InitBlockSize) {
            return usb::SimReply::stall();
        }
        std::array<uint8_t, kFx2InitBlockSize> block{};
        std::copy(data.begin(), data.end(), block.begin());
        init_ = block;
        streaming_ = false;
        dropBurstScansLocked();
        return usb::SimReply::ok();
    }
    case kFx2RequestGetScans:
        if (!init_) {
            return usb::SimReply::stall();
        }
        if (continuousOpMode(word(*init_, kInitOpMode))) {
            streaming_ = true;
            nextTick_ = platform::now();
            if (frameRate_ > 0) {
                startStreamerLocked();
            }
            streamChanged_.notify_all();
        } else if (frameRate_ > 0 && faults_.empty() && scansOf(*init_) >= 2) {
            // The board answers at once and takes the scans of the burst
            // afterwards, each when it is due.
            startBurstLocked({});
        } else {
            frame = takeFrameLocked();
            if (paceFrameLocked(*frame)) {
                frame.reset();
            } else if (config_.sensor.wallTime && frame->send && !frame->halt &&
                       !frame->unplugAfter) {
                // A board that integrates in real time: the frame comes once
                // the scans are exposed.
                delayed_.push_back(
                    {platform::addSaturating(platform::now(), acquisitionTimeLocked()),
                     std::move(frame->bytes)});
                frame->send = false;
                startStreamerLocked();
                streamChanged_.notify_all();
            }
        }
        return usb::SimReply::ok();
    case kFx2RequestDeinit:
    case kFx2RequestStop:
        streaming_ = false;
        dropBurstScansLocked();
        return usb::SimReply::ok();
    case kFx2RequestReinit:
        flush = true;
        dropBurstScansLocked();
        return usb::SimReply::ok();
    case kFx2RequestGetDigitalInput: {
        std::vector<uint8_t> answer(4);
        for (int i = 0; i < 4; ++i) {
            answer[i] = static_cast<uint8_t>(digitalInput_ >> (8 * i));
        }
        return usb::SimReply::ok(std::move(answer));
    }
    case kFx2RequestSetDigitalOutput:
        lines_.applyOutputWord(setup.value | uint32_t{setup.index} << 16);
        return usb::SimReply::ok();
    case kFx2RequestSetInputLatch:
        lines_.applyLatchWord(setup.value | uint32_t{setup.index} << 16);
        return usb::SimReply::ok();
    default:
        return usb::SimReply::ok();
    }
}

bool Fx2Board::paceFrameLocked(Outgoing& frame) {
    if (!(frameRate_ > 0) || !init_ || !frame.send || frame.halt || frame.unplugAfter) {
        return false;
    }
    const std::size_t scanBytes = (static_cast<std::size_t>(word(*init_, kInitPixels)) + 2) * 2;
    const std::size_t scans = frame.bytes.size() / scanBytes;
    if (scans < 2 || scans * scanBytes != frame.bytes.size()) {
        return false;
    }
    startBurstLocked(std::move(frame.bytes));
    return true;
}

void Fx2Board::startBurstLocked(std::vector<uint8_t> frame) {
    // All of it goes through the streamer, so the scans stay in order. A
    // board that integrates in real time sends no scan before it is exposed.
    const std::size_t scanBytes = (static_cast<std::size_t>(word(*init_, kInitPixels)) + 2) * 2;
    const std::size_t scans = scansOf(*init_);
    Burst burst;
    burst.scanBytes = scanBytes;
    burst.scans = scans;
    burst.period = std::chrono::duration_cast<platform::Duration>(
        std::chrono::duration<double>(1.0 / frameRate_));
    burst.exposure = config_.sensor.wallTime
                         ? acquisitionTimeLocked() / static_cast<int64_t>(scans)
                         : platform::Duration::zero();
    burst.start = platform::now();
    burst.frame = std::move(frame);
    if (carryTime(scanBytes) > burst.period) {
        // Faster than the bus carries: the buffer overruns and the scans
        // go at the bus's pace.
        overrun_ = true;
    }
    burst_ = std::move(burst);
    startStreamerLocked();
    streamChanged_.notify_all();
}

platform::TimePoint Fx2Board::Burst::dueOf(std::size_t k) const {
    const auto n = static_cast<int64_t>(k);
    return platform::addSaturating(start, std::max(period * n, exposure * (n + 1)));
}

void Fx2Board::dropBurstScansLocked() {
    burst_.reset();
}

void Fx2Board::startStreamerLocked() {
    if (streamer_.isRunning() || streamerStop_) {
        return;
    }
    streamer_.join();
    streamer_.start([this](platform::Thread& self) { return streamLoop(self); },
                    platform::kInfinite);
}

uint32_t Fx2Board::streamLoop(platform::Thread& self) {
    self.signalRunning();
    std::unique_lock lock(mutex_);
    while (!streamerStop_) {
        platform::TimePoint deadline = platform::TimePoint::max();
        for (const Delayed& d : delayed_) {
            deadline = std::min(deadline, d.due);
        }
        if (burst_) {
            deadline = std::min(deadline, burst_->dueOf(burst_->next));
        }
        const bool ticking = streaming_ && frameRate_ > 0;
        if (ticking) {
            deadline = std::min(deadline, nextTick_);
        }
        if (deadline > platform::now()) {
            platform::clock().waitUntil(streamChanged_, lock, deadline);
            continue;
        }
        const platform::TimePoint now = platform::now();
        std::vector<Outgoing> out;
        for (auto it = delayed_.begin(); it != delayed_.end();) {
            if (it->due <= now) {
                Outgoing late;
                late.bytes = std::move(it->bytes);
                out.push_back(std::move(late));
                it = delayed_.erase(it);
            } else {
                ++it;
            }
        }
        // Scans of a burst that are due, a bounded batch at a time so that
        // the lock is not held long.
        constexpr std::size_t kBurstBatch = 64;
        for (std::size_t n = 0; burst_ && n < kBurstBatch && burst_->dueOf(burst_->next) <= now;
             ++n) {
            Outgoing piece;
            if (burst_->frame.empty()) {
                piece.bytes.reserve(burst_->scanBytes);
                appendScanLocked(piece.bytes);
            } else {
                const auto first = burst_->frame.begin() +
                                   static_cast<std::ptrdiff_t>(burst_->next * burst_->scanBytes);
                piece.bytes.assign(first, first + static_cast<std::ptrdiff_t>(burst_->scanBytes));
            }
            piece.lastPiece = ++burst_->next == burst_->scans;
            out.push_back(std::move(piece));
            if (burst_->next == burst_->scans) {
                burst_.reset();
            }
        }
        const std::shared_ptr<usb::SimPort> port = port_.lock();
        // Every tick that is due: a streamer woken late (its timer's slack
        // can be longer than a frame at the bus rate) makes the frames it
        // owes, a batch at a time. Ticks more than a batch behind are the
        // simulation's own stall: skipped, neither sent nor lost.
        if (ticking && nextTick_ <= now) {
            const auto period = std::chrono::duration_cast<platform::Duration>(
                std::chrono::duration<double>(1.0 / frameRate_));
            if (now - nextTick_ > period * static_cast<int64_t>(kBurstBatch)) {
                nextTick_ = now;
            }
            for (std::size_t n = 0; n < kBurstBatch && nextTick_ <= now; ++n) {
                Outgoing frame = takeFrameLocked();
                frame.streamed = true;
                out.push_back(std::move(frame));
                nextTick_ += period;
            }
        }
        lock.unlock();
        if (port) {
            for (Outgoing& o : out) {
                sendOutgoing(*port, std::move(o));
            }
        }
        lock.lock();
    }
    return 0;
}

void Fx2Board::injectFrameFault(Fx2FrameFault fault, unsigned frames) {
    std::lock_guard lock(mutex_);
    faults_.insert(faults_.end(), frames, fault);
}

void Fx2Board::setSlowFrameDelay(platform::Duration delay) {
    std::lock_guard lock(mutex_);
    slowDelay_ = delay;
}

void Fx2Board::setScanPattern(Fx2ScanPattern pattern) {
    std::lock_guard lock(mutex_);
    pattern_ = std::move(pattern);
}

void Fx2Board::setFrameRate(double framesPerSecond) {
    std::lock_guard lock(mutex_);
    frameRate_ = std::max(framesPerSecond, 0.0);
    if (frameRate_ > 0 && streaming_) {
        startStreamerLocked();
    }
    streamChanged_.notify_all();
}

void Fx2Board::setDigitalInput(uint32_t value) {
    std::lock_guard lock(mutex_);
    digitalInput_ = value;
    lines_.inputs = static_cast<uint8_t>(value & 0x7);
}

DigitalLineState Fx2Board::digitalLines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool Fx2Board::pushFrames(unsigned n) {
    std::vector<Outgoing> out;
    std::shared_ptr<usb::SimPort> port;
    {
        std::lock_guard lock(mutex_);
        port = port_.lock();
        if (!streaming_ || !port) {
            return false;
        }
        for (unsigned i = 0; i < n; ++i) {
            out.push_back(takeFrameLocked());
        }
    }
    for (Outgoing& o : out) {
        sendOutgoing(*port, std::move(o));
    }
    return port->isPlugged();
}

bool Fx2Board::streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

std::size_t Fx2Board::scansDropped() const {
    std::lock_guard lock(mutex_);
    return scansDropped_;
}

std::size_t Fx2Board::framesSent() const {
    std::lock_guard lock(mutex_);
    return framesSent_;
}

std::optional<std::array<uint8_t, kFx2InitBlockSize>> Fx2Board::initBlock() const {
    std::lock_guard lock(mutex_);
    return init_;
}

} // namespace sim
