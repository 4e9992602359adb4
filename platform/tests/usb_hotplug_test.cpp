// Devices coming and going: enumeration, hot-plug listeners, and the seam to
// the device layer through which a USB driver gets its devices.

#include "usb_test_device.h"

#include "platform/driver.h"
#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

namespace usbtest {
namespace {

class UsbHotplugTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(shutdownUsb());
        EXPECT_TRUE(shutdownDevices());
    }

    std::shared_ptr<SimPort> plug(uint16_t product = kProduct) {
        auto port = plugSimulatedDevice(std::make_shared<TestDevice>(), testDescriptors(product));
        EXPECT_TRUE(port);
        return port;
    }
};

TEST_F(UsbHotplugTest, ListenersHearArrivalsAndDeparturesInOrder) {
    HotplugRecorder recorder;
    const auto first = plug();
    const auto second = plug();
    const std::string firstId = first->hostDevice()->instanceId();
    const std::string secondId = second->hostDevice()->instanceId();
    EXPECT_NE(firstId, secondId);
    EXPECT_EQ(enumerateUsbDevices(), (std::vector{first->hostDevice(), second->hostDevice()}));
    first->unplug();
    EXPECT_EQ(enumerateUsbDevices(), (std::vector{second->hostDevice()}));
    ASSERT_TRUE(waitForUsbHotplugIdle());
    EXPECT_EQ(
        recorder.seen(),
        (std::vector<std::string>{"arrived " + firstId, "arrived " + secondId, "left " + firstId}));
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.devices[2], recorder.devices[0]); // the same object leaves
    EXPECT_TRUE(recorder.goneWhenTold[2]);
    EXPECT_FALSE(recorder.goneWhenTold[1]);
}

TEST_F(UsbHotplugTest, ListenerCanBeToldThePresentDevicesFirst) {
    const auto first = plug();
    HotplugRecorder recorder(true);
    const auto second = plug();
    ASSERT_TRUE(waitForUsbHotplugIdle());
    EXPECT_EQ(recorder.seen(),
              (std::vector<std::string>{"arrived " + first->hostDevice()->instanceId(),
                                        "arrived " + second->hostDevice()->instanceId()}));
}

TEST_F(UsbHotplugTest, RemovedListenerHearsNothingMore) {
    HotplugRecorder recorder;
    ASSERT_TRUE(removeUsbHotplugListener(recorder.handle));
    EXPECT_FALSE(removeUsbHotplugListener(recorder.handle));
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
    plug();
    ASSERT_TRUE(waitForUsbHotplugIdle());
    EXPECT_TRUE(recorder.seen().empty());
    EXPECT_EQ(addUsbHotplugListener(nullptr, false), 0u);
}

TEST_F(UsbHotplugTest, ListenerMayTalkToTheDeviceThatArrived) {
    std::mutex mutex;
    TransferResult answer{-1, 0};
    const UsbHotplugHandle handle = addUsbHotplugListener(
        [&](UsbHotplugEvent event, const std::shared_ptr<UsbDevice>& device) {
            if (event == UsbHotplugEvent::Arrived) {
                std::array<uint8_t, 4> buffer{};
                const TransferResult r =
                    device->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), buffer, 1000);
                std::lock_guard lock(mutex);
                answer = r;
            }
        },
        false);
    ASSERT_NE(handle, 0u);
    plug();
    ASSERT_TRUE(waitForUsbHotplugIdle());
    std::lock_guard lock(mutex);
    EXPECT_TRUE(answer.ok());
    EXPECT_EQ(answer.length, 4u);
}

TEST_F(UsbHotplugTest, ShutdownUnplugsEverythingAndTellsTheDepartures) {
    HotplugRecorder recorder;
    const auto port = plug();
    const std::shared_ptr<UsbDevice> device = port->hostDevice();
    ASSERT_TRUE(shutdownUsb());
    EXPECT_EQ(recorder.seen(), (std::vector<std::string>{"arrived " + device->instanceId(),
                                                         "left " + device->instanceId()}));
    EXPECT_FALSE(port->isPlugged());
    EXPECT_TRUE(device->isGone());
    EXPECT_TRUE(enumerateUsbDevices().empty());
    // The layer starts afresh.
    const auto again = plug();
    EXPECT_EQ(enumerateUsbDevices(), (std::vector{again->hostDevice()}));
}

// --- the seam to the device layer

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// A USB driver of the device layer that does at start what a board driver
// does: reads its descriptor, selects the configuration, asks its firmware.
struct UsbTestDriver {
    std::string name = "usbtestdrv";
    std::mutex mutex;
    std::vector<std::string> log;

    void record(const std::string& line) {
        std::lock_guard lock(mutex);
        log.push_back(line);
    }
    std::vector<std::string> entries() {
        std::lock_guard lock(mutex);
        return log;
    }

