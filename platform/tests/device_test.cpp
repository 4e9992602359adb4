// Class ids, control codes, and drivers loaded from shared libraries.

#include "device_test_driver.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>

namespace devtest {
namespace {

const std::string kDriverDir = VELDON_TEST_DRIVER_DIR;
const std::string kEchoLibrary = kDriverDir + "/echo_driver.so";
const std::string kNoEntryLibrary = kDriverDir + "/no_entry_driver.so";
const std::string kFailingLibrary = kDriverDir + "/failing_driver.so";
constexpr Guid kEchoClass = Guid::parse("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}").value();

bool isLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

TEST(GuidTest, ParsesAndFormatsTheRegistryForm) {
    constexpr Guid kavrin = Guid::parse("{36FC9E60-C465-11CF-8056-444553400000}").value();
    static_assert(kavrin.data1 == 0x36FC9E60 && kavrin.data2 == 0xC465 && kavrin.data3 == 0x11CF &&
                  kavrin.data4[0] == 0x80 && kavrin.data4[7] == 0);
    EXPECT_EQ(kavrin.toString(), "{36FC9E60-C465-11CF-8056-444553400000}");
    EXPECT_EQ(Guid::parse("aedf4df0-99a6-419c-bb6b-c704975d8a38")->toString(),
              "{AEDF4DF0-99A6-419C-BB6B-C704975D8A38}");
    for (const char* bad :
         {"", "{36FC9E60-C465-11CF-8056-44455340000}", "{36FC9E60-C465-11CF-8056-44455340000G}",
          "{36FC9E60+C465-11CF-8056-444553400000}", "{36FC9E60-C465-11CF-8056-444553400000",
          "36FC9E60C46511CF8056444553400000"}) {
        EXPECT_FALSE(Guid::parse(bad).has_value()) << bad;
    }
}

TEST(ControlCodeTest, BuildsAndSplitsBoardCodes) {
    static_assert(ctlCode(0x9000, 0x800, kMethodBuffered, kFileAnyAccess) == 0x90002000);
    static_assert(ctlCode(0x9000, 0x8F9, kMethodBuffered, kFileAnyAccess) == 0x900023E4);
    static_assert(ctlCode(0x9000, 0x8FF, kMethodBuffered, kFileAnyAccess) == 0x900023FC);
    constexpr uint32_t code = ctlCode(0x22, 0x123, kMethodNeither, kFileReadAccess);
    static_assert(ctlDeviceType(code) == 0x22 && ctlFunction(code) == 0x123 &&
                  ctlMethod(code) == kMethodNeither && ctlAccess(code) == kFileReadAccess);
    EXPECT_EQ(ctlFunction(0x900023F0), 0x8FCu);
}

class DriverLibraryTest : public DeviceLayerTest {};

TEST_F(DriverLibraryTest, MissingLibraryIsReportedAndChangesNothing) {
    ASSERT_FALSE(startOneDevice().empty());
    EXPECT_FALSE(loadDriverLibrary(kDriverDir + "/no_such_driver.so"));
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
    EXPECT_TRUE(loggedEvent(kEventDriverLibraryMissing));
    EXPECT_EQ(enumerateDeviceInterfaces(kTestClass).size(), 1u);
}

TEST_F(DriverLibraryTest, LibraryWithoutEntryIsReportedAndUnloaded) {
    EXPECT_FALSE(loadDriverLibrary(kNoEntryLibrary));
    EXPECT_EQ(lastError(), uint32_t{ENOEXEC});
    ASSERT_TRUE(loggedEvent(kEventDriverEntryMissing));
    EXPECT_NE(events->records().back().text.find("VeldonDriverEntry"), std::string::npos);
    EXPECT_FALSE(isLoaded(kNoEntryLibrary));
}

TEST_F(DriverLibraryTest, FileThatIsNoLibraryIsReported) {
    const char* tmp = std::getenv("VELDON_TEST_TMP");
    const std::filesystem::path dir =
        std::filesystem::path(tmp != nullptr ? tmp : "/tmp") / "device_test_broken";
    std::filesystem::create_directories(dir);
    const std::string broken = (dir / "broken_driver.so").string();
    std::ofstream(broken) << "not an ELF file\n";
    EXPECT_FALSE(loadDriverLibrary(broken));
    EXPECT_EQ(lastError(), uint32_t{ELIBBAD});
    EXPECT_TRUE(loggedEvent(kEventDriverLibraryBroken));
    std::filesystem::remove_all(dir);
}

TEST_F(DriverLibraryTest, FailingEntryLeavesNoDeviceAndIsUnloaded) {
    EXPECT_FALSE(loadDriverLibrary(kFailingLibrary));
    EXPECT_EQ(lastError(), uint32_t{ENOMEM});
    EXPECT_TRUE(loggedEvent(kEventDriverEntryFailed));
    EXPECT_EQ(openDevice("\\\\.\\VELDON-FAILING"), kInvalidDeviceHandle);
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
    EXPECT_FALSE(isLoaded(kFailingLibrary));
}

TEST_F(DriverLibraryTest, LoadedDriverServesItsDevicesUntilShutdown) {
    ASSERT_TRUE(loadDriverLibrary(kEchoLibrary));
    ASSERT_TRUE(loadDriverLibrary(kDriverDir + "/../testdrivers/echo_driver.so")); // same file
    ASSERT_TRUE(waitForPnpIdle());
    ASSERT_EQ(enumerateDeviceInterfaces(kEchoClass).size(), 1u);

    for (const std::string& target :
         {std::string("\\\\.\\VELDON-ECHO"), enumerateDeviceInterfaces(kEchoClass)[0]}) {
        const DeviceHandle handle = openDevice(target);
        ASSERT_NE(handle, kInvalidDeviceHandle) << target;
        std::array<uint8_t, 3> block{1, 2, 3};
        uint32_t returned = 0;
        ASSERT_TRUE(
            deviceIoControl(handle, 0x90002000, block.data(), 3, block.data(), 3, &returned));
        EXPECT_EQ(block, (std::array<uint8_t, 3>{2, 3, 4}));
        EXPECT_TRUE(closeDevice(handle));
    }
    EXPECT_TRUE(isLoaded(kEchoLibrary));
    ASSERT_TRUE(shutdownDevices());
    EXPECT_FALSE(isLoaded(kEchoLibrary));
}

TEST_F(DriverLibraryTest, DriverPathIsLoadedOnTheFirstEnumeration) {
    ASSERT_EQ(::setenv("VELDON_DRIVER_PATH",
                       (kDriverDir + "::" + kDriverDir + "/gone_driver.so").c_str(), 1),
              0);
    // The devices the drivers report at load are there at once.
    EXPECT_EQ(enumerateDeviceInterfaces(kEchoClass).size(), 1u);
    EXPECT_TRUE(loggedEvent(kEventDriverEntryMissing)); // no_entry_driver.so
    EXPECT_TRUE(loggedEvent(kEventDriverEntryFailed));  // failing_driver.so
    EXPECT_TRUE(loggedEvent(kEventDriverLibraryMissing));
    const DeviceHandle handle = openDevice("\\\\.\\veldon-echo");
    EXPECT_NE(handle, kInvalidDeviceHandle);

    // Read once: a later change of the variable is not looked at until shutdown.
    const size_t reports = events->records().size();
    EXPECT_EQ(enumerateDeviceInterfaces(kEchoClass).size(), 1u);
    EXPECT_EQ(events->records().size(), reports);
}

TEST_F(DriverLibraryTest, ProcessExitShutsTheLayerDown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            loadDriverLibrary(kEchoLibrary);
            waitForPnpIdle();
            registerInterfaceNotification(kEchoClass, [](const DeviceChange&) {});
            const DeviceHandle handle = openDevice("\\\\.\\VELDON-ECHO");
            std::exit(handle != kInvalidDeviceHandle ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "echo driver unloaded");
}

} // namespace
} // namespace devtest
