#pragma once
// The driver's records: the per-board DEVICE_EXTENSION, the driver-wide
// BOARD_ID_TABLE and the values read at driver entry.

#include "acquisition_state.h"

#include "platform/device.h"
#include "platform/driver.h"
#include "platform/usb.h"
#include "tarvik_request_block.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kavrin {

// The class every board's interface is registered in; the library enumerates
// it for interface type 6.
inline constexpr platform::Guid GUID_DEVINTERFACE_KAVRIN =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE6).value();

inline constexpr uint32_t kBoardDeviceType = KORAL_DEVICE_TYPE_BOARD;

inline constexpr std::size_t kBoardSlots = 15;
inline constexpr uint8_t kNoBoardId = 255;

struct BOARD_ID_SLOT {
    bool taken = false;   // a device object holds the slot
    bool present = false; // a started board is in it
    uint8_t boardId = kNoBoardId;
};

// Touched by plug-and-play routines only; the mutex guards against the
// layer's shutdown running a removal on another thread.
struct BOARD_ID_TABLE {
    std::mutex mutex;
    std::array<BOARD_ID_SLOT, kBoardSlots> slots{};
};

// Driver-wide values, the driver object's context.
struct DriverContext {
    std::string name;         // the driver's name: event source and USB registration
    std::string registryPath; // the service key
    bool suppressIdCheck = false;
    std::filesystem::path firmwareDirectory;
    BOARD_ID_TABLE boardIds;
};

enum class DeviceState : uint8_t {
    NeverStarted = 0,
    Stopped = 1,
    Started = 2,
    SurpriseRemoved = 5,
    Removed = 6,
};

// The reply of VR_GETFWID.
struct FIRMWARE_ID_BLOCK {
    uint16_t runningImage = 0; // the start sequence tests the whole word
    uint16_t hardwareWord = 0; // low 12 bits reported
    uint16_t firmwareVersion = 0;
    uint16_t firmwareType = 0;
};

// What the board is and runs. Read by dispatch on the client's thread while
// plug and play may restart the board: always under DEVICE_EXTENSION::mutex.
struct BoardIdentity {
    uint8_t boardId = 0;    // low nibble of the device release number
    uint8_t generation = 0; // 0 unknown, 1, 2
    bool highSpeed = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    FIRMWARE_ID_BLOCK firmwareId;        // the last firmware-id read
    uint16_t stampedFirmwareVersion = 0; // recorded at start or first initialisation
    uint16_t startFirmwareType = 0;      // recorded at start, for generation detection
    uint16_t currentImage = 0;           // image last loaded or reported running; 0 none
    uint16_t loadedFirmwareType = 0;     // type of the image last loaded; 0 none
    bool restricted = false;
};

struct DEVICE_EXTENSION {
    platform::DeviceObject* deviceObject = nullptr;
    platform::PhysicalDevice* physicalDevice = nullptr;
    // The board on the USB layer; released at removal.
    std::shared_ptr<platform::usb::UsbDevice> usb;
    DriverContext* driver = nullptr;

    std::atomic<DeviceState> state{DeviceState::NeverStarted};
    std::atomic<DeviceState> previousState{DeviceState::NeverStarted};
    platform::RemoveLock removeLock;

    int slot = -1; // index in BOARD_ID_TABLE

    mutable std::mutex mutex;
    BoardIdentity identity; // guarded by mutex

    std::atomic<bool> open{false};
    bool firstRequestCheck = true; // armed at add (board commands)
    bool firstInitialisation = true;

    // The selected configuration's first interface: its pipes in order.
    std::vector<platform::usb::EndpointDescriptor> pipes;
    std::string interfacePath;

    // The acquisition of the board commands; its threads touch pipes and
    // usb, so every removal path stops them first.
    Acquisition acquisition;

    BoardIdentity readIdentity() const {
        std::lock_guard lock(mutex);
        return identity;
    }
    template <class F> void updateIdentity(F&& change) {
        std::lock_guard lock(mutex);
        change(identity);
    }
};

// The extension and the driver context of a device object of this driver.
inline DEVICE_EXTENSION& extensionOf(platform::DeviceObject& device) {
    return device.extension<DEVICE_EXTENSION>();
}
inline DriverContext& contextOf(platform::DriverObject& driver) {
    return *static_cast<DriverContext*>(driver.context.get());
}

} // namespace kavrin
