// USB descriptor layouts and their parsers, on good and malformed bytes.

#include "platform/last_error.h"
#include "platform/usb.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace platform;
using namespace platform::usb;

ConfigurationDescriptor twoInterfaces() {
    ConfigurationDescriptor c;
    c.bConfigurationValue = 1;
    InterfaceDescriptor first;
    first.endpoints = {{0x02, 2, 512, 0}, {0x86, 2, 512, 0}};
    InterfaceDescriptor firstAlternate = first;
    firstAlternate.bAlternateSetting = 1;
    firstAlternate.endpoints = {{0x88, 1, 1024, 1}};
    InterfaceDescriptor second;
    second.bInterfaceNumber = 1;
    second.endpoints = {{0x81, 3, 64, 4}};
    c.interfaces = {first, firstAlternate, second};
    return c;
}

TEST(UsbDescriptorTest, DeviceDescriptorHasTheStandardLayout) {
    DeviceDescriptor d;
    d.idVendor = 0x04B4;
    d.idProduct = 0x8613;
    d.bcdDevice = 0x00A1;
    d.iProduct = 2;
    const auto bytes = d.toBytes();
    EXPECT_EQ(bytes[0], 18);
    EXPECT_EQ(bytes[1], kDescriptorDevice);
    EXPECT_EQ(bytes[8], 0xB4);
    EXPECT_EQ(bytes[9], 0x04);
    EXPECT_EQ(bytes[12], 0xA1); // low byte of the release number: the board's id nibble
    EXPECT_EQ(bytes[15], 2);
    EXPECT_EQ(DeviceDescriptor::parse(bytes), d);
}

TEST(UsbDescriptorTest, MalformedDeviceDescriptorIsRefused) {
    auto bytes = DeviceDescriptor().toBytes();
    EXPECT_FALSE(DeviceDescriptor::parse(std::span(bytes).first(17)));
    EXPECT_EQ(lastError(), uint32_t{EBADMSG});
    bytes[1] = kDescriptorConfiguration;
    EXPECT_FALSE(DeviceDescriptor::parse(bytes));
}

TEST(UsbDescriptorTest, ConfigurationRoundTripsWithComputedLengthsAndCounts) {
    const ConfigurationDescriptor c = twoInterfaces();
    const std::vector<uint8_t> bytes = c.toBytes();
    ASSERT_EQ(bytes.size(), 9u + 3 * 9u + 4 * 7u);
    EXPECT_EQ(bytes[2] | bytes[3] << 8, static_cast<int>(bytes.size()));
    EXPECT_EQ(bytes[4], 2); // two interfaces, one with an alternate setting
    EXPECT_EQ(ConfigurationDescriptor::parse(bytes), c);
    // The pipes a driver gets: alternate setting 0 only, in order.
    const auto pipes = c.pipes();
    ASSERT_EQ(pipes.size(), 3u);
    EXPECT_EQ(pipes[1].bEndpointAddress, 0x86);
    EXPECT_EQ(pipes[2].type(), EndpointType::Interrupt);
    EXPECT_TRUE(pipes[2].isIn());
    EXPECT_FALSE(pipes[0].isIn());
}

TEST(UsbDescriptorTest, ConfigurationParserSkipsOtherDescriptorsAndIgnoresTrailingBytes) {
    std::vector<uint8_t> bytes = twoInterfaces().toBytes();
    // A class-specific descriptor after the first interface.
    const std::vector<uint8_t> classSpecific{5, 0x24, 1, 2, 3};
    bytes.insert(bytes.begin() + 18, classSpecific.begin(), classSpecific.end());
    const uint16_t total = static_cast<uint16_t>(bytes.size());
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
    bytes.push_back(0xAA); // past wTotalLength
    EXPECT_EQ(ConfigurationDescriptor::parse(bytes), twoInterfaces());
}

TEST(UsbDescriptorTest, MalformedConfigurationIsRefused) {
    const std::vector<uint8_t> good = twoInterfaces().toBytes();
    // Only the header of a longer set (a driver must read it whole).
    EXPECT_FALSE(ConfigurationDescriptor::parse(std::span(good).first(9)));
    EXPECT_EQ(lastError(), uint32_t{EBADMSG});
    std::vector<uint8_t> bytes = good;
    bytes[9] = 0; // a descriptor of length 0 would never end
    EXPECT_FALSE(ConfigurationDescriptor::parse(bytes));
    bytes = good;
    bytes[9] = 200; // runs past the end
    EXPECT_FALSE(ConfigurationDescriptor::parse(bytes));
    bytes = good;
    bytes[2] = 4; // total shorter than the header
    bytes[3] = 0;
    EXPECT_FALSE(ConfigurationDescriptor::parse(bytes));
    // An endpoint before any interface.
    std::vector<uint8_t> orphan{9, 2, 16, 0, 1, 1, 0, 0x80, 50, 7, 5, 0x81, 2, 0, 2, 0};
    EXPECT_FALSE(ConfigurationDescriptor::parse(orphan));
    // A short endpoint descriptor.
    bytes = good;
    bytes[18] = 6;
    EXPECT_FALSE(ConfigurationDescriptor::parse(bytes));
}

TEST(UsbDescriptorTest, StringDescriptorsCarryUtf16Text) {
    const std::vector<uint8_t> bytes = makeStringDescriptor(u"XXXXX board");
    EXPECT_EQ(bytes[0], 2 + 2 * 11);
    EXPECT_EQ(bytes[1], kDescriptorString);
    EXPECT_EQ(bytes[2], 'X');
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(parseStringDescriptor(bytes), u"XXXXX board");
    // The longest text a descriptor holds.
    const std::vector<uint8_t> longest = makeStringDescriptor(std::u16string(300, u'a'));
    EXPECT_EQ(longest.size(), 254u);
    EXPECT_EQ(parseStringDescriptor(longest)->size(), 126u);
    EXPECT_FALSE(parseStringDescriptor(std::vector<uint8_t>{5, 3, 'a', 0, 'b'}));
    EXPECT_FALSE(parseStringDescriptor(std::vector<uint8_t>{8, 3, 'a', 0}));
    EXPECT_EQ(parseStringDescriptor(std::vector<uint8_t>{2, 3}), u"");
}

} // namespace
