#include "board_start.h"

#include "event_log.h"
#include "firmware.h"
#include "vendor_requests.h"

#include <array>
#include <string_view>

namespace kavrin {

namespace usb = platform::usb;

int TakeBoardSlot(DriverContext& driver) {
    std::lock_guard lock(driver.boardIds.mutex);
    for (std::size_t i = 0; i < kBoardSlots; ++i) {
        BOARD_ID_SLOT& slot = driver.boardIds.slots[i];
        if (!slot.taken) {
            slot = {true, false, kNoBoardId};
            return static_cast<int>(i);
        }
    }
    return -1;
}

void ReleaseBoardSlot(DriverContext& driver, int slot) {
    if (slot < 0 || slot >= static_cast<int>(kBoardSlots)) {
        return;
    }
    std::lock_guard lock(driver.boardIds.mutex);
    driver.boardIds.slots[static_cast<std::size_t>(slot)] = {};
}

void ClearBoardSlot(DriverContext& driver, int slot) {
    if (slot < 0 || slot >= static_cast<int>(kBoardSlots)) {
        return;
    }
    std::lock_guard lock(driver.boardIds.mutex);
    BOARD_ID_SLOT& entry = driver.boardIds.slots[static_cast<std::size_t>(slot)];
    entry.present = false;
    entry.boardId = kNoBoardId;
}

uint32_t startDelayMs(int slot) {
    return static_cast<uint32_t>(slot + 1) * 250;
}

namespace {

// The release number of an EEPROM whose id is invalid.
constexpr uint16_t kInvalidEepromRelease = 0x00FF;
constexpr std::u16string_view kRestrictedPrefix = u"XXXXX";

// Marks the slot present and runs the id checks; false when refused (each
// reason written to the event log).
bool checkBoardId(DEVICE_EXTENSION& device, uint16_t release, uint8_t boardId) {
    DriverContext& driver = *device.driver;
    std::vector<uint32_t> messages;
    {
        std::lock_guard lock(driver.boardIds.mutex);
        driver.boardIds.slots[static_cast<std::size_t>(device.slot)].present = true;
        if (!driver.suppressIdCheck) {
            if (release == kInvalidEepromRelease) {
                messages.push_back(KAVRIN_MSG_EEPROM_ID_INVALID);
            } else if (boardId != 0) {
                // The board's own slot keeps its id over a stop and a new
                // start: it is no duplicate of itself.
                for (std::size_t i = 0; i < kBoardSlots; ++i) {
                    if (static_cast<int>(i) != device.slot &&
                        driver.boardIds.slots[i].boardId == boardId) {
                        messages.push_back(KAVRIN_MSG_DUPLICATE_ID);
                    }
                }
            }
        }
    }
    for (uint32_t message : messages) {
        WriteEventLogEntry(driver.name, message);
    }
    return messages.empty();
}

bool restrictedString(usb::UsbDevice& board) {
    std::array<uint8_t, 255> buffer{}; // the most a string descriptor holds
    const usb::TransferResult result = board.getDescriptor(
        usb::kDescriptorString, 1, usb::kLanguageEnglishUs, buffer, kStandardRequestTimeoutMs);
    if (!result.ok()) {
        return false;
    }
    const std::optional<std::u16string> text =
        usb::parseStringDescriptor(std::span(buffer).first(result.length));
    return text && text->starts_with(kRestrictedPrefix);
}

} // namespace

platform::DriverStatus StartBoard(DEVICE_EXTENSION& device) {
    if (!device.usb) {
        return platform::kStatusNoSuchDevice;
    }
    usb::UsbDevice& board = *device.usb;

    // 1. The device descriptor: board id and high-speed hint.
    std::array<uint8_t, usb::DeviceDescriptor::kSize> bytes{};
    const usb::TransferResult read =
        board.getDescriptor(usb::kDescriptorDevice, 0, 0, bytes, kStandardRequestTimeoutMs);
    if (!read.ok()) {
        return read.status;
    }
    const std::optional<usb::DeviceDescriptor> descriptor = usb::DeviceDescriptor::parse(bytes);
    if (!descriptor) {
        return platform::kStatusUnsuccessful;
    }
    const uint16_t release = descriptor->bcdDevice;
    const uint8_t boardId = release & 0x0F;
    const bool highSpeedHint = (release & 0x10) != 0;

    // 2. and 3. The id checks; the restricted-mode string.
    const bool accepted = checkBoardId(device, release, boardId);
    const bool restricted = restrictedString(board);
    if (!accepted) {
        return platform::kStatusUnsuccessful;
    }

    // 4. The id goes into the slot.
    {
        std::lock_guard lock(device.driver->boardIds.mutex);
        device.driver->boardIds.slots[static_cast<std::size_t>(device.slot)].boardId = boardId;
    }
    const bool highSpeed =
        board.speed() != usb::UsbSpeed::Unknown ? QueryUsbBusInterface(device) : highSpeedHint;
    device.updateIdentity([&](BoardIdentity& identity) {
        identity.boardId = boardId;
        identity.highSpeed = highSpeed;
        identity.restricted = restricted;
        identity.vendorId = descriptor->idVendor;
        identity.productId = descriptor->idProduct;
    });

    // 5. The first configuration with its first interface.
    if (board.configurations().empty()) {
        return platform::kStatusUnsuccessful;
    }
    const usb::ConfigurationDescriptor& configuration = board.configurations().front();
    if (const int status = board.selectConfiguration(configuration.bConfigurationValue);
        status != 0) {
        return status;
    }
    device.pipes.clear();
    if (!configuration.interfaces.empty()) {
        device.pipes = configuration.interfaces.front().endpoints;
    }

    // 6. The firmware.
    if (!StartFirmware(device)) {
        return platform::kStatusUnsuccessful;
    }
    return platform::kStatusSuccess;
}

} // namespace kavrin
