// The real USB bus on a machine that may have no USB devices and no
// permission to any: it starts (or says clearly why not), lists no simulated
// device as real, serves beside the simulated bus, and stops without a thread
// left behind.

#include "usb_test_device.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

namespace usbtest {
namespace {

class UsbRealBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(shutdownUsb());
        unsetenv("VELDON_USB_REAL");
    }
    void TearDown() override {
        unsetenv("VELDON_USB_REAL");
        EXPECT_TRUE(shutdownUsb());
    }
};

bool isSimulated(const UsbDevice& device) {
    return device.instanceId().find("\\SIM") != std::string::npos;
}

TEST_F(UsbRealBusTest, StartsOrSaysWhyAndStopsWithoutAThreadLeft) {
    std::thread([] {}).join(); // sanitizer runtimes start their helpers
    const size_t threadsBefore = threadCount();
    const bool started = startRealUsb();
    if (started) {
        EXPECT_EQ(realUsbError(), 0);
        EXPECT_EQ(realUsbErrorText(), "");
        ASSERT_TRUE(waitForUsbHotplugIdle()); // the devices present are listed
        for (const auto& device : enumerateUsbDevices()) {
            EXPECT_FALSE(isSimulated(*device));
            EXPECT_EQ(device->instanceId().rfind("USB\\VID_", 0), 0u) << device->instanceId();
            EXPECT_FALSE(device->configurations().empty());
        }
        EXPECT_TRUE(startRealUsb()); // once
    } else {
        EXPECT_NE(realUsbError(), 0);
        EXPECT_EQ(lastError(), static_cast<uint32_t>(realUsbError()));
        EXPECT_FALSE(realUsbErrorText().empty());
    }
    ASSERT_TRUE(shutdownUsb());
    EXPECT_TRUE(threadCountFallsTo(threadsBefore));
    EXPECT_EQ(realUsbError(), 0); // asked afresh next time
}

TEST_F(UsbRealBusTest, SimulatedDevicesServeBesideTheRealBus) {
    startRealUsb(); // whether or not it runs here
    auto device = std::make_shared<TestDevice>();
    const auto port = plugSimulatedDevice(device, testDescriptors());
    ASSERT_TRUE(port);
    ASSERT_TRUE(waitForUsbHotplugIdle());
    size_t simulated = 0;
    for (const auto& listed : enumerateUsbDevices()) {
        simulated += isSimulated(*listed) ? 1 : 0;
    }
    EXPECT_EQ(simulated, 1u);
    std::array<uint8_t, 4> buffer{};
    EXPECT_TRUE(port->hostDevice()
                    ->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), buffer, 1000)
                    .ok());
}

TEST_F(UsbRealBusTest, EnvironmentCanKeepTheRealBusOff) {
    setenv("VELDON_USB_REAL", "0", 1);
    EXPECT_FALSE(startRealUsb());
    EXPECT_EQ(lastError(), uint32_t{ENODEV});
    EXPECT_EQ(realUsbError(), ENODEV);
    EXPECT_NE(realUsbErrorText().find("VELDON_USB_REAL=0"), std::string::npos);
    // Later calls report how the first went.
    unsetenv("VELDON_USB_REAL");
    EXPECT_FALSE(startRealUsb());
    EXPECT_EQ(lastError(), uint32_t{ENODEV});
}

} // namespace
} // namespace usbtest
