#include "sim/serial_electronics.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace sim {
namespace qre = tarvik::qre;

namespace {

constexpr uint32_t kPtyStartTimeoutMs = 5000;
constexpr int kPtyPollMs = 20;

void recomputeChecks(std::vector<uint8_t>& frame) {
    qre::appendChecks(frame.data(), frame.size() - qre::kChecksSize);
}

bool isDataFrame(const std::vector<uint8_t>& frame) {
    return frame.size() == qre::kDataFrameSize && (frame[2] >> 4) != qre::kCommandKind;
}

} // namespace

uint8_t SerialUnitBehaviour::command(SerialUnit& /*unit*/, uint8_t /*code*/) {
    return qre::kAcknowledge;
}

void SerialUnitBehaviour::blockWritten(SerialUnit& /*unit*/, uint8_t /*type*/) {}

void SerialUnitBehaviour::beforeBlockRead(SerialUnit& /*unit*/, uint8_t /*type*/) {}

SerialUnit::SerialUnit(uint8_t address)
    : address_(address), behaviour_(std::make_shared<SerialUnitBehaviour>()) {
    for (uint8_t type = 1; type < 16; ++type) {
        if (const std::size_t size = qre::blockSize(type); size != 0) {
            blocks_[type].assign(size, 0);
        }
    }
}

std::span<uint8_t> SerialUnit::block(uint8_t type) {
    const auto it = blocks_.find(type);
    return it == blocks_.end() ? std::span<uint8_t>() : std::span<uint8_t>(it->second);
}

void SerialUnit::setBehaviour(std::shared_ptr<SerialUnitBehaviour> behaviour) {
    behaviour_ = behaviour ? std::move(behaviour) : std::make_shared<SerialUnitBehaviour>();
}

void SerialUnit::injectFault(SerialFaultSpec fault) {
    if (fault.count > 0) {
        faults_.push_back(fault);
    }
}

std::vector<uint8_t> SerialUnit::commands() const {
    std::vector<uint8_t> codes;
    for (const SerialFrameRecord& frame : received_) {
        if (frame.isCommand()) {
            codes.push_back(frame.code());
        }
    }
    return codes;
}

void SerialUnit::take(const SerialFrameRecord& frame, const Sink& sink) {
    if (lose_ > 0 && loseAfter_-- <= 0) {
        --lose_;
        return;
    }
    received_.push_back(frame);
    if (neverReady_) {
        reply(qre::kRepeatRequest, sink);
        return;
    }
    if (frame.isCommand()) {
        takeCommand(frame, sink);
    } else {
        takeData(frame, sink);
    }
}

void SerialUnit::takeCommand(const SerialFrameRecord& frame, const Sink& sink) {
    switch (frame.code()) {
    case qre::kRepeatRequest:
        if (lastSent_.empty()) {
            reply(qre::kAcknowledge, sink);
        } else {
            emit(lastSent_, sink);
        }
        return;
    case qre::kAcknowledge:
        // The last piece of a block read taken: the final reply.
        readType_.reset();
        reply(qre::kAcknowledge, sink);
        return;
    case qre::kContinue:
        if (readType_ && readNext_ < qre::framesOf(readCopy_.size())) {
            sendPiece(readNext_++, sink);
        } else {
            reply(qre::kRepeatRequest, sink);
        }
        return;
    case qre::kBlockRequest: {
        const uint8_t type = frame.parameter();
        behaviour_->beforeBlockRead(*this, type);
        const std::span<uint8_t> data = block(type);
        if (data.empty()) {
            reply(qre::kRepeatRequest, sink);
            return;
        }
        readType_ = type;
        readCopy_.assign(data.begin(), data.end());
        readNext_ = 1;
        sendPiece(0, sink);
        return;
    }
    default:
        if (const uint8_t code = behaviour_->command(*this, frame.code()); code != 0) {
            reply(code, sink);
        }
        return;
    }
}

void SerialUnit::takeData(const SerialFrameRecord& frame, const Sink& sink) {
    const std::vector<uint8_t>& f = frame.bytes;
    const uint8_t type = frame.blockType();
    const std::span<uint8_t> target = block(type);
    const bool first = (f[4] & qre::kFirstFrameFlag) != 0;
    const std::size_t used = (f[4] & 0x7Fu) + 1;
    std::size_t index = f[3];
    if (first) {
        writeType_ = type;
        writeFrames_ = std::size_t{f[3]} + 1;
        writeNext_ = 0;
        index = 0;
    }
    const bool inOrder = writeType_ == type && (index == writeNext_ || index + 1 == writeNext_);
    const std::size_t offset = index * qre::kPayloadSize;
    if (target.empty() || !inOrder || used > qre::kPayloadSize || offset + used > target.size()) {
        reply(qre::kRepeatRequest, sink);
        return;
    }
    std::copy_n(f.begin() + qre::kPayloadOffset, used, target.begin() + offset);
    writeNext_ = index + 1;
    if (writeNext_ < writeFrames_) {
        reply(qre::kContinue, sink);
        return;
    }
    writeType_.reset();
    behaviour_->blockWritten(*this, type);
    reply(qre::kAcknowledge, sink);
}

