#pragma once
// Devices as a program sees them: device-interface classes and their members,
// device paths and names, open and close, device-control requests, and
// device-change notification. The driver side is in driver.h.
//
// Interface classes are 128-bit ids (Guid), written
// "{36FC9E60-C465-11CF-8056-444553400000}". A member of a class is named by
// its device path, an opaque string of the form
//   \\?\<instance id, '\' written as '#'>#{class}[\<reference>]
// Device objects that their driver named are also reached as "\\.\<name>".
// Paths and names compare without regard to ASCII case.
//
// Drivers are loaded on the first enumeration or open (see driver.h for
// VELDON_DRIVER_PATH); that first call waits until the devices the drivers
// found at load are started.
//
// Handles are 32-bit values from a table, never pointers or descriptors. The
// table never hands out kPlaceholderDeviceHandle (1), which callers use as a
// "counts as open without a device" state, nor kInvalidDeviceHandle.
//
// Failures return false, kInvalidDeviceHandle or 0 and leave an errno value
// as the calling thread's last platform error (lastError(), last_error.h):
//   ENOENT  no such device path or name (also a member that went away)
//   EBUSY   a second open of a device its driver made exclusive
//   EBADF   unknown, closed, stale or placeholder handle
//   ENODEV  the device was removed (surprise removal, eject, driver unload)
//   ECANCELED  the request was cancelled (cancelIo, close of its handle)
//   EINVAL  a null buffer with a non-zero length, a bad argument
//   EDEADLK a call that would wait for the thread it is called on
//   anything else: the status the driver completed the request with.
//
// No lock of this layer is held while driver or client code runs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", braces optional, hex digits of
    // either case; nothing for any other text. Usable in constant expressions:
    //   constexpr Guid kClass = Guid::parse("{...}").value();
    static constexpr std::optional<Guid> parse(std::string_view text);

    // Upper-case hex with braces.
    std::string toString() const;

    bool operator==(const Guid&) const = default;
};

using DeviceHandle = uint32_t;

// The handle state of a closed device (all bits set).
inline constexpr DeviceHandle kInvalidDeviceHandle = 0xFFFFFFFFu;
// Reserved for callers that mark a slot as open without a device handle.
inline constexpr DeviceHandle kPlaceholderDeviceHandle = 1;

// Device-control codes: device type in bits 16..31, required access in bits
// 14..15, function in bits 2..13, transfer method in bits 0..1. Every method is
// served with buffered semantics (the driver never sees the caller's memory).
inline constexpr uint32_t kMethodBuffered = 0;
inline constexpr uint32_t kMethodInDirect = 1;
inline constexpr uint32_t kMethodOutDirect = 2;
inline constexpr uint32_t kMethodNeither = 3;
inline constexpr uint32_t kFileAnyAccess = 0;
inline constexpr uint32_t kFileReadAccess = 1;
inline constexpr uint32_t kFileWriteAccess = 2;

constexpr uint32_t ctlCode(uint32_t deviceType, uint32_t function, uint32_t method,
                           uint32_t access) {
    return (deviceType << 16) | ((access & 0x3) << 14) | ((function & 0xFFF) << 2) | (method & 0x3);
}
constexpr uint32_t ctlDeviceType(uint32_t code) {
    return code >> 16;
}
constexpr uint32_t ctlFunction(uint32_t code) {
    return (code >> 2) & 0xFFF;
}
constexpr uint32_t ctlMethod(uint32_t code) {
    return code & 0x3;
}
constexpr uint32_t ctlAccess(uint32_t code) {
    return (code >> 14) & 0x3;
}

// The device paths of the present (enabled) members of a class, in the order
// their interfaces were registered.
std::vector<std::string> enumerateDeviceInterfaces(const Guid& interfaceClass);

// Opens a device path or a "\\.\<name>" for reading and writing.
// kInvalidDeviceHandle on failure.
DeviceHandle openDevice(std::string_view pathOrName);

// Closes a handle. Requests still pending on it are cancelled (their callers
// return with ECANCELED). The driver hears cleanup at once and close when no
// call on the handle is still running in it.
bool closeDevice(DeviceHandle handle);

// Sends a device-control request and waits for its completion. The driver
// works on its own copy of the input; on success min(bytes the driver
// returned, outLength) bytes are copied to out and their count stored in
// *bytesReturned (may be null). Input and output may be the same buffer. On
// failure nothing is copied and *bytesReturned is 0; once a request was
// cancelled, a late completion by the driver never touches out.
bool deviceIoControl(DeviceHandle handle, uint32_t ioControlCode, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength, uint32_t* bytesReturned);

// Cancels every request pending on the handle, whatever thread sent it.
// False with ENOENT when none was pending (a request sent after this call is
// not affected).
bool cancelIo(DeviceHandle handle);

// Device-change notification.
enum class DeviceChangeEvent : uint32_t {
    Arrival = 0x8000,           // class: a member was enabled
    QueryRemove = 0x8001,       // handle: the device is asked to go; close the handle to let it
    QueryRemoveFailed = 0x8002, // handle: it stays (an open handle or its driver refused)
    RemovePending = 0x8003,     // handle: it is being removed
    RemoveComplete = 0x8004,    // class: a member went away; handle: the device is gone
};

struct DeviceChange {
    DeviceChangeEvent event = DeviceChangeEvent::Arrival;
    Guid interfaceClass;                        // class registrations
    std::string devicePath;                     // class registrations: the member
    DeviceHandle handle = kInvalidDeviceHandle; // handle registrations: the handle registered
};

using DeviceChangeCallback = std::function<void(const DeviceChange&)>;
using DeviceNotificationHandle = uint32_t; // 0 = none

// Callbacks run on the layer's notification thread, one at a time in the order
// the changes happened, never under a lock of the layer and never inside a
// driver callback. Handle registrations stay bound to the device after the
// handle is closed, until unregistered. 0 on failure (EINVAL, EBADF).
DeviceNotificationHandle registerInterfaceNotification(const Guid& interfaceClass,
                                                       DeviceChangeCallback callback);
DeviceNotificationHandle registerHandleNotification(DeviceHandle handle,
                                                    DeviceChangeCallback callback);

// After this returns the callback is not running and never runs again (called
// from inside the callback itself it cannot wait for its own return).
bool unregisterDeviceNotification(DeviceNotificationHandle registration);

// Closes every handle, removes every device, unloads every driver in reverse
// load order and joins the layer's threads. Runs by itself at process exit;
// afterwards the layer starts afresh (drivers load again on the next
// enumeration). EDEADLK when called on a thread of the layer.
bool shutdownDevices();

// --- implementation of the constant-expression parser

namespace detail {
constexpr int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
} // namespace detail

constexpr std::optional<Guid> Guid::parse(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return std::nullopt;
    }
    // 32 hex digits, dashes after digits 8, 12, 16 and 20.
    uint8_t bytes[16] = {};
    size_t digit = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            continue;
        }
        const int value = detail::hexDigit(text[i]);
        if (value < 0) {
            return std::nullopt;
        }
        bytes[digit / 2] = static_cast<uint8_t>(bytes[digit / 2] << 4 | value);
        ++digit;
    }
    Guid guid;
    guid.data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                 static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (size_t i = 0; i < 8; ++i) {
        guid.data4[i] = bytes[8 + i];
    }
    return guid;
}

} // namespace platform
