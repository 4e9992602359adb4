#pragma once
// Tests of the driver module as the platform loads it: a virtual clock, a
// recording event log, a configuration store and a firmware directory of
// their own, only simulated USB devices, and every device and bus shut down
// at the end.

#include "event_log.h"
#include "kavrin_test_support.h"

#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/device.h"
#include "platform/driver.h"
#include "platform/event_log.h"
#include "platform/usb.h"

#include <gtest/gtest.h>

#include <memory>

namespace kavrintest {

inline constexpr const char* kServiceParameters =
    "System\\CurrentControlSet\\Services\\kavrin\\Parameters";

class DriverModuleTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    std::shared_ptr<platform::RecordingEventLog> events =
        std::make_shared<platform::RecordingEventLog>();
    platform::ScopedEventLogBackend useEvents{events};
    TempDir config;
    TempDir firmware;
    ScopedEnv realUsb{"VELDON_USB_REAL", "0"};
    ScopedEnv driverPath{"VELDON_DRIVER_PATH", KAVRIN_MODULE};
    ScopedEnv machineConfig{"VELDON_MACHINE_CONFIG", config.path().string()};

    void SetUp() override {
        writeShippedImages(firmware.path());
        setParameter([&](platform::ConfigKey& key) {
            return key.setString(kavrin::kFirmwareDirectoryValue, firmware.path().string());
        });
    }

    void TearDown() override {
        EXPECT_TRUE(platform::usb::shutdownUsb());
        EXPECT_TRUE(platform::shutdownDevices());
    }

    template <class F> void setParameter(F&& set) {
        platform::ConfigKey key;
        ASSERT_EQ(key.open(platform::ConfigRoot::Machine, kServiceParameters,
                           platform::ConfigAccess::Write),
                  0);
        ASSERT_EQ(set(key), 0);
    }

    // Until the arrivals, downloads, re-enumerations and removals so far are
    // all handled: each round hands the next step of that chain on.
    static void settle() {
        for (int round = 0; round < 4; ++round) {
            ASSERT_TRUE(platform::waitForPnpIdle());
            ASSERT_TRUE(platform::usb::waitForUsbHotplugIdle());
        }
        ASSERT_TRUE(platform::waitForPnpIdle());
    }
};

} // namespace kavrintest