void SerialUnit::reply(uint8_t code, const Sink& sink) {
    const qre::CommandFrame frame =
        qre::commandFrame(qre::kLibraryAddress, address_, code, 0, sequence_);
    sequence_ = static_cast<uint8_t>(sequence_ + (numbers_ ? 1 : 0));
    emit(std::vector<uint8_t>(frame.begin(), frame.end()), sink);
}

void SerialUnit::sendPiece(std::size_t index, const Sink& sink) {
    const std::size_t frames = qre::framesOf(readCopy_.size());
    const std::size_t offset = index * qre::kPayloadSize;
    const std::size_t piece = std::min(qre::kPayloadSize, readCopy_.size() - offset);
    const auto indexByte = static_cast<uint8_t>(index == 0 ? frames - 1 : index);
    const qre::DataFrame frame =
        qre::dataFrame(qre::kLibraryAddress, address_, *readType_, indexByte, index == 0,
                       std::span<const uint8_t>(readCopy_.data() + offset, piece));
    emit(std::vector<uint8_t>(frame.begin(), frame.end()), sink);
}

void SerialUnit::emit(std::vector<uint8_t> frame, const Sink& sink) {
    lastSent_ = frame;
    platform::Duration delay = turnaround_;
    int copies = 1;
    if (!faults_.empty()) {
        SerialFaultSpec& fault = faults_.front();
        const bool dataOnly =
            fault.kind == SerialFault::WrongBlockType || fault.kind == SerialFault::WrongIndex;
        if (!dataOnly || isDataFrame(frame)) {
            switch (fault.kind) {
            case SerialFault::Drop:
                copies = 0;
                break;
            case SerialFault::Truncate:
                frame.resize(std::min(frame.size(), static_cast<std::size_t>(fault.argument)));
                break;
            case SerialFault::BadXor:
                frame[frame.size() - 3] ^= 0xFF;
                break;
            case SerialFault::BadSum:
                frame.back() ^= 0x01;
                break;
            case SerialFault::UnequalDestination:
                frame[0] ^= 0x01;
                recomputeChecks(frame);
                break;
            case SerialFault::UnequalSource:
                frame[1] ^= 0x01;
                recomputeChecks(frame);
                break;
            case SerialFault::WrongBlockType:
                frame[2] = static_cast<uint8_t>(frame[2] + 0x10);
                recomputeChecks(frame);
                break;
            case SerialFault::WrongIndex:
                frame[3] = static_cast<uint8_t>(frame[3] + 2);
                recomputeChecks(frame);
                break;
            case SerialFault::Repeat:
                copies = 2;
                break;
            case SerialFault::ForeignSource:
                frame[1] = qre::addressByte(static_cast<uint8_t>(fault.argument));
                recomputeChecks(frame);
                break;
            case SerialFault::Late:
                delay += std::chrono::milliseconds(fault.argument);
                break;
            case SerialFault::Stale:
                if (!wentOut_.empty()) {
                    frame = wentOut_;
                }
                break;
            case SerialFault::CorruptByte:
                if (static_cast<std::size_t>(fault.argument) < frame.size()) {
                    frame[static_cast<std::size_t>(fault.argument)] ^= fault.mask;
                }
                break;
            }
            if (--fault.count == 0) {
                faults_.pop_front();
            }
        }
    }
    if (copies > 0) {
        wentOut_ = frame;
    }
    for (int i = 0; i < copies; ++i) {
        sink(frame, delay);
    }
}

SerialElectronics::SerialElectronics() = default;

SerialElectronics::~SerialElectronics() {
    stopPty();
}

SerialUnit& SerialElectronics::addUnit(uint8_t address) {
    std::lock_guard guard(mutex_);
    auto& unit = units_[static_cast<uint8_t>(address & 0x0F)];
    if (!unit) {
        unit = std::make_unique<SerialUnit>(static_cast<uint8_t>(address & 0x0F));
    }
    return *unit;
}

SerialUnit* SerialElectronics::unit(uint8_t address) {
    std::lock_guard guard(mutex_);
    const auto it = units_.find(address);
    return it == units_.end() ? nullptr : it->second.get();
}

void SerialElectronics::withLock(const std::function<void()>& fn) {
    std::lock_guard guard(mutex_);
    fn();
}

std::vector<SerialFrameRecord> SerialElectronics::frames() const {
    std::lock_guard guard(mutex_);
    return frames_;
}

