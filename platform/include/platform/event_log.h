#pragma once
// The system event log that drivers report to: an entry names its source and
// a message id of the source's message table, with insertion strings and
// optional dump data. The text is looked up when the entry is written, from
// the table the source registered (the stand-in for a message file).

#include "platform/current_instance.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class EventSeverity { Success = 0, Informational = 1, Warning = 2, Error = 3 };

// The severity that the two top bits of a message id carry (0xC... = Error).
EventSeverity eventSeverityOf(uint32_t eventId);

struct EventLogEntry {
    std::string source;
    uint32_t eventId = 0;
    EventSeverity severity = EventSeverity::Error;
    std::vector<std::string> strings; // insertion strings %1, %2, ...
    std::vector<uint8_t> data;        // dump data
};

// The message table of a source; a later registration replaces it.
void registerEventSource(const std::string& source, std::map<uint32_t, std::string> messages);
void unregisterEventSource(const std::string& source);

// The text of an entry: the source's message with %1..%99 replaced by the
// insertion strings and the line break at its end removed; without a message
// "event 0x<id>" and the strings.
std::string formatEventMessage(const EventLogEntry& entry);

class EventLogBackend {
public:
    virtual ~EventLogBackend() = default;
    // text is formatEventMessage(entry). Called from any thread.
    virtual void write(const EventLogEntry& entry, const std::string& text) = 0;
};

// The default: one syslog line per entry, facility user.
class SyslogEventLog : public EventLogBackend {
public:
    void write(const EventLogEntry& entry, const std::string& text) override;

    // "<source>: <text> [data: <hex>]" on one line: control characters become
    // spaces and the dump is cut after 64 bytes.
    static std::string formatLine(const EventLogEntry& entry, const std::string& text);
};

// For tests: keeps every entry with its text.
class RecordingEventLog : public EventLogBackend {
public:
    struct Record {
        EventLogEntry entry;
        std::string text;
    };

    void write(const EventLogEntry& entry, const std::string& text) override;
    std::vector<Record> records() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

// The process-wide backend. Installing null puts syslog back. Returns the
// backend installed before.
std::shared_ptr<EventLogBackend> setEventLogBackend(std::shared_ptr<EventLogBackend> backend);
std::shared_ptr<EventLogBackend> eventLogBackend();

using ScopedEventLogBackend = ScopedInstall<EventLogBackend, &setEventLogBackend>;

// Writes an entry through the current backend (no lock held while it runs).
void writeEventLog(const EventLogEntry& entry);

} // namespace platform
