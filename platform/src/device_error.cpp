// Event-log entries of the device layer and small helpers.

#include "device_internal.h"

#include "platform/event_log.h"

namespace platform::detail {

namespace {
void registerMessages() {
    registerEventSource(
        kDeviceEventSource,
        {
            {kEventDriverLibraryMissing, "Driver library %1 not found."},
            {kEventDriverLibraryBroken, "Driver library %1 cannot be loaded: %2"},
            {kEventDriverEntryMissing, "Driver library %1 has no entry point %2."},
            {kEventDriverEntryFailed, "Driver %1 failed to initialise (status %2)."},
            {kEventDriverNameInUse, "A driver named %1 is loaded already."},
            {kEventDeviceRefused, "Driver %1 refused device %2 (status %3)."},
            {kEventDeviceStartFailed, "Driver %1 could not start device %2 (status %3)."},
            {kEventDriverRoutineThrew, "A driver's %1 routine ended with an exception."},
        });
}
} // namespace

void reportDeviceEvent(uint32_t eventId, std::vector<std::string> strings) {
    static const bool registered = (registerMessages(), true);
    (void)registered;
    EventLogEntry entry;
    entry.source = kDeviceEventSource;
    entry.eventId = eventId;
    entry.severity = eventSeverityOf(eventId);
    entry.strings = std::move(strings);
    writeEventLog(entry);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

} // namespace platform::detail
