#include "platform/serial_fake.h"

#include "platform/last_error.h"
#include "text_file_io.h"

#include <algorithm>

namespace platform::serial {

using platform::detail::leaveError;

namespace {

FakeSerialEvent eventAt(FakeSerialEvent::Kind kind, TimePoint time) {
    FakeSerialEvent event;
    event.kind = kind;
    event.time = time;
    return event;
}

} // namespace

class FakeSerialPort final : public SerialPort {
public:
    FakeSerialPort(FakeSerialLine& line, std::shared_ptr<FakeSerialLine> keepAlive)
        : line_(line), keepAlive_(std::move(keepAlive)) {}
    ~FakeSerialPort() override {
        if (!closed_) {
            close();
        }
    }

    int getSettings(LineSettings& out) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0 || (rc = line_.settingsError) != 0) {
            return leaveError(rc);
        }
        out = line_.settings_;
        return 0;
    }

    int setSettings(const LineSettings& settings) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0 || (rc = line_.settingsError) != 0) {
            return leaveError(rc);
        }
        if (!settings.binary || settings.baudRate == 0 || settings.dataBits < 5 ||
            settings.dataBits > 8) {
            return leaveError(EINVAL);
        }
        line_.settings_ = settings;
        line_.record(eventAt(FakeSerialEvent::Kind::Settings, clock().now()));
        return 0;
    }

    int getProperties(PortProperties& out) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0) {
            return leaveError(rc);
        }
        out = line_.properties;
        return 0;
    }

    int getTimeouts(Timeouts& out) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0) {
            return leaveError(rc);
        }
        out = line_.timeouts_;
        return 0;
    }

    int setTimeouts(const Timeouts& timeouts) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0) {
            return leaveError(rc);
        }
        line_.timeouts_ = timeouts;
        return 0;
    }

    int write(std::span<const uint8_t> data, std::size_t& written) override {
        written = 0;
        FakeSerialDevice* device = nullptr;
        std::span<const uint8_t> sent;
        {
            std::lock_guard guard(line_.mutex_);
            if (int rc = usable(); rc != 0 || (rc = line_.writeError) != 0) {
                return leaveError(rc);
            }
            sent = data.first(std::min(data.size(), line_.writeLimit));
            const TimePoint now = clock().now();
            const TimePoint start = std::max(now, line_.transmitUntil_);
            line_.transmitUntil_ =
                start + line_.characterTimeLocked() * static_cast<int64_t>(sent.size());
            line_.written_.insert(line_.written_.end(), sent.begin(), sent.end());
            FakeSerialEvent event = eventAt(FakeSerialEvent::Kind::Write, now);
            event.bytes.assign(sent.begin(), sent.end());
            line_.record(std::move(event));
            device = line_.device_;
            line_.answering_ = line_.transmitUntil_;
            line_.inDevice_ = device != nullptr;
        }
        written = sent.size();
        if (device != nullptr && !sent.empty()) {
            device->received(line_, sent);
            std::lock_guard guard(line_.mutex_);
            line_.inDevice_ = false;
        }
        return 0;
    }

    int read(std::span<uint8_t> buffer, std::size_t& got, TimePoint deadline) override {
        got = 0;
        std::unique_lock lock(line_.mutex_);
        if (int rc = usable(); rc != 0) {
            return leaveError(rc);
        }
        Clock& c = clock();
        const TimePoint until = std::min(deadline, deadlineAfterMs(c, line_.timeouts_.readTotalMs));
        for (;;) {
            const TimePoint now = c.now();
            if (line_.babbling_) {
                return babble(lock, buffer, got, now, until);
            }
            auto& incoming = line_.incoming_;
            while (got < buffer.size() && !incoming.empty() && incoming.front().arrival <= now) {
                std::vector<uint8_t>& bytes = incoming.front().bytes;
                const std::size_t n = std::min(bytes.size(), buffer.size() - got);
                std::copy_n(bytes.begin(), n, buffer.begin() + static_cast<std::ptrdiff_t>(got));
                bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
                got += n;
                if (bytes.empty()) {
                    incoming.pop_front();
                }
            }
            if (got == buffer.size() || now >= until) {
                return 0;
            }
            const TimePoint next = incoming.empty() ? TimePoint::max() : incoming.front().arrival;
            const TimePoint wake = std::min(next, until);
            if (wake == TimePoint::max()) {
                // Nothing will ever come and nothing ends the wait.
                return leaveError(ETIMEDOUT);
            }
            lock.unlock();
            c.sleepFor(wake - now);
            lock.lock();
            if (closed_) {
                return leaveError(EBADF);
            }
        }
    }

    int drain() override {
        TimePoint until;
        {
            std::lock_guard guard(line_.mutex_);
            if (int rc = usable(); rc != 0) {
                return leaveError(rc);
            }
            until = line_.transmitUntil_;
        }
        Clock& c = clock();
        if (const TimePoint now = c.now(); until > now) {
            c.sleepFor(until - now);
        }
        std::lock_guard guard(line_.mutex_);
        line_.record(eventAt(FakeSerialEvent::Kind::Drain, c.now()));
        return 0;
    }

    int purge(bool transmit, bool receive) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0) {
            return leaveError(rc);
        }
        const TimePoint now = clock().now();
        if (transmit) {
            line_.transmitUntil_ = std::min(line_.transmitUntil_, now);
        }
        if (receive) {
            // What is still on its way arrives all the same.
            auto& incoming = line_.incoming_;
            while (!incoming.empty() && incoming.front().arrival <= now) {
                incoming.pop_front();
            }
        }
        FakeSerialEvent event = eventAt(FakeSerialEvent::Kind::Purge, now);
        event.on = receive;
        event.transmit = transmit;
        line_.record(std::move(event));
        return 0;
    }

    int setRts(bool raised) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0 || (rc = line_.rtsError) != 0) {
            return leaveError(rc);
        }
        line_.rts_ = raised;
        FakeSerialEvent event = eventAt(FakeSerialEvent::Kind::Rts, clock().now());
        event.on = raised;
        line_.record(std::move(event));
        return 0;
    }

    int setRs485(bool enable) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0) {
            return leaveError(rc);
        }
        if (!line_.kernelRs485) {
            return leaveError(ENOTTY);
        }
        FakeSerialEvent event = eventAt(FakeSerialEvent::Kind::Rs485, clock().now());
        event.on = enable;
        line_.record(std::move(event));
        return 0;
    }

    int clearErrors(PortStatus* status) override {
        std::lock_guard guard(line_.mutex_);
        if (int rc = usable(); rc != 0) {
            return leaveError(rc);
        }
        if (status != nullptr) {
            const TimePoint now = clock().now();
            *status = PortStatus{};
            for (const auto& chunk : line_.incoming_) {
                if (chunk.arrival <= now) {
                    status->receiveQueued += static_cast<uint32_t>(chunk.bytes.size());
                }
            }
            const Duration character = line_.characterTimeLocked();
            if (line_.transmitUntil_ > now && character > Duration::zero()) {
                status->transmitQueued = static_cast<uint32_t>(
                    (line_.transmitUntil_ - now + character - Duration(1)) / character);
            }
        }
        return 0;
    }

    int close() override {
        std::lock_guard guard(line_.mutex_);
        if (closed_) {
            return leaveError(EBADF);
        }
        closed_ = true;
        line_.open_ = false;
        line_.rts_ = false;
        line_.record(eventAt(FakeSerialEvent::Kind::Close, clock().now()));
        return 0;
    }

