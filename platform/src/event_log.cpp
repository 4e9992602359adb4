#include "platform/event_log.h"

#include <algorithm>
#include <cstdio>
#include <syslog.h>

namespace platform {
namespace {

constexpr size_t kDumpShown = 64;

struct Sources {
    std::mutex mutex;
    std::map<std::string, std::map<uint32_t, std::string>> tables;
};

Sources& sources() {
    static auto* const instance = new Sources;
    return *instance;
}

CurrentInstance<EventLogBackend, SyslogEventLog>& current() {
    // Never destroyed: drivers may still report while statics are torn down.
    static auto* const instance = new CurrentInstance<EventLogBackend, SyslogEventLog>;
    return *instance;
}

std::string hex(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", value);
    return buffer;
}

// Replaces %1..%99 by the insertion strings; a number without a string stays.
std::string insert(const std::string& text, const std::vector<std::string>& strings) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto digit = [&](size_t k) {
            return k < text.size() && text[k] >= '0' && text[k] <= '9';
        };
        if (text[i] != '%' || !digit(i + 1) || text[i + 1] == '0') {
            out += text[i];
            continue;
        }
        size_t n = static_cast<size_t>(text[i + 1] - '0');
        size_t end = i + 2;
        if (digit(end)) {
            n = n * 10 + static_cast<size_t>(text[end] - '0');
            ++end;
        }
        if (n <= strings.size()) {
            out += strings[n - 1];
        } else {
            out.append(text, i, end - i);
        }
        i = end - 1;
    }
    return out;
}

int priorityOf(EventSeverity severity) {
    switch (severity) {
    case EventSeverity::Success:
        return LOG_NOTICE;
    case EventSeverity::Informational:
        return LOG_INFO;
    case EventSeverity::Warning:
        return LOG_WARNING;
    case EventSeverity::Error:
        return LOG_ERR;
    }
    return LOG_ERR;
}

} // namespace

EventSeverity eventSeverityOf(uint32_t eventId) {
    return static_cast<EventSeverity>(eventId >> 30);
}

void registerEventSource(const std::string& source, std::map<uint32_t, std::string> messages) {
    Sources& s = sources();
    std::lock_guard lock(s.mutex);
    s.tables[source] = std::move(messages);
}

void unregisterEventSource(const std::string& source) {
    Sources& s = sources();
    std::lock_guard lock(s.mutex);
    s.tables.erase(source);
}

std::string formatEventMessage(const EventLogEntry& entry) {
    std::string message;
    bool found = false;
    {
        Sources& s = sources();
        std::lock_guard lock(s.mutex);
        if (auto table = s.tables.find(entry.source); table != s.tables.end()) {
            if (auto it = table->second.find(entry.eventId); it != table->second.end()) {
                message = it->second;
                found = true;
            }
        }
    }
    if (!found) {
        message = "event " + hex(entry.eventId);
        for (size_t i = 0; i < entry.strings.size(); ++i) {
            message += (i == 0 ? ": " : ", ") + entry.strings[i];
        }
        return message;
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return insert(message, entry.strings);
}

std::string SyslogEventLog::formatLine(const EventLogEntry& entry, const std::string& text) {
    std::string line = entry.source + ": " + text;
    if (!entry.data.empty()) {
        line += " [data:";
        const size_t shown = std::min(entry.data.size(), kDumpShown);
        for (size_t i = 0; i < shown; ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02X", entry.data[i]);
            line += byte;
        }
        if (shown < entry.data.size()) {
            line += " ... (" + std::to_string(entry.data.size()) + " bytes)";
        }
        line += "]";
    }
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return line;
}

void SyslogEventLog::write(const EventLogEntry& entry, const std::string& text) {
    // No openlog: the ident and options belong to the program.
    syslog(LOG_USER | priorityOf(entry.severity), "%s", formatLine(entry, text).c_str());
}

void RecordingEventLog::write(const EventLogEntry& entry, const std::string& text) {
    std::lock_guard lock(mutex_);
    records_.push_back(Record{entry, text});
}

std::vector<RecordingEventLog::Record> RecordingEventLog::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

void RecordingEventLog::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

std::shared_ptr<EventLogBackend> setEventLogBackend(std::shared_ptr<EventLogBackend> backend) {
    return current().set(std::move(backend));
}

std::shared_ptr<EventLogBackend> eventLogBackend() {
    return current().get();
}

void writeEventLog(const EventLogEntry& entry) {
    const std::string text = formatEventMessage(entry);
    eventLogBackend()->write(entry, text);
}

} // namespace platform
