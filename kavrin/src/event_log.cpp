#include "event_log.h"

#include "platform/config_store.h"
#include "platform/event_log.h"

namespace kavrin {

const std::map<uint32_t, std::string>& messageTable() {
    static const std::map<uint32_t, std::string> table = {
        {KAVRIN_MSG_INVALID_ID,
         "KX-VEL02: Refuse device KX-VEL02 (Ondrel Kestro). The device ID is invalid. Please refer "
         "to the manual about this and take a look to the ID switch on the interface board.\r\n"},
        {KAVRIN_MSG_DUPLICATE_ID,
         "KX-VEL02: Refuse device KX-VEL02 (Ondrel Kestro). There is registered a device with the "
         "same ID. Please refer to the manual about this and take a look to the ID switch on the "
         "interface board.\r\n"},
        {KAVRIN_MSG_EEPROM_ID_INVALID,
         "KX-VEL02: Refuse device KX-VEL02 (Ondrel Kestro). The device ID in the EEPROM is "
         "invalid. Please refer to the manual about this.\r\n"},
        {KAVRIN_MSG_BOARD_NOT_FOUND, "KX-VEL02: Unable to find the interface board.\r\n"},
        {KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR,
         "KX-VEL02: Error during firmware download, please refer to the manual about further "
         "informations or try another USB port.\r\n"},
        {KAVRIN_MSG_USB_UNAVAILABLE, "KX-VEL02: The USB bus cannot be used: %1\r\n"},
    };
    return table;
}

void registerMessages(const std::string& source) {
    platform::registerEventSource(source, messageTable());
}

void unregisterMessages(const std::string& source) {
    platform::unregisterEventSource(source);
}

void WriteEventLogEntry(const std::string& source, uint32_t messageId,
                        std::vector<std::string> strings) {
    platform::EventLogEntry entry;
    entry.source = source;
    entry.eventId = messageId;
    entry.severity = platform::eventSeverityOf(messageId);
    entry.strings = std::move(strings);
    platform::writeEventLog(entry);
}

RegistryParameters ReadRegistryParameters(const std::string& registryPath) {
    RegistryParameters parameters;
    platform::ConfigKey key;
    if (key.openAbsolute("\\Registry\\Machine\\" + registryPath + "\\" + kParametersKey) != 0) {
        return parameters;
    }
    uint32_t suppress = 0;
    if (key.queryDword(kSuppressIdCheckValue, suppress) == 0) {
        parameters.suppressIdCheck = suppress != 0;
    }
    std::string directory;
    if (key.queryString(kFirmwareDirectoryValue, directory) == 0 && !directory.empty()) {
        parameters.firmwareDirectory = directory;
    }
    return parameters;
}

} // namespace kavrin
