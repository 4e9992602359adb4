#include "sim/serial_mux.h"

#include <charconv>
#include <utility>

namespace sim {
namespace {

constexpr auto kAnswerDelay = std::chrono::milliseconds(2);

std::optional<int> numberAfter(const std::string& text, std::string_view prefix) {
    if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data() + prefix.size(), end, value);
    return error == std::errc() && at == end ? std::optional<int>(value) : std::nullopt;
}

} // namespace

SerialMux::SerialMux(SerialMuxConfig config) : config_(std::move(config)) {}

int SerialMux::channel() const {
    std::lock_guard guard(mutex_);
    return channel_;
}

std::vector<SerialMux::Switch> SerialMux::switches() const {
    std::lock_guard guard(mutex_);
    return switches_;
}

std::vector<std::string> SerialMux::lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
}

void SerialMux::setSilent(bool silent) {
    std::lock_guard guard(mutex_);
    silent_ = silent;
}

void SerialMux::setNextEcho(std::string text) {
    std::lock_guard guard(mutex_);
    nextEcho_ = std::move(text);
}

uint32_t SerialMux::baudRate() const {
    return config_.kind == SerialMuxKind::Krl ? 57600 : 115200;
}

void SerialMux::received(platform::serial::FakeSerialLine& line, std::span<const uint8_t> bytes) {
    std::lock_guard guard(mutex_);
    if (line.settings().baudRate != baudRate()) {
        return; // noise at the wrong rate
    }
    for (const uint8_t byte : bytes) {
        if (byte == '\n' && pending_.empty()) {
            continue; // the LF after a CR
        }
        if (byte == '\r' || byte == '\n') {
            const std::string text = std::move(pending_);
            pending_.clear();
            take(line, text);
            continue;
        }
        if (pending_.size() < 256) {
            pending_.push_back(static_cast<char>(byte));
        }
    }
}

void SerialMux::take(platform::serial::FakeSerialLine& line, const std::string& text) {
    if (text.empty()) {
        return;
    }
    lines_.push_back(text);
    const bool krl = config_.kind == SerialMuxKind::Krl;
    auto answer = [&](const std::string& reply, const char* end) {
        if (!silent_) {
            const std::string bytes = reply + end;
            line.send(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                      kAnswerDelay);
        }
    };
    if (krl && text == "type?") {
        answer("eol 1x" + std::to_string(config_.channels), "\r\n");
        return;
    }
    const std::optional<int> wanted = numberAfter(text, krl ? "ch" : "ch,");
    if (!wanted) {
        if (!krl) {
            answer("error", "\n\r");
        }
        return;
    }
    const bool known = *wanted >= 1 && *wanted <= config_.channels;
    if (silent_ && known) {
        return; // switched off: nothing happens
    }
    if (known) {
        channel_ = *wanted;
        switches_.push_back({channel_, platform::now()});
    }
    if (!krl) {
        std::string echo = known ? text : "error";
        if (nextEcho_) {
            echo = *std::exchange(nextEcho_, std::nullopt);
        }
        answer(echo, "\n\r");
    }
}

} // namespace sim