std::size_t SerialElectronics::discardedBytes() const {
    std::lock_guard guard(mutex_);
    return discarded_;
}

void SerialElectronics::setByteErrorRate(double rate, uint32_t seed) {
    std::lock_guard guard(mutex_);
    errorRate_ = rate;
    noise_.seed(seed);
}

std::size_t SerialElectronics::corruptedBytes() const {
    std::lock_guard guard(mutex_);
    return corrupted_;
}

void SerialElectronics::corrupt(std::span<uint8_t> bytes) {
    if (errorRate_ <= 0.0) {
        return;
    }
    std::bernoulli_distribution hit(errorRate_);
    std::uniform_int_distribution<int> mask(1, 255);
    for (uint8_t& byte : bytes) {
        if (hit(noise_)) {
            byte = static_cast<uint8_t>(byte ^ mask(noise_));
            ++corrupted_;
        }
    }
}

void SerialElectronics::received(platform::serial::FakeSerialLine& line,
                                 std::span<const uint8_t> bytes) {
    std::lock_guard guard(mutex_);
    // A unit's receiver starts afresh after a pause on the line: the rest of
    // a frame that a corrupted length made look longer is dropped.
    const platform::TimePoint now = platform::now();
    if (!pending_.empty() && now - lastWrite_ > std::chrono::milliseconds(1)) {
        discarded_ += pending_.size();
        pending_.clear();
    }
    lastWrite_ = now;
    std::vector<uint8_t> in(bytes.begin(), bytes.end());
    corrupt(in);
    process(in, [this, &line](std::span<const uint8_t> frame, platform::Duration delay) {
        std::vector<uint8_t> out(frame.begin(), frame.end());
        corrupt(out);
        line.send(out, delay);
    });
}

void SerialElectronics::process(std::span<const uint8_t> bytes, const SerialUnit::Sink& sink) {
    std::lock_guard guard(mutex_);
    const SerialUnit::Sink recordingSink = [&](std::span<const uint8_t> frame,
                                               platform::Duration delay) {
        if (frame.size() >= qre::kHeaderSize && qre::frameLength(frame[2]) == frame.size() &&
            qre::verifyChecks(frame.data(), frame.size()) == qre::ChecksResult::Good) {
            frames_.push_back({platform::now(), std::vector<uint8_t>(frame.begin(), frame.end())});
        }
        sink(frame, delay);
    };
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    while (pending_.size() >= qre::kHeaderSize) {
        const std::size_t length = qre::frameLength(pending_[2]);
        if (length > qre::kMaxFrameSize) {
            discarded_ += pending_.size();
            pending_.clear();
            break;
        }
        if (pending_.size() < length) {
            break;
        }
        SerialFrameRecord frame{
            platform::now(),
            std::vector<uint8_t>(pending_.begin(), pending_.begin() + static_cast<long>(length))};
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
        if (!qre::nibblesEqual(frame.bytes[0]) || !qre::nibblesEqual(frame.bytes[1]) ||
            qre::verifyChecks(frame.bytes.data(), length) != qre::ChecksResult::Good) {
            discarded_ += length;
            continue;
        }
        frames_.push_back(frame);
        const auto it = units_.find(frame.destination());
        if (it != units_.end() && it->second->present_ &&
            platform::now() >= it->second->silentUntil_) {
            it->second->take(frame, recordingSink);
        }
    }
}

bool SerialElectronics::servePty(int masterFd) {
    return ptyThread_.start(
        [this, masterFd](platform::Thread& self) -> uint32_t {
            self.signalRunning();
            const SerialUnit::Sink sink = [masterFd](std::span<const uint8_t> frame,
                                                     platform::Duration) {
                std::size_t done = 0;
                while (done < frame.size()) {
                    const ssize_t n = ::write(masterFd, frame.data() + done, frame.size() - done);
                    if (n <= 0 && errno != EINTR && errno != EAGAIN) {
                        return;
                    }
                    done += n > 0 ? static_cast<std::size_t>(n) : 0;
                }
            };
            while (!self.stopRequested()) {
                pollfd p{masterFd, POLLIN, 0};
                if (::poll(&p, 1, kPtyPollMs) <= 0) {
                    continue;
                }
                if ((p.revents & POLLIN) == 0) {
                    // Nobody holds the other end: wait for one without spinning.
                    ::poll(nullptr, 0, kPtyPollMs);
                    continue;
                }
                uint8_t buffer[256];
                const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
                if (n > 0) {
                    process(std::span<const uint8_t>(buffer, static_cast<std::size_t>(n)), sink);
                }
            }
            return 0;
        },
        kPtyStartTimeoutMs);
}

void SerialElectronics::stopPty() {
    ptyThread_.stop(platform::kInfinite);
}

} // namespace sim