    bool install() {
        return registerDriver(name, [this](DriverObject& driver) {
            driver.addDevice = [this](DriverObject& self, PhysicalDevice& physical) {
                record("add " + physical.instanceId() + (usbDeviceOf(physical) ? "" : " (no usb)"));
                DeviceObject* device = nullptr;
                return createDevice(self, &physical, {}, std::make_shared<int>(0), device);
            };
            driver.startDevice = [this](DeviceObject& device) {
                const auto usb = usbDeviceOf(*device.physicalDevice());
                if (!usb) {
                    return kStatusSuccess;
                }
                std::array<uint8_t, DeviceDescriptor::kSize> bytes{};
                if (const auto r = usb->getDescriptor(kDescriptorDevice, 0, 0, bytes, 0); !r.ok()) {
                    return r.status;
                }
                if (const int status = usb->selectConfiguration(1); status != 0) {
                    return status;
                }
                std::array<uint8_t, 1> memory{};
                const auto r =
                    usb->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), memory, 1000);
                record("start " + hex4(DeviceDescriptor::parse(bytes)->idProduct) +
                       (r.ok() ? " ok" : " failed"));
                return r.status;
            };
            driver.surpriseRemoval = [this](DeviceObject& device) {
                record("surprise removal " + device.physicalDevice()->instanceId());
                return kStatusSuccess;
            };
            driver.removeDevice = [this](DeviceObject&) {
                record("remove");
                return kStatusSuccess;
            };
            driver.driverUnload = [](DriverObject& self) { unregisterUsbDriver(self.name()); };
            const UsbDeviceId ids[] = {{kVendor, kProduct}, {kVendor, kProductAfterRenumeration}};
            return registerUsbDriver(driver.name(), ids) ? kStatusSuccess : kStatusUnsuccessful;
        });
    }
};

// The driver outlives the shutdowns of the fixture's TearDown.
class UsbDriverSeamTest : public UsbHotplugTest {
protected:
    UsbTestDriver driver;
};

void settle() {
    ASSERT_TRUE(waitForUsbHotplugIdle());
    ASSERT_TRUE(waitForPnpIdle());
}

TEST_F(UsbDriverSeamTest, MatchingDeviceReachesItsDriverAndItsDepartureRemovesIt) {
    ASSERT_TRUE(driver.install());
    const auto port = plug();
    plug(0x7777); // not the driver's
    settle();
    const std::string id = port->hostDevice()->instanceId();
    EXPECT_EQ(driver.entries(), (std::vector<std::string>{"add " + id, "start 0001 ok"}));
    port->unplug();
    settle();
    EXPECT_EQ(driver.entries(), (std::vector<std::string>{"add " + id, "start 0001 ok",
                                                          "surprise removal " + id, "remove"}));
}

TEST_F(UsbDriverSeamTest, DevicesPresentAtTheDriversLoadAreReportedToIt) {
    const auto port = plug();
    settle();
    ASSERT_TRUE(driver.install());
    settle();
    EXPECT_EQ(driver.entries(), (std::vector<std::string>{"add " + port->hostDevice()->instanceId(),
                                                          "start 0001 ok"}));
}

TEST_F(UsbDriverSeamTest, ReenumeratedDeviceLeavesItsDriverAndComesBackAsANewDevice) {
    ASSERT_TRUE(driver.install());
    const auto port = plug();
    settle();
    const std::string oldId = port->hostDevice()->instanceId();
    ASSERT_TRUE(port->reenumerate(testDescriptors(kProductAfterRenumeration)));
    settle();
    const std::string newId = port->hostDevice()->instanceId();
    EXPECT_NE(oldId, newId);
    EXPECT_EQ(driver.entries(), (std::vector<std::string>{"add " + oldId, "start 0001 ok",
                                                          "surprise removal " + oldId, "remove",
                                                          "add " + newId, "start 0002 ok"}));
}

TEST_F(UsbDriverSeamTest, UnregisteredDriverGetsNoMoreDevices) {
    ASSERT_TRUE(driver.install());
    ASSERT_TRUE(unregisterUsbDriver(driver.name));
    EXPECT_FALSE(unregisterUsbDriver(driver.name));
    plug();
    settle();
    EXPECT_TRUE(driver.entries().empty());
    const UsbDeviceId ids[] = {{kVendor, kProduct}};
    EXPECT_FALSE(registerUsbDriver("", ids));
    EXPECT_FALSE(registerUsbDriver(driver.name, {}));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
}

TEST_F(UsbDriverSeamTest, PhysicalDeviceOfAnotherBusIsNoUsbDevice) {
    ASSERT_TRUE(driver.install());
    ASSERT_TRUE(reportDeviceArrived(driver.name, "OTHER\\1", std::make_shared<int>(5)));
    settle();
    EXPECT_EQ(driver.entries(), (std::vector<std::string>{"add OTHER\\1 (no usb)"}));
}

} // namespace
} // namespace usbtest