private:
    int usable() const { return closed_ ? EBADF : 0; }

    int babble(std::unique_lock<std::mutex>& lock, std::span<uint8_t> buffer, std::size_t& got,
               TimePoint now, TimePoint until) {
        const Duration character = line_.characterTimeLocked();
        std::size_t n = buffer.size();
        if (character > Duration::zero() && until != TimePoint::max() &&
            now + character * static_cast<int64_t>(n) > until) {
            n = until > now ? static_cast<std::size_t>((until - now) / character) : 0;
        }
        std::fill_n(buffer.begin(), n, uint8_t{0x55});
        got = n;
        lock.unlock();
        clock().sleepFor(character * static_cast<int64_t>(n));
        return 0;
    }

    FakeSerialLine& line_;
    std::shared_ptr<FakeSerialLine> keepAlive_;
    bool closed_ = false; // guarded by the line's mutex
};

void FakeSerialLine::setDevice(FakeSerialDevice* device) {
    std::lock_guard guard(mutex_);
    device_ = device;
}

void FakeSerialLine::send(std::span<const uint8_t> bytes, Duration delay) {
    std::lock_guard guard(mutex_);
    const TimePoint now = clock().now();
    const TimePoint base = inDevice_ ? std::max(answering_, now) : now;
    const TimePoint start = std::max(base + delay, receiveUntil_);
    receiveUntil_ = start + characterTimeLocked() * static_cast<int64_t>(bytes.size());
    incoming_.push_back({receiveUntil_, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

void FakeSerialLine::setBabbling(bool babbling) {
    std::lock_guard guard(mutex_);
    babbling_ = babbling;
}

std::vector<FakeSerialEvent> FakeSerialLine::events() const {
    std::lock_guard guard(mutex_);
    return events_;
}

void FakeSerialLine::clearEvents() {
    std::lock_guard guard(mutex_);
    events_.clear();
    written_.clear();
}

std::vector<uint8_t> FakeSerialLine::written() const {
    std::lock_guard guard(mutex_);
    return written_;
}

bool FakeSerialLine::isOpen() const {
    std::lock_guard guard(mutex_);
    return open_;
}

bool FakeSerialLine::rts() const {
    std::lock_guard guard(mutex_);
    return rts_;
}

LineSettings FakeSerialLine::settings() const {
    std::lock_guard guard(mutex_);
    return settings_;
}

Timeouts FakeSerialLine::timeouts() const {
    std::lock_guard guard(mutex_);
    return timeouts_;
}

std::size_t FakeSerialLine::pendingBytes() const {
    std::lock_guard guard(mutex_);
    std::size_t n = 0;
    for (const Chunk& chunk : incoming_) {
        n += chunk.bytes.size();
    }
    return n;
}

int FakeSerialLine::open(std::unique_ptr<SerialPort>& out) {
    return openShared(out, nullptr);
}

int FakeSerialLine::openShared(std::unique_ptr<SerialPort>& out,
                               std::shared_ptr<FakeSerialLine> keepAlive) {
    out.reset();
    std::lock_guard guard(mutex_);
    if (openError != 0) {
        return leaveError(openError);
    }
    if (open_) {
        return leaveError(EBUSY);
    }
    open_ = true;
    record(eventAt(FakeSerialEvent::Kind::Open, clock().now()));
    out = std::make_unique<FakeSerialPort>(*this, std::move(keepAlive));
    return 0;
}

void FakeSerialLine::record(FakeSerialEvent event) {
    events_.push_back(std::move(event));
}

Duration FakeSerialLine::characterTimeLocked() const {
    return characterTime(settings_);
}

int attachFakeSerialLine(std::string_view name, std::shared_ptr<FakeSerialLine> line) {
    if (!line) {
        return leaveError(EINVAL);
    }
    return attachSerialPort(
        name, [line](std::unique_ptr<SerialPort>& out) { return line->openShared(out, line); });
}

} // namespace platform::serial
