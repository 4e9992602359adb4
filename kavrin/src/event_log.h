#pragma once
// The driver's messages to the administrator (its message table on the
// platform event log) and the values it reads from its service key.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavrin {

inline constexpr uint32_t KAVRIN_MSG_INVALID_ID = 0xC0070001;
inline constexpr uint32_t KAVRIN_MSG_DUPLICATE_ID = 0xC0070002;
inline constexpr uint32_t KAVRIN_MSG_EEPROM_ID_INVALID = 0xC0070003;
inline constexpr uint32_t KAVRIN_MSG_BOARD_NOT_FOUND = 0xC0070004;
inline constexpr uint32_t KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR = 0xC0070005;
// Of this port: the system's USB stack could not be started (%1 the reason);
// boards on it are not served, simulated ones are.
inline constexpr uint32_t KAVRIN_MSG_USB_UNAVAILABLE = 0x80070006;

// Language 0x0409, each text ended by a line break.
const std::map<uint32_t, std::string>& messageTable();

// Registers the table under the driver's name as the event source.
void registerMessages(const std::string& source);
void unregisterMessages(const std::string& source);

// One entry of the source; no insertion strings unless given (the texts of
// the system's messages have none; the strings only travel with the entry).
void WriteEventLogEntry(const std::string& source, uint32_t messageId,
                        std::vector<std::string> strings = {});

// Values under "<service key>\Parameters" of the machine configuration store.
inline constexpr const char* kParametersKey = "Parameters";
inline constexpr const char* kSuppressIdCheckValue = "SuppressIdCheck";
inline constexpr const char* kFirmwareDirectoryValue = "FirmwareDirectory";

struct RegistryParameters {
    bool suppressIdCheck = false;                           // missing, 0 or unreadable: false
    std::optional<std::filesystem::path> firmwareDirectory; // a non-empty string value
};

// registryPath: the service key below the machine root
// ("System\CurrentControlSet\Services\kavrin").
RegistryParameters ReadRegistryParameters(const std::string& registryPath);

} // namespace kavrin
