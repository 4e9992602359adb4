// USB descriptors: the standard byte layouts (little-endian) and their parsers.

#include "platform/last_error.h"
#include "platform/usb.h"

#include <algorithm>
#include <cerrno>
#include <set>

namespace platform::usb {

namespace {

uint16_t word(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

void putWord(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

template <class T> std::optional<T> malformed() {
    setLastError(EBADMSG);
    return std::nullopt;
}

constexpr size_t kInterfaceSize = 9;
constexpr size_t kMaxStringUnits = 126; // bLength is one byte: 2 + 2 * 126 = 254

} // namespace

std::array<uint8_t, DeviceDescriptor::kSize> DeviceDescriptor::toBytes() const {
    std::array<uint8_t, kSize> out{};
    out[0] = kSize;
    out[1] = kDescriptorDevice;
    putWord(&out[2], bcdUSB);
    out[4] = bDeviceClass;
    out[5] = bDeviceSubClass;
    out[6] = bDeviceProtocol;
    out[7] = bMaxPacketSize0;
    putWord(&out[8], idVendor);
    putWord(&out[10], idProduct);
    putWord(&out[12], bcdDevice);
    out[14] = iManufacturer;
    out[15] = iProduct;
    out[16] = iSerialNumber;
    out[17] = bNumConfigurations;
    return out;
}

std::optional<DeviceDescriptor> DeviceDescriptor::parse(std::span<const uint8_t> bytes) {
    if (bytes.size() < kSize || bytes[0] < kSize || bytes[1] != kDescriptorDevice) {
        return malformed<DeviceDescriptor>();
    }
    DeviceDescriptor d;
    d.bcdUSB = word(bytes, 2);
    d.bDeviceClass = bytes[4];
    d.bDeviceSubClass = bytes[5];
    d.bDeviceProtocol = bytes[6];
    d.bMaxPacketSize0 = bytes[7];
    d.idVendor = word(bytes, 8);
    d.idProduct = word(bytes, 10);
    d.bcdDevice = word(bytes, 12);
    d.iManufacturer = bytes[14];
    d.iProduct = bytes[15];
    d.iSerialNumber = bytes[16];
    d.bNumConfigurations = bytes[17];
    return d;
}

std::vector<uint8_t> ConfigurationDescriptor::toBytes() const {
    std::vector<uint8_t> out(kHeaderSize);
    std::set<uint8_t> numbers;
    for (const InterfaceDescriptor& interface : interfaces) {
        numbers.insert(interface.bInterfaceNumber);
        const uint8_t header[kInterfaceSize] = {kInterfaceSize,
                                                kDescriptorInterface,
                                                interface.bInterfaceNumber,
                                                interface.bAlternateSetting,
                                                static_cast<uint8_t>(interface.endpoints.size()),
                                                interface.bInterfaceClass,
                                                interface.bInterfaceSubClass,
                                                interface.bInterfaceProtocol,
                                                interface.iInterface};
        out.insert(out.end(), header, header + kInterfaceSize);
        for (const EndpointDescriptor& endpoint : interface.endpoints) {
            uint8_t bytes[EndpointDescriptor::kSize] = {EndpointDescriptor::kSize,
                                                        kDescriptorEndpoint,
                                                        endpoint.bEndpointAddress,
                                                        endpoint.bmAttributes,
                                                        0,
                                                        0,
                                                        endpoint.bInterval};
            putWord(&bytes[4], endpoint.wMaxPacketSize);
            out.insert(out.end(), bytes, bytes + EndpointDescriptor::kSize);
        }
    }
    out[0] = kHeaderSize;
    out[1] = kDescriptorConfiguration;
    putWord(&out[2], static_cast<uint16_t>(out.size()));
    out[4] = static_cast<uint8_t>(numbers.size());
    out[5] = bConfigurationValue;
    out[6] = iConfiguration;
    out[7] = bmAttributes;
    out[8] = bMaxPower;
    return out;
}

std::optional<ConfigurationDescriptor>
ConfigurationDescriptor::parse(std::span<const uint8_t> bytes) {
    if (bytes.size() < kHeaderSize || bytes[0] < kHeaderSize ||
        bytes[1] != kDescriptorConfiguration) {
        return malformed<ConfigurationDescriptor>();
    }
    const size_t total = word(bytes, 2);
    if (total < kHeaderSize || total > bytes.size()) {
        return malformed<ConfigurationDescriptor>();
    }
    bytes = bytes.first(total);
    ConfigurationDescriptor c;
    c.bConfigurationValue = bytes[5];
    c.iConfiguration = bytes[6];
    c.bmAttributes = bytes[7];
    c.bMaxPower = bytes[8];
    size_t offset = bytes[0];
    while (offset < bytes.size()) {
        const size_t length = bytes[offset];
        if (length < 2 || offset + length > bytes.size()) {
            return malformed<ConfigurationDescriptor>();
        }
        const std::span<const uint8_t> d = bytes.subspan(offset, length);
        if (d[1] == kDescriptorInterface) {
            if (length < kInterfaceSize) {
                return malformed<ConfigurationDescriptor>();
            }
            InterfaceDescriptor interface;
            interface.bInterfaceNumber = d[2];
            interface.bAlternateSetting = d[3];
            interface.bInterfaceClass = d[5];
            interface.bInterfaceSubClass = d[6];
            interface.bInterfaceProtocol = d[7];
            interface.iInterface = d[8];
            c.interfaces.push_back(std::move(interface));
        } else if (d[1] == kDescriptorEndpoint) {
            // An endpoint belongs to the interface before it.
            if (length < EndpointDescriptor::kSize || c.interfaces.empty()) {
                return malformed<ConfigurationDescriptor>();
            }
            EndpointDescriptor endpoint;
            endpoint.bEndpointAddress = d[2];
            endpoint.bmAttributes = d[3];
            endpoint.wMaxPacketSize = word(d, 4);
            endpoint.bInterval = d[6];
            c.interfaces.back().endpoints.push_back(endpoint);
        }
        offset += length;
    }
    return c;
}

std::vector<EndpointDescriptor> ConfigurationDescriptor::pipes() const {
    std::vector<EndpointDescriptor> out;
    for (const InterfaceDescriptor& interface : interfaces) {
        if (interface.bAlternateSetting == 0) {
            out.insert(out.end(), interface.endpoints.begin(), interface.endpoints.end());
        }
    }
    return out;
}

std::optional<std::u16string> parseStringDescriptor(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[1] != kDescriptorString || bytes[0] < 2 ||
        bytes[0] > bytes.size() || bytes[0] % 2 != 0) {
        return malformed<std::u16string>();
    }
    std::u16string text;
    for (size_t offset = 2; offset < bytes[0]; offset += 2) {
        text.push_back(static_cast<char16_t>(word(bytes, offset)));
    }
    return text;
}

std::vector<uint8_t> makeStringDescriptor(std::u16string_view text) {
    const size_t units = std::min(text.size(), kMaxStringUnits);
    std::vector<uint8_t> out(2 + 2 * units);
    out[0] = static_cast<uint8_t>(out.size());
    out[1] = kDescriptorString;
    for (size_t i = 0; i < units; ++i) {
        putWord(&out[2 + 2 * i], static_cast<uint16_t>(text[i]));
    }
    return out;
}

} // namespace platform::usb
